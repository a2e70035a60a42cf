#include "chat/historydates.h"

QString HistoryDates::group(const QDateTime &when, const QDateTime &now)
{
    const qint64 days = when.toLocalTime().date().daysTo(now.toLocalTime().date());
    if (days <= 0)
        return QStringLiteral("今天");
    if (days == 1)
        return QStringLiteral("昨天");
    if (days < 7)
        return QStringLiteral("过去 7 天");
    return QStringLiteral("更早");
}

QString HistoryDates::shortDate(const QDateTime &when, const QDateTime &now)
{
    const QDateTime local = when.toLocalTime();
    const QDate today = now.toLocalTime().date();
    const qint64 days = local.date().daysTo(today);
    if (days <= 0)
        return local.toString(QStringLiteral("HH:mm"));
    if (days == 1)
        return QStringLiteral("昨天");
    if (local.date().year() == today.year())
        return QStringLiteral("%1月%2日").arg(local.date().month()).arg(local.date().day());
    return local.toString(QStringLiteral("yyyy/M/d"));
}
