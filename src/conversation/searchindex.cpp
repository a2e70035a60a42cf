#include "conversation/searchindex.h"

#include "conversation/messagerows.h"
#include "conversation/searchtext.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

bool failed(const QSqlQuery &q, QString *error)
{
    *error = q.lastError().text();
    return false;
}

} // namespace

bool SearchIndex::put(QSqlDatabase &db, const Message &message, QString *error)
{
    const std::optional<QString> text = SearchText::of(message);
    QSqlQuery q(db);
    if (!text || text->isEmpty()) {
        q.prepare(QStringLiteral("DELETE FROM search_text WHERE message = ?"));
        q.addBindValue(Message::idText(message.id));
        return q.exec() || failed(q, error);
    }
    // An unchanged text leaves the index alone: an answer's charge or a picture's path being
    // written again costs no index work.
    q.prepare(QStringLiteral("INSERT INTO search_text (message, body) VALUES (?, ?) ON CONFLICT "
                             "(message) DO UPDATE SET body = excluded.body WHERE body IS NOT "
                             "excluded.body"));
    q.addBindValue(Message::idText(message.id));
    q.addBindValue(SearchText::fold(*text));
    return q.exec() || failed(q, error);
}

bool SearchIndex::build(QSqlDatabase &db, QString *error)
{
    QSqlQuery read(db);
    read.setForwardOnly(true);
    if (!read.exec(QStringLiteral("SELECT ") + MessageRows::columns() +
                   QStringLiteral(" FROM messages WHERE kind IN ('question', 'answer')")))
        return failed(read, error);
    while (read.next()) {
        if (!put(db, MessageRows::read(read), error))
            return false;
    }
    return !read.lastError().isValid() || failed(read, error);
}
