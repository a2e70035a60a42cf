#include "core/serviceorigin.h"

#include <QHostAddress>

namespace {

QString normalized(QString origin)
{
    while (origin.endsWith(QLatin1Char('/')))
        origin.chop(1);
    return origin;
}

QString &currentOrigin()
{
    static QString origin = ServiceOrigin::configured();
    return origin;
}

bool isLoopback(const QString &host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

// Parsed strictly, so the percent-encoding written here is what goes on the wire.
QUrl address(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        return {};
    return url;
}

QUrl at(const QString &path)
{
    return address(ServiceOrigin::current() + path);
}

QUrl withQuery(const QString &path, const char *name, const QString &value)
{
    return address(ServiceOrigin::current() + path + QLatin1Char('?') + QLatin1String(name) +
                   QLatin1Char('=') + QString::fromLatin1(QUrl::toPercentEncoding(value)));
}

} // namespace

QString ServiceOrigin::configured()
{
    const QByteArray fromEnv = qgetenv("TALVORO_SERVICE_ORIGIN");
    if (!fromEnv.isEmpty())
        return normalized(QString::fromUtf8(fromEnv));
    return normalized(QStringLiteral(TALVORO_DEFAULT_SERVICE_ORIGIN));
}

std::optional<QString> ServiceOrigin::problem(const QString &origin)
{
    const QUrl url(origin, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return QStringLiteral("服务地址不是有效的网址: ") + origin;
    if (url.hasQuery() || url.hasFragment() || !url.userInfo().isEmpty() ||
        !(url.path().isEmpty() || url.path() == u"/"))
        return QStringLiteral("服务地址只能包含协议、主机和端口: ") + origin;
    if (url.scheme() == u"https")
        return std::nullopt;
    if (url.scheme() == u"http" && isLoopback(url.host()))
        return std::nullopt;
    return QStringLiteral("服务地址必须使用 HTTPS（本机回环地址除外）: ") + origin;
}

QString ServiceOrigin::current()
{
    return currentOrigin();
}

void ServiceOrigin::setCurrent(const QString &origin)
{
    currentOrigin() = normalized(origin);
}

namespace ServiceEndpoints {

QUrl proxyOpenAI()
{
    return at(QStringLiteral("/api/proxy_openai2"));
}

QUrl proxyClaude()
{
    return at(QStringLiteral("/api/proxy_claude2"));
}

QUrl proxyGemini()
{
    return at(QStringLiteral("/api/proxy_gemini2"));
}

QUrl generateImage()
{
    return at(QStringLiteral("/api/generate_image"));
}

QUrl checkQuota(const QString &phone)
{
    return withQuery(QStringLiteral("/api/check_quota"), "phone", phone);
}

QUrl deductQuota()
{
    return at(QStringLiteral("/api/deduct_quota"));
}

QUrl sendCode()
{
    return at(QStringLiteral("/api/send-code"));
}

QUrl loginRegister()
{
    return at(QStringLiteral("/api/login-register"));
}

QUrl accountInfo(const QString &userid)
{
    return withQuery(QStringLiteral("/api/macos_account_info"), "userid", userid);
}

QUrl logout()
{
    return at(QStringLiteral("/api/logout"));
}

QUrl pricingLink()
{
    return at(QStringLiteral("/api/pricing-link"));
}

QUrl page(const QString &path)
{
    return path.startsWith(QLatin1Char('/')) ? at(path) : QUrl();
}

QUrl pricingPage(const QString &userid)
{
    return withQuery(QStringLiteral("/pricing"), "userid", userid);
}

QUrl followPage()
{
    return at(QStringLiteral("/guanzhu"));
}

QUrl contactPage()
{
    return at(QStringLiteral("/contact"));
}

QUrl termsPage()
{
    return at(QStringLiteral("/yinsi"));
}

} // namespace ServiceEndpoints
