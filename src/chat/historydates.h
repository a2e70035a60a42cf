#pragma once

#include <QDateTime>
#include <QString>

// How the history list places a conversation in time: the group it falls under and the short
// date its row shows, both from the time that orders it (its first message) and seen from `now`
// in local time.
class HistoryDates {
public:
    static QString pinnedHeading() { return QStringLiteral("已置顶"); }

    // "今天", "昨天", "过去 7 天" or "更早".
    static QString group(const QDateTime &when, const QDateTime &now);
    // The time for today, "昨天" for yesterday, month and day within the year, else the full
    // date.
    static QString shortDate(const QDateTime &when, const QDateTime &now);
};
