#include "conversation/historymigration.h"

#include "conversation/conversationcodec.h"
#include "conversation/historydatabase.h"
#include "conversation/historyrowtext.h"
#include "conversation/messagerows.h"
#include "conversation/searchindex.h"
#include "conversation/shownpath.h"
#include "core/diagnosticlog.h"
#include "core/settingkeys.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

namespace {

struct StoredBlob {
    QByteArray bytes;
    bool isBlob = false; // stored with the blob type, the only one that was ever a history
};

std::optional<StoredBlob> readBlob(QSqlDatabase &db)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT type, CAST(value AS BLOB) FROM settings WHERE key = ?"));
    q.addBindValue(SettingKeys::conversations);
    if (!q.exec() || !q.next())
        return std::nullopt;
    return StoredBlob{q.value(1).toByteArray(), q.value(0).toString() == u"blob"};
}

// A copy already made by an interrupted run is used again rather than written twice.
QString existingCopy(const QDir &folder, const QString &prefix, const QByteArray &bytes)
{
    const QStringList names =
        folder.entryList({prefix + QStringLiteral("*.json")}, QDir::Files, QDir::Name);
    for (const QString &name : names) {
        QFile file(folder.filePath(name));
        if (file.size() == bytes.size() && file.open(QIODevice::ReadOnly) &&
            file.readAll() == bytes)
            return file.fileName();
    }
    return {};
}

bool keepCopy(const QString &databasePath, const QString &prefix, const QByteArray &bytes,
              QString *keptAt, QString *error)
{
    const QDir folder = QFileInfo(databasePath).absoluteDir();
    if (const QString existing = existingCopy(folder, prefix, bytes); !existing.isEmpty()) {
        *keptAt = existing;
        return true;
    }
    const QString stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    const QString path = folder.filePath(prefix + stamp + QStringLiteral(".json"));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *error = path + u' ' + file.errorString();
        return false;
    }
    *keptAt = path;
    return true;
}

// What earlier versions stored in an answer's place when there was no answer.
const QSet<QString> &storedNotices()
{
    static const QSet<QString> notices{
        QStringLiteral("请升级会员后再次访问"),     QStringLiteral("网络请求失败，请稍后重试"),
        QStringLiteral("图片生成失败，请稍后重试"), QStringLiteral("无效的模型，请重新选择"),
        QStringLiteral("（模型没有返回内容）"),
    };
    return notices;
}

bool insertAll(QSqlDatabase &db, const ConversationMap &map, HistoryMigration::Outcome *outcome,
               QString *error)
{
    QSqlQuery insert(db);
    QSqlQuery conversation(db);
    if (!insert.prepare(MessageRows::insertStatement(MessageRows::OnConflict::Skip)) ||
        !conversation.prepare(QStringLiteral(
            "INSERT INTO conversations (id, row_text, created, updated) VALUES (?, ?, ?, ?) "
            "ON CONFLICT (id) DO NOTHING"))) {
        *error = insert.lastError().text() + conversation.lastError().text();
        return false;
    }
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        if (it->isEmpty())
            continue;
        MessageList messages = *it;
        for (Message &m : messages) {
            HistoryMigration::classify(m);
            m.preformatted = !m.isUserMessage;
        }
        ShownPath::chain(messages);
        // A conversation new to the tables (the usual case) gets its row whole, at once; one
        // that is there already (an older version wrote to the blob again) is merged into.
        conversation.bindValue(0, Message::idText(it.key()));
        const QString rowText = HistoryRowText::of(messages.last());
        conversation.bindValue(1, rowText.isNull() ? QStringLiteral("") : rowText);
        conversation.bindValue(2, messages.first().timestamp);
        conversation.bindValue(3, messages.last().timestamp);
        if (!conversation.exec()) {
            *error = conversation.lastError().text();
            return false;
        }
        const bool added = conversation.numRowsAffected() > 0;
        std::optional<qint64> position = 0;
        if (!added && !(position = MessageRows::nextPosition(db, it.key(), error)))
            return false;
        for (const Message &m : std::as_const(messages)) {
            MessageRows::bind(insert, it.key(), m, (*position)++);
            if (!insert.exec()) {
                *error = insert.lastError().text();
                return false;
            }
            ++outcome->messages;
        }
        if (!added && !MessageRows::refreshConversation(db, it.key(), error))
            return false;
        ++outcome->conversations;
    }
    return true;
}

} // namespace

void HistoryMigration::classify(Message &m)
{
    if (m.isUserMessage)
        m.kind = MessageKind::Question;
    else if (m.cachedImagePath)
        m.kind = MessageKind::Picture;
    else if (m.isLoading)
        m.kind = MessageKind::Arriving;
    else if (storedNotices().contains(m.content))
        m.kind = MessageKind::Notice;
    else
        m.kind = MessageKind::Answer;
    m.isLoading = false;
}

bool HistoryMigration::pending(QSqlDatabase &db)
{
    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT 1 FROM settings WHERE key = ?"));
    q.addBindValue(SettingKeys::conversations);
    return q.exec() && q.next();
}

bool HistoryMigration::pending(const QString &path)
{
    if (!QFile::exists(path))
        return false;
    const QString name = QStringLiteral("migration-check-") + QUuid::createUuid().toString();
    bool result = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        result = db.open() && pending(db);
    }
    QSqlDatabase::removeDatabase(name);
    return result;
}

bool HistoryMigration::run(const QString &path, Outcome *outcome, QString *error)
{
    const QString name = QStringLiteral("migration-") + QUuid::createUuid().toString();
    bool result = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        if (!db.open()) {
            *error = db.lastError().text();
        } else {
            QSqlQuery q(db);
            q.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
            q.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
            // The whole conversion is one transaction: room for its pages in memory, and the
            // old blob read through a mapping rather than copied page by page.
            q.exec(QStringLiteral("PRAGMA cache_size=-65536"));
            q.exec(QStringLiteral("PRAGMA mmap_size=536870912"));
            result = HistoryDatabase(db).prepare(error) && run(db, outcome, error);
        }
    }
    QSqlDatabase::removeDatabase(name);
    return result;
}

bool HistoryMigration::run(QSqlDatabase &db, Outcome *outcome, QString *error)
{
    const std::optional<StoredBlob> blob = readBlob(db);
    if (!blob)
        return true;

    // A value of another type under the key was never a history either; it is kept the same.
    std::optional<ConversationMap> map;
    if (blob->isBlob)
        map = ConversationCodec::decode(blob->bytes);
    outcome->unreadable = !map;
    const QString prefix =
        map ? QStringLiteral("conversations-backup-") : QStringLiteral("conversations-unreadable-");
    if (!keepCopy(db.databaseName(), prefix, blob->bytes, &outcome->keptAt, error)) {
        // The bytes stay in the database until they are safe somewhere else.
        DiagnosticLog::line("无法保存无法读取的历史记录:", *error);
        return false;
    }

    HistoryDatabase history(db);
    if (!history.begin()) {
        *error = db.lastError().text();
        return false;
    }
    const Outcome before = *outcome;
    // The rows come at once; their search entries once the window is up (SearchBackfill).
    if (map && !(insertAll(db, *map, outcome, error) && SearchIndex::deferMissing(db, error))) {
        history.rollback();
        *outcome = before;
        return false;
    }
    QSqlQuery remove(db);
    remove.prepare(QStringLiteral("DELETE FROM settings WHERE key = ?"));
    remove.addBindValue(SettingKeys::conversations);
    if (!remove.exec() || !history.commit()) {
        *error = remove.lastError().isValid() ? remove.lastError().text() : db.lastError().text();
        history.rollback();
        *outcome = before;
        return false;
    }
    if (outcome->unreadable)
        DiagnosticLog::line("无法读取的历史记录已保存到", outcome->keptAt);
    else
        DiagnosticLog::line("历史记录已转为数据表，原数据已保存到", outcome->keptAt);
    return true;
}
