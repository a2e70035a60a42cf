#include "account/accountreply.h"

#include <QJsonValue>

#include <cmath>

std::optional<QString> AccountReply::string(const QJsonObject &reply, const char *member)
{
    const QJsonValue value = reply.value(QLatin1String(member));
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

std::optional<double> AccountReply::number(const QJsonObject &reply, const char *member)
{
    const QJsonValue value = reply.value(QLatin1String(member));
    if (!value.isDouble())
        return std::nullopt;
    return value.toDouble();
}

std::optional<qint64> AccountReply::integer(const QJsonObject &reply, const char *member)
{
    const QJsonValue value = reply.value(QLatin1String(member));
    if (!value.isDouble())
        return std::nullopt;
    const double d = value.toDouble();
    // 2^63 itself does not fit; everything strictly inside does.
    constexpr double kLimit = 9223372036854775808.0;
    if (std::trunc(d) != d || d >= kLimit || d < -kLimit)
        return std::nullopt;
    // Integers the parser kept exact stay exact beyond the 53 bits of a double.
    return value.toInteger(qint64(d));
}
