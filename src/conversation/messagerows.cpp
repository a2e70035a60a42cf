#include "conversation/messagerows.h"

#include "conversation/historyrowtext.h"

#include <QSqlError>
#include <QVariant>

namespace {

MessageKind kindFromName(const QString &name)
{
    if (name == u"question")
        return MessageKind::Question;
    if (name == u"notice")
        return MessageKind::Notice;
    if (name == u"picture")
        return MessageKind::Picture;
    if (name == u"arriving")
        return MessageKind::Arriving;
    return MessageKind::Answer;
}

QVariant optionalText(const std::optional<QString> &text)
{
    return text ? QVariant(*text) : QVariant(QMetaType::fromType<QString>());
}

std::optional<QString> textOrNothing(const QVariant &value)
{
    return value.isNull() ? std::nullopt : std::optional(value.toString());
}

} // namespace

QString MessageRows::kindName(MessageKind kind)
{
    switch (kind) {
    case MessageKind::Question:
        return QStringLiteral("question");
    case MessageKind::Answer:
        return QStringLiteral("answer");
    case MessageKind::Notice:
        return QStringLiteral("notice");
    case MessageKind::Picture:
        return QStringLiteral("picture");
    case MessageKind::Arriving:
        return QStringLiteral("arriving");
    }
    return {};
}

QString MessageRows::columns()
{
    return QStringLiteral("id, parent, kind, content, preformatted, model, timestamp, avatar_url, "
                          "image_url, cached_image_path, charged_characters, charged_amount, "
                          "shown_at, asked_characters, asked_amount");
}

Message MessageRows::read(const QSqlQuery &query, int first)
{
    // Columns from `first` on, in the order of columns().
    struct Shifted {
        const QSqlQuery &q;
        int first;
        QVariant value(int i) const { return q.value(first + i); }
    } q{query, first};
    const MessageKind kind = kindFromName(q.value(2).toString());
    Message m(q.value(3).toString(), kind == MessageKind::Question);
    m.kind = kind;
    m.id = QUuid::fromString(q.value(0).toString());
    if (!q.value(1).isNull())
        m.parentId = QUuid::fromString(q.value(1).toString());
    m.preformatted = q.value(4).toBool();
    m.model = q.value(5).toString();
    m.timestamp = q.value(6).toDouble();
    m.avatarURL = textOrNothing(q.value(7));
    m.imageURL = textOrNothing(q.value(8));
    m.cachedImagePath = textOrNothing(q.value(9));
    if (!q.value(10).isNull())
        m.chargedCharacters = q.value(10).toLongLong();
    if (!q.value(11).isNull())
        m.chargedAmount = q.value(11).toDouble();
    if (!q.value(12).isNull())
        m.shownAt = q.value(12).toDouble();
    if (!q.value(13).isNull())
        m.askedCharacters = q.value(13).toLongLong();
    if (!q.value(14).isNull())
        m.askedAmount = q.value(14).toDouble();
    return m;
}

QString MessageRows::insertStatement(OnConflict onConflict)
{
    const QString insert = QStringLiteral(
        "INSERT INTO messages (id, conversation, position, parent, kind, content, preformatted, "
        "model, timestamp, avatar_url, image_url, cached_image_path, charged_characters, "
        "charged_amount, shown_at, asked_characters, asked_amount) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ");
    if (onConflict == OnConflict::Skip)
        return insert + QStringLiteral("ON CONFLICT (id) DO NOTHING");
    // A message keeps its conversation and its place; everything it says may change.
    return insert +
           QStringLiteral("ON CONFLICT (id) DO UPDATE SET parent = excluded.parent, kind = "
                          "excluded.kind, content = excluded.content, preformatted = "
                          "excluded.preformatted, model = excluded.model, timestamp = "
                          "excluded.timestamp, avatar_url = excluded.avatar_url, image_url = "
                          "excluded.image_url, cached_image_path = excluded.cached_image_path, "
                          "charged_characters = excluded.charged_characters, charged_amount = "
                          "excluded.charged_amount, shown_at = excluded.shown_at, "
                          "asked_characters = excluded.asked_characters, asked_amount = "
                          "excluded.asked_amount");
}

void MessageRows::bind(QSqlQuery &q, const QUuid &conversation, const Message &m, qint64 position)
{
    q.bindValue(0, Message::idText(m.id));
    q.bindValue(1, Message::idText(conversation));
    q.bindValue(2, position);
    q.bindValue(3, m.parentId ? QVariant(Message::idText(*m.parentId))
                              : QVariant(QMetaType::fromType<QString>()));
    q.bindValue(4, kindName(m.kind));
    q.bindValue(5, m.content.isNull() ? QStringLiteral("") : m.content);
    q.bindValue(6, m.preformatted ? 1 : 0);
    q.bindValue(7, m.model.isNull() ? QStringLiteral("") : m.model);
    q.bindValue(8, m.timestamp);
    q.bindValue(9, optionalText(m.avatarURL));
    q.bindValue(10, optionalText(m.imageURL));
    q.bindValue(11, optionalText(m.cachedImagePath));
    q.bindValue(12, m.chargedCharacters ? QVariant(*m.chargedCharacters)
                                        : QVariant(QMetaType::fromType<qlonglong>()));
    q.bindValue(13, m.chargedAmount ? QVariant(*m.chargedAmount)
                                    : QVariant(QMetaType::fromType<double>()));
    q.bindValue(14, m.shownAt ? QVariant(*m.shownAt) : QVariant(QMetaType::fromType<double>()));
    q.bindValue(15, m.askedCharacters ? QVariant(*m.askedCharacters)
                                      : QVariant(QMetaType::fromType<qlonglong>()));
    q.bindValue(16,
                m.askedAmount ? QVariant(*m.askedAmount) : QVariant(QMetaType::fromType<double>()));
}

namespace {
bool failed(const QSqlQuery &q, QString *error)
{
    *error = q.lastError().text();
    return false;
}
} // namespace

bool MessageRows::addConversation(QSqlDatabase &db, const QUuid &conversation, double started,
                                  QString *error)
{
    QSqlQuery q(db);
    q.prepare(QStringLiteral("INSERT INTO conversations (id, created, updated) VALUES (?, ?, ?) "
                             "ON CONFLICT (id) DO NOTHING"));
    q.addBindValue(Message::idText(conversation));
    q.addBindValue(started);
    q.addBindValue(started);
    return q.exec() || failed(q, error);
}

std::optional<qint64> MessageRows::nextPosition(QSqlDatabase &db, const QUuid &conversation,
                                                QString *error)
{
    QSqlQuery q(db);
    q.prepare(QStringLiteral(
        "SELECT COALESCE(MAX(position), -1) + 1 FROM messages WHERE conversation = ?"));
    q.addBindValue(Message::idText(conversation));
    if (!q.exec() || !q.next()) {
        failed(q, error);
        return std::nullopt;
    }
    return q.value(0).toLongLong();
}

bool MessageRows::refreshConversation(QSqlDatabase &db, const QUuid &conversation, QString *error)
{
    const QString id = Message::idText(conversation);
    QSqlQuery q(db);
    q.setForwardOnly(true);
    // The row tells of the branch in view: the leaf last put there (see ShownPath); in a
    // conversation kept without parents, the last message.
    q.prepare(QStringLiteral(
        "SELECT EXISTS (SELECT 1 FROM messages WHERE conversation = ? AND parent IS NOT NULL)"));
    q.addBindValue(id);
    if (!q.exec() || !q.next())
        return failed(q, error);
    const bool branched = q.value(0).toBool();
    q.finish();
    // Only the start of it: the row shows two lines, and an answer may be megabytes long.
    q.prepare(QStringLiteral("SELECT kind, substr(content, 1, ?), preformatted, cached_image_path, "
                             "timestamp") +
              (branched ? QStringLiteral(" FROM messages m WHERE conversation = ? AND NOT EXISTS "
                                         "(SELECT 1 FROM messages c WHERE c.parent = m.id) ORDER "
                                         "BY COALESCE(shown_at, timestamp) DESC, position DESC "
                                         "LIMIT 1")
                        : QStringLiteral(" FROM messages WHERE conversation = ? ORDER BY "
                                         "position DESC LIMIT 1")));
    q.addBindValue(HistoryRowText::kLongest * 4);
    q.addBindValue(id);
    if (!q.exec())
        return failed(q, error);
    if (!q.next()) {
        q.finish();
        q.prepare(QStringLiteral("DELETE FROM conversations WHERE id = ?"));
        q.addBindValue(id);
        return q.exec() || failed(q, error);
    }
    const MessageKind kind = kindFromName(q.value(0).toString());
    Message last(q.value(1).toString(), kind == MessageKind::Question);
    last.kind = kind;
    last.preformatted = q.value(2).toBool();
    last.cachedImagePath = textOrNothing(q.value(3));
    last.timestamp = q.value(4).toDouble();
    q.finish();
    q.prepare(QStringLiteral(
        "UPDATE conversations SET row_text = ?, updated = ?, created = (SELECT timestamp FROM "
        "messages WHERE conversation = ? ORDER BY position LIMIT 1) WHERE id = ?"));
    const QString rowText = HistoryRowText::of(last);
    q.bindValue(0, rowText.isNull() ? QStringLiteral("") : rowText);
    q.bindValue(1, last.timestamp);
    q.bindValue(2, id);
    q.bindValue(3, id);
    return q.exec() || failed(q, error);
}
