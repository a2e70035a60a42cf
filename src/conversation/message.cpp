#include "conversation/message.h"

namespace {
// 2001-01-01T00:00:00Z in Unix seconds.
constexpr double kReferenceEpoch = 978307200.0;

bool isHex(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}
} // namespace

Message::Message(QString content, bool isUserMessage)
    : content(std::move(content)), isUserMessage(isUserMessage),
      kind(isUserMessage ? MessageKind::Question : MessageKind::Answer)
{}

Message Message::notice(const QString &text)
{
    Message m(text, false);
    m.kind = MessageKind::Notice;
    return m;
}

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
    return dateTimeOf(timestamp);
}

QDateTime Message::dateTimeOf(double timestamp)
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
