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

bool SearchIndex::deferMissing(QSqlDatabase &db, QString *error)
{
    QSqlQuery q(db);
    return q.exec(QStringLiteral(
               "INSERT INTO search_backlog (message) SELECT id FROM messages m"
               " WHERE kind IN ('question', 'answer')"
               " AND NOT EXISTS (SELECT 1 FROM search_text s WHERE s.message = m.id)"
               " AND NOT EXISTS (SELECT 1 FROM search_backlog b WHERE b.message = m.id)"
               " ORDER BY timestamp, id")) ||
           failed(q, error);
}

std::optional<int> SearchIndex::indexDeferred(QSqlDatabase &db, int count, QString *error)
{
    // A listed message that was deleted has left the list with it (the cascade); one that was
    // written since has its entry already, which this makes again from the same row.
    QSqlQuery read(db);
    read.setForwardOnly(true);
    read.prepare(QStringLiteral("SELECT b.ordinal, ") + MessageRows::columns() +
                 QStringLiteral(" FROM search_backlog b JOIN messages m ON m.id = b.message"
                                " ORDER BY b.ordinal DESC LIMIT ?"));
    read.addBindValue(count);
    if (!read.exec()) {
        failed(read, error);
        return std::nullopt;
    }
    int taken = 0;
    qint64 lowest = 0;
    while (read.next()) {
        lowest = read.value(0).toLongLong();
        if (!put(db, MessageRows::read(read, 1), error))
            return std::nullopt;
        ++taken;
    }
    if (read.lastError().isValid()) {
        failed(read, error);
        return std::nullopt;
    }
    read.finish();
    if (taken > 0) {
        QSqlQuery done(db);
        done.prepare(QStringLiteral("DELETE FROM search_backlog WHERE ordinal >= ?"));
        done.addBindValue(lowest);
        if (!done.exec()) {
            failed(done, error);
            return std::nullopt;
        }
    }
    return taken;
}

bool SearchIndex::hasDeferred(QSqlDatabase &db)
{
    QSqlQuery q(db);
    return q.exec(QStringLiteral("SELECT EXISTS (SELECT 1 FROM search_backlog)")) && q.next() &&
           q.value(0).toBool();
}
