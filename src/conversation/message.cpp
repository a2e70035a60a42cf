#include "message.h"

#include <QJsonValue>
#include <QUrl>

namespace {
// 2001-01-01T00:00:00Z in Unix seconds.
constexpr double kReferenceEpoch = 978307200.0;

bool isHex(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}
} // namespace

Message::Message(QString content, bool isUserMessage)
    : content(std::move(content)), isUserMessage(isUserMessage)
{}

double Message::referenceNow()
{
    return referenceTime(QDateTime::currentDateTimeUtc());
}

double Message::referenceTime(const QDateTime &when)
{
    return double(when.toMSecsSinceEpoch()) / 1000.0 - kReferenceEpoch;
}

QDateTime Message::dateTime() const
{
    return QDateTime::fromMSecsSinceEpoch(qint64((timestamp + kReferenceEpoch) * 1000.0), Qt::UTC);
}

QString Message::idText(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

std::optional<QUuid> Message::parseId(QStringView text)
{
    if (text.size() != 36)
        return std::nullopt;
    for (qsizetype i = 0; i < 36; ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != u'-' : !isHex(text[i]))
            return std::nullopt;
    }
    return QUuid::fromString(text);
}

QJsonObject Message::toJson() const
{
    QJsonObject o;
    o.insert(QLatin1String("id"), idText(id));
    o.insert(QLatin1String("content"), content);
    o.insert(QLatin1String("isUserMessage"), isUserMessage);
    o.insert(QLatin1String("timestamp"), timestamp);
    o.insert(QLatin1String("isLoading"), isLoading);
    if (avatarURL)
        o.insert(QLatin1String("avatarURL"), *avatarURL);
    if (imageURL)
        o.insert(QLatin1String("imageURL"), *imageURL);
    if (cachedImagePath)
        o.insert(QLatin1String("cachedImagePath"), *cachedImagePath);
    return o;
}

namespace {
// Missing and null both mean absent; any other non-string type is a failure.
bool readOptionalString(const QJsonObject &o, QLatin1String name, std::optional<QString> &out)
{
    const QJsonValue v = o.value(name);
    if (v.isUndefined() || v.isNull())
        return true;
    if (!v.isString())
        return false;
    out = v.toString();
    return true;
}
} // namespace

std::optional<Message> Message::fromJson(const QJsonObject &o)
{
    const QJsonValue id = o.value(QLatin1String("id"));
    const QJsonValue content = o.value(QLatin1String("content"));
    const QJsonValue isUser = o.value(QLatin1String("isUserMessage"));
    const QJsonValue timestamp = o.value(QLatin1String("timestamp"));
    const QJsonValue isLoading = o.value(QLatin1String("isLoading"));
    if (!id.isString() || !content.isString() || !isUser.isBool() || !timestamp.isDouble() ||
        !isLoading.isBool())
        return std::nullopt;

    const auto uuid = parseId(id.toString());
    if (!uuid)
        return std::nullopt;

    Message m(content.toString(), isUser.toBool());
    m.id = *uuid;
    m.timestamp = timestamp.toDouble();
    m.isLoading = isLoading.toBool();
    if (!readOptionalString(o, QLatin1String("avatarURL"), m.avatarURL) ||
        !readOptionalString(o, QLatin1String("imageURL"), m.imageURL) ||
        !readOptionalString(o, QLatin1String("cachedImagePath"), m.cachedImagePath))
        return std::nullopt;
    if (m.imageURL) {
        const QUrl url(*m.imageURL, QUrl::StrictMode);
        if (m.imageURL->isEmpty() || !url.isValid())
            return std::nullopt;
    }
    return m;
}
