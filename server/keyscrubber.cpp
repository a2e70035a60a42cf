#include "keyscrubber.h"

#include <QNetworkRequest>
#include <QRegularExpression>
#include <QUrlQuery>

namespace {

const QString hidden = QStringLiteral("***");

} // namespace

KeyScrubber::KeyScrubber(const QNetworkRequest &request)
{
    QByteArray bearer = request.rawHeader("Authorization");
    if (bearer.startsWith("Bearer "))
        bearer = bearer.mid(7);
    for (const QByteArray &key :
         {bearer, request.rawHeader("x-api-key"), request.rawHeader("x-goog-api-key"),
          QUrlQuery(request.url()).queryItemValue(QStringLiteral("key")).toUtf8()}) {
        if (!key.trimmed().isEmpty())
            m_keys.append(key.trimmed());
    }
}

QString KeyScrubber::scrubbed(QString text) const
{
    for (const QByteArray &key : m_keys)
        text.replace(QString::fromUtf8(key), hidden);
    // The shapes providers give their keys (sk-…, sk-ant-…, AIza…), a key in a query, and any
    // long unbroken run of key characters: no message a user needs holds one.
    static const QRegularExpression shaped(
        QStringLiteral("\\b(sk-[A-Za-z0-9_-]{8,}|AIza[0-9A-Za-z_-]{20,}|[A-Za-z0-9_-]{32,})"));
    static const QRegularExpression inQuery(QStringLiteral("([?&](key|api_key|apikey)=)[^&\\s]+"));
    text.replace(shaped, hidden);
    text.replace(inQuery, QStringLiteral("\\1") + hidden);
    return text;
}
