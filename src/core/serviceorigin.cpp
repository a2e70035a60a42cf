#include "core/serviceorigin.h"

#include <QHostAddress>
#include <QUrl>

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

QString withQuery(const QString &path, const char *name, const QString &value)
{
    return ServiceOrigin::current() + path + QLatin1Char('?') + QLatin1String(name) +
           QLatin1Char('=') + QString::fromLatin1(QUrl::toPercentEncoding(value));
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

QString proxyOpenAI()
{
    return ServiceOrigin::current() + QStringLiteral("/api/proxy_openai2");
}

QString proxyClaude()
{
    return ServiceOrigin::current() + QStringLiteral("/api/proxy_claude2");
}

QString proxyGemini()
{
    return ServiceOrigin::current() + QStringLiteral("/api/proxy_gemini2");
}

QString generateImage()
{
    return ServiceOrigin::current() + QStringLiteral("/api/generate_image");
}

QString checkQuota(const QString &phone)
{
    return withQuery(QStringLiteral("/api/check_quota"), "phone", phone);
}

QString deductQuota()
{
    return ServiceOrigin::current() + QStringLiteral("/api/deduct_quota");
}

QString sendCode()
{
    return ServiceOrigin::current() + QStringLiteral("/api/send-code");
}

QString loginRegister()
{
    return ServiceOrigin::current() + QStringLiteral("/api/login-register");
}

QString accountInfo(const QString &userid)
{
    return withQuery(QStringLiteral("/api/macos_account_info"), "userid", userid);
}

QString pricingPage(const QString &userid)
{
    return withQuery(QStringLiteral("/pricing"), "userid", userid);
}

QString followPage()
{
    return ServiceOrigin::current() + QStringLiteral("/guanzhu");
}

QString contactPage()
{
    return ServiceOrigin::current() + QStringLiteral("/contact");
}

QString termsPage()
{
    return ServiceOrigin::current() + QStringLiteral("/yinsi");
}

} // namespace ServiceEndpoints
