#include "conversation/conversationstore.h"

#include "conversation/historydatabase.h"
#include "conversation/historymigration.h"
#include "conversation/messagerows.h"
#include "conversation/searchbackfill.h"
#include "conversation/searchindex.h"
#include "conversation/shownpath.h"
#include "core/diagnosticlog.h"
#include "core/settingsstore.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

ConversationStore::ConversationStore(SettingsStore *settings, QObject *parent)
    : QObject(parent), m_settings(settings)
{
    if (!settings || !settings->isAttached())
        return;
    m_db = settings->database();
    QString error;
    if (!HistoryDatabase(m_db).prepare(&error)) {
        DiagnosticLog::line("历史记录暂时无法使用", error);
        return;
    }
    m_available = true;
    // Normally done before the first window (see main); a store that finds the blob still
    // there converts it now.
    HistoryMigration::Outcome outcome;
    if (HistoryMigration::run(m_db, &outcome, &error))
        m_backupPath = outcome.keptAt;
    else
        DiagnosticLog::line("历史记录暂时无法使用", error);
    m_searchComplete = !SearchIndex::hasDeferred(m_db);
}

void ConversationStore::completeSearchIndex()
{
    if (m_backfill || !m_available || !m_settings || m_settings->path().isEmpty())
        return;
    if (m_searchComplete != !SearchIndex::hasDeferred(m_db)) {
        m_searchComplete = !m_searchComplete;
        emit searchCompleteChanged();
    }
    if (m_searchComplete)
        return;
    m_backfill = new SearchBackfill(m_settings->path(), this);
    connect(m_backfill, &SearchBackfill::finished, this, [this](bool complete) {
        m_backfill->deleteLater();
        m_backfill = nullptr;
        if (!complete)
            return;
        m_searchComplete = true;
        emit searchCompleteChanged();
    });
    m_backfill->start();
}

MessageList ConversationStore::messages(const QUuid &conversation) const
{
    MessageList list;
    if (!m_available)
        return list;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT ") + MessageRows::columns() +
              QStringLiteral(" FROM messages WHERE conversation = ? ORDER BY position"));
    q.addBindValue(Message::idText(conversation));
    if (!q.exec())
        return list;
    while (q.next())
        list.append(MessageRows::read(q));
    return list;
}

bool ConversationStore::contains(const QUuid &conversation) const
{
    if (!m_available)
        return false;
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT 1 FROM conversations WHERE id = ?"));
    q.addBindValue(Message::idText(conversation));
    return q.exec() && q.next();
}

int ConversationStore::conversationCount() const
{
    if (!m_available)
        return 0;
    QSqlQuery q(m_db);
    return q.exec(QStringLiteral("SELECT COUNT(*) FROM conversations")) && q.next()
               ? q.value(0).toInt()
               : 0;
}

QList<HistoryRow> ConversationStore::historyRows(int offset, int limit) const
{
    QList<HistoryRow> rows;
    if (!m_available)
        return rows;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    // A name the user gave stands in for the automatic row text.
    q.prepare(QStringLiteral("SELECT id, COALESCE(title, row_text), created, pinned FROM "
                             "conversations ORDER BY pinned DESC, created DESC, id LIMIT ? "
                             "OFFSET ?"));
    q.addBindValue(limit);
    q.addBindValue(offset);
    if (!q.exec())
        return rows;
    while (q.next()) {
        rows.append({QUuid::fromString(q.value(0).toString()), q.value(1).toString(),
                     q.value(2).toDouble(), q.value(3).toBool()});
    }
    return rows;
}

QList<SearchHit> ConversationStore::search(const QString &query, int limit) const
{
    if (!m_available)
        return {};
    return HistorySearch::find(m_db, query, limit);
}

QList<double> ConversationStore::recentAnswerCosts(int count) const
{
    QList<double> costs;
    if (!m_available)
        return costs;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    // An answer's question is its parent; rows kept before answers had parents follow their
    // question directly.
    q.prepare(QStringLiteral(
        "SELECT COALESCE(a.charged_amount, 0) + COALESCE(a.asked_amount, q.charged_amount, 0)"
        " FROM messages a"
        " LEFT JOIN messages q ON q.kind = 'question' AND CASE WHEN a.parent IS NULL"
        " THEN q.conversation = a.conversation AND q.position = a.position - 1"
        " ELSE q.id = a.parent END"
        " WHERE a.kind IN ('answer', 'picture', 'notice')"
        " AND COALESCE(a.charged_amount, a.asked_amount, q.charged_amount) IS NOT NULL"
        " ORDER BY a.timestamp DESC LIMIT ?"));
    q.addBindValue(count);
    if (!q.exec())
        return costs;
    while (q.next())
        costs.append(q.value(0).toDouble());
    return costs;
}

MessageList ConversationStore::shownMessages(const QUuid &conversation) const
{
    return ShownPath::shown(messages(conversation));
}

double ConversationStore::conversationCost(const QUuid &conversation) const
{
    if (!m_available)
        return 0;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral(
        "SELECT COALESCE(SUM(COALESCE(charged_amount, 0) + COALESCE(asked_amount, 0)), 0) FROM "
        "messages WHERE conversation = ?"));
    q.addBindValue(Message::idText(conversation));
    if (!q.exec() || !q.next())
        return 0;
    return q.value(0).toDouble();
}

template <typename Write> bool ConversationStore::write(Write &&body)
{
    if (!m_available) {
        DiagnosticLog::line("历史记录写入失败:", "历史记录暂时无法使用");
        return false;
    }
    HistoryDatabase history(m_db);
    QString error;
    if (history.begin()) {
        if (body(error) && history.commit())
            return true;
        history.rollback();
    }
    if (error.isEmpty())
        error = m_db.lastError().text();
    DiagnosticLog::line("历史记录写入失败:", error);
    return false;
}

bool ConversationStore::saveMessages(const QUuid &conversation, const MessageList &messages)
{
    if (messages.isEmpty())
        return true;
    const bool written = write([&](QString &error) {
        QSqlQuery insert(m_db);
        std::optional<qint64> position;
        if (!MessageRows::addConversation(m_db, conversation, messages.first().timestamp, &error) ||
            !(position = MessageRows::nextPosition(m_db, conversation, &error)) ||
            !insert.prepare(MessageRows::insertStatement(MessageRows::OnConflict::Update)))
            return false;
        for (const Message &m : messages) {
            // An update keeps the stored position; only a new message takes this one.
            MessageRows::bind(insert, conversation, m, (*position)++);
            if (!insert.exec()) {
                error = insert.lastError().text();
                return false;
            }
            if (!SearchIndex::put(m_db, m, &error))
                return false;
        }
        return MessageRows::refreshConversation(m_db, conversation, &error);
    });
    if (written)
        emit historyChanged();
    return written;
}

bool ConversationStore::removeMessages(const QUuid &conversation, const QList<QUuid> &ids)
{
    const bool written = write([&](QString &error) {
        QSqlQuery remove(m_db);
        remove.prepare(QStringLiteral("DELETE FROM messages WHERE id = ? AND conversation = ?"));
        for (const QUuid &id : ids) {
            remove.bindValue(0, Message::idText(id));
            remove.bindValue(1, Message::idText(conversation));
            if (!remove.exec()) {
                error = remove.lastError().text();
                return false;
            }
        }
        return MessageRows::refreshConversation(m_db, conversation, &error);
    });
    if (written)
        emit historyChanged();
    return written;
}

bool ConversationStore::renameConversation(const QUuid &conversation, const QString &name)
{
    const QString trimmed = name.trimmed();
    return setConversationField(QStringLiteral("title"), conversation,
                                trimmed.isEmpty() ? QVariant(QMetaType::fromType<QString>())
                                                  : QVariant(trimmed));
}

bool ConversationStore::setPinned(const QUuid &conversation, bool pinned)
{
    return setConversationField(QStringLiteral("pinned"), conversation, pinned ? 1 : 0);
}

bool ConversationStore::setConversationField(const QString &column, const QUuid &conversation,
                                             const QVariant &value)
{
    const bool written = write([&](QString &error) {
        QSqlQuery q(m_db);
        q.prepare(QStringLiteral("UPDATE conversations SET %1 = ? WHERE id = ?").arg(column));
        q.addBindValue(value);
        q.addBindValue(Message::idText(conversation));
        if (q.exec())
            return true;
        error = q.lastError().text();
        return false;
    });
    if (written)
        emit historyChanged();
    return written;
}

std::optional<RemovedConversation> ConversationStore::removeConversation(const QUuid &conversation)
{
    RemovedConversation removed{conversation, std::nullopt, false, {}};
    const bool written = write([&](QString &error) {
        QSqlQuery q(m_db);
        q.prepare(QStringLiteral("SELECT title, pinned FROM conversations WHERE id = ?"));
        q.addBindValue(Message::idText(conversation));
        if (!q.exec()) {
            error = q.lastError().text();
            return false;
        }
        if (!q.next()) {
            error = QStringLiteral("no such conversation");
            return false;
        }
        if (!q.value(0).isNull())
            removed.name = q.value(0).toString();
        removed.pinned = q.value(1).toBool();
        q.finish();
        removed.messages = messages(conversation);
        // Its messages and their index entries go with it (ON DELETE CASCADE).
        q.prepare(QStringLiteral("DELETE FROM conversations WHERE id = ?"));
        q.addBindValue(Message::idText(conversation));
        if (q.exec())
            return true;
        error = q.lastError().text();
        return false;
    });
    if (!written)
        return std::nullopt;
    emit conversationRemoved(conversation);
    emit historyChanged();
    return removed;
}

std::optional<int> ConversationStore::addMissingMessages(QSqlQuery &insert,
                                                         const QUuid &conversation,
                                                         const MessageList &messages,
                                                         QString &error)
{
    std::optional<qint64> position;
    if (!MessageRows::addConversation(m_db, conversation, messages.first().timestamp, &error) ||
        !(position = MessageRows::nextPosition(m_db, conversation, &error)))
        return std::nullopt;
    int added = 0;
    for (const Message &m : messages) {
        MessageRows::bind(insert, conversation, m, *position);
        if (!insert.exec()) {
            error = insert.lastError().text();
            return std::nullopt;
        }
        if (insert.numRowsAffected() > 0) {
            if (!SearchIndex::put(m_db, m, &error))
                return std::nullopt;
            ++added;
            ++*position;
        }
    }
    return added;
}

bool ConversationStore::restoreConversation(const RemovedConversation &removed)
{
    if (removed.messages.isEmpty())
        return false;
    const bool written = write([&](QString &error) {
        QSqlQuery insert(m_db);
        if (!insert.prepare(MessageRows::insertStatement(MessageRows::OnConflict::Skip)) ||
            !addMissingMessages(insert, removed.id, removed.messages, error))
            return false;
        QSqlQuery q(m_db);
        q.prepare(QStringLiteral("UPDATE conversations SET title = ?, pinned = ? WHERE id = ?"));
        q.addBindValue(removed.name ? QVariant(*removed.name)
                                    : QVariant(QMetaType::fromType<QString>()));
        q.addBindValue(removed.pinned ? 1 : 0);
        q.addBindValue(Message::idText(removed.id));
        if (!q.exec()) {
            error = q.lastError().text();
            return false;
        }
        return MessageRows::refreshConversation(m_db, removed.id, &error);
    });
    if (written)
        emit historyChanged();
    return written;
}

bool ConversationStore::clearHistory()
{
    const bool written = write([&](QString &) {
        QSqlQuery q(m_db);
        return q.exec(QStringLiteral("DELETE FROM messages")) &&
               q.exec(QStringLiteral("DELETE FROM conversations"));
    });
    if (!written)
        return false;
    DiagnosticLog::line("历史记录已清除");
    emit historyCleared();
    emit historyChanged();
    return true;
}

std::optional<QList<StoredConversation>> ConversationStore::allConversations() const
{
    if (!m_available)
        return std::nullopt;
    QSqlQuery q(m_db);
    // A deferred transaction reads one state of the file, whatever another process commits
    // meanwhile.
    if (!q.exec(QStringLiteral("BEGIN")))
        return std::nullopt;
    QList<StoredConversation> all;
    q.setForwardOnly(true);
    bool ok = q.exec(QStringLiteral("SELECT conversation, ") + MessageRows::columns() +
                     QStringLiteral(" FROM messages ORDER BY conversation, position"));
    while (ok && q.next()) {
        const QUuid conversation = QUuid::fromString(q.value(0).toString());
        if (all.isEmpty() || all.last().id != conversation)
            all.append({conversation, {}});
        // The message's columns start after the conversation's.
        all.last().messages.append(MessageRows::read(q, 1));
    }
    ok = ok && !q.lastError().isValid();
    q.finish();
    q.exec(QStringLiteral("COMMIT"));
    if (!ok)
        return std::nullopt;
    return all;
}

std::optional<int> ConversationStore::addMissing(const QList<StoredConversation> &conversations)
{
    int added = 0;
    const bool written = write([&](QString &error) {
        QSqlQuery insert(m_db);
        if (!insert.prepare(MessageRows::insertStatement(MessageRows::OnConflict::Skip)))
            return false;
        for (const StoredConversation &c : conversations) {
            if (c.messages.isEmpty())
                continue;
            // An export of an earlier version has no parents: its conversations are one line.
            MessageList messages = c.messages;
            ShownPath::chain(messages);
            const std::optional<int> count = addMissingMessages(insert, c.id, messages, error);
            if (!count || !MessageRows::refreshConversation(m_db, c.id, &error))
                return false;
            added += *count;
        }
        return true;
    });
    if (!written)
        return std::nullopt;
    if (added > 0)
        emit historyChanged();
    return added;
}
