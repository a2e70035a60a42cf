#include "conversation/searchindex.h"

#include "conversation/messagerows.h"
#include "conversation/searchtext.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <cmath>

namespace {

// Messages written within one millisecond that the index keeps apart in time order.
constexpr qint64 kSlots = 1 << 16;

// The millisecond of `timestamp`, within what the row numbers can hold (about 2,000 years
// either side of 2001); a stored time beyond that, or none at all, sorts at the edge.
qint64 timeKey(double timestamp)
{
    constexpr double kEdge = double(qint64(1) << 46);
    const double ms = std::floor(timestamp * 1000.0);
    if (std::isnan(ms))
        return 0;
    return qint64(std::clamp(ms, -kEdge, kEdge - 1));
}

bool failed(const QSqlQuery &q, QString *error)
{
    *error = q.lastError().text();
    return false;
}

} // namespace

namespace {
constexpr qsizetype kIndexedCharacters = 100'000;
} // namespace

bool SearchIndex::put(QSqlDatabase &db, const Message &message, QString *error)
{
    // Only the start of a very long answer is indexed: indexing four million characters takes
    // seconds on the thread that stores the answer, and nobody searches a message that long
    // past its first hundred thousand characters.
    Message start = message;
    start.content.truncate(kIndexedCharacters);
    const std::optional<QString> text = SearchText::of(start);
    QSqlQuery q(db);
    if (!text || text->isEmpty()) {
        q.prepare(QStringLiteral("DELETE FROM search_text WHERE message = ?"));
        q.addBindValue(Message::idText(message.id));
        return q.exec() || failed(q, error);
    }
    // A new entry's row number orders it by the message's time (kSlots numbers to each
    // millisecond), so a search reads the index newest first and stops at its limit instead of
    // sorting every match. An unchanged text leaves the index alone: an answer's charge or a
    // picture's path being written again costs no index work.
    q.prepare(QStringLiteral("INSERT INTO search_text (row, message, body) VALUES ((SELECT "
                             "COALESCE(MAX(row) + 1, ?) FROM search_text WHERE row >= ? AND row "
                             "< ?), ?, ?) ON CONFLICT (message) DO UPDATE SET body = excluded.body "
                             "WHERE body IS NOT excluded.body"));
    const qint64 first = timeKey(message.timestamp) * kSlots;
    q.addBindValue(first);
    q.addBindValue(first);
    q.addBindValue(first + kSlots);
    q.addBindValue(Message::idText(message.id));
    q.addBindValue(SearchText::fold(*text));
    return q.exec() || failed(q, error);
}

bool SearchIndex::build(QSqlDatabase &db, QString *error)
{
    QSqlQuery read(db);
    read.setForwardOnly(true);
    // The columns the table had when the index came (version 2): later versions add theirs
    // after this step has run, and MessageRows::read takes missing trailing ones as empty.
    if (!read.exec(QStringLiteral("SELECT id, parent, kind, content, preformatted, model, "
                                  "timestamp, avatar_url, image_url, cached_image_path, "
                                  "charged_characters, charged_amount") +
                   QStringLiteral(
                       " FROM messages WHERE kind IN ('question', 'answer') ORDER BY timestamp")))
        return failed(read, error);
    while (read.next()) {
        if (!put(db, MessageRows::read(read), error))
            return false;
    }
    return !read.lastError().isValid() || failed(read, error);
}
