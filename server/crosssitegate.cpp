#include "crosssitegate.h"

#include <QHttpServerRequest>
#include <QNetworkInterface>

namespace {

using Status = QHttpServerResponder::StatusCode;

// "name" of "name:port", "::1" of "[::1]:port".
QByteArrayView hostName(QByteArrayView host)
{
    if (host.startsWith('[')) {
        const qsizetype close = host.indexOf(']');
        return close > 0 ? host.sliced(1, close - 1) : host;
    }
    const qsizetype colon = host.indexOf(':');
    return colon >= 0 ? host.first(colon) : host;
}

} // namespace

void CrossSiteGate::allow(const QHostAddress &address, const QStringList &publicHosts)
{
    m_hosts = publicHosts;
    const bool any = address == QHostAddress::Any || address == QHostAddress::AnyIPv4 ||
                     address == QHostAddress::AnyIPv6;
    const QList<QHostAddress> own = any ? QNetworkInterface::allAddresses() : QList{address};
    for (const QHostAddress &a : own) {
        m_hosts.append(a.toString());
        if (a.isLoopback() && !m_hosts.contains(QStringLiteral("localhost")))
            m_hosts.append(QStringLiteral("localhost"));
    }
}

bool CrossSiteGate::isOwnHost(QByteArrayView host) const
{
    const QString name = QString::fromLatin1(hostName(host.trimmed()));
    return m_hosts.contains(name, Qt::CaseInsensitive);
}

std::optional<CrossSiteGate::Refusal> CrossSiteGate::check(const QHttpServerRequest &request) const
{
    bool jsonBody = false;
    for (const auto &[name, value] : request.headers()) {
        if (name.compare("origin", Qt::CaseInsensitive) == 0)
            return Refusal{Status::Forbidden, QStringLiteral("拒绝跨站请求")};
        if (name.compare("host", Qt::CaseInsensitive) == 0 && !isOwnHost(value))
            return Refusal{Status::Forbidden, QStringLiteral("未知的主机名")};
        if (name.compare("content-type", Qt::CaseInsensitive) == 0) {
            const QByteArrayView type = QByteArrayView(value).first(
                value.contains(';') ? value.indexOf(';') : value.size());
            jsonBody = type.trimmed().compare("application/json", Qt::CaseInsensitive) == 0;
        }
    }
    if (request.method() == QHttpServerRequest::Method::Post && !jsonBody &&
        request.url().path().startsWith(QLatin1String("/api/")))
        return Refusal{Status::UnsupportedMediaType, QStringLiteral("请求体须为 JSON")};
    return std::nullopt;
}
