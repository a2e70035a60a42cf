#include "sessiongate.h"

#include "accountstore.h"
#include "phonenumber.h"
#include "requestbody.h"
#include "sessionstore.h"

#include <QHttpServerRequest>
#include <QUrlQuery>

namespace {

using Status = QHttpServerResponder::StatusCode;

const QString unavailable = QStringLiteral("数据库不可用");

// The account a request names, as its normalized phone; nullopt when it names none the route
// would accept (the route then refuses it on its own).
std::optional<QString> namedPhone(const QHttpServerRequest &request, const QString &path,
                                  AccountStore &accounts)
{
    if (path == u"/api/check_quota") {
        return PhoneNumber::normalized(
            request.query().queryItemValue(QStringLiteral("phone"), QUrl::FullyDecoded));
    }
    if (path == u"/api/deduct_quota") {
        QString error;
        const auto body = RequestBody::parse(request.body(), &error);
        const auto raw = body ? body->string("phone", &error) : std::nullopt;
        return raw ? PhoneNumber::normalized(*raw) : std::nullopt;
    }
    if (path == u"/api/macos_account_info") {
        const auto account = accounts.byUserid(
            request.query().queryItemValue(QStringLiteral("userid"), QUrl::FullyDecoded));
        return account ? std::optional(account->phone) : std::nullopt;
    }
    return std::nullopt;
}

} // namespace

QString SessionGate::bearerToken(const QHttpServerRequest &request)
{
    for (const auto &[name, value] : request.headers()) {
        if (name.compare("authorization", Qt::CaseInsensitive) == 0 && value.startsWith("Bearer "))
            return QString::fromLatin1(value.mid(7).trimmed());
    }
    return {};
}

bool SessionGate::mayShow(const QHttpServerRequest &request, const QString &phone) const
{
    return !m_required || m_sessions.phoneOf(bearerToken(request)) == phone;
}

std::optional<SessionGate::Refusal> SessionGate::check(const QHttpServerRequest &request)
{
    // The local default: nothing to look at, on every request.
    if (!m_required && !m_metering)
        return std::nullopt;
    const QString path = request.url().path();
    const bool spends =
        path.startsWith(QLatin1String("/api/proxy_")) || path == u"/api/generate_image";
    if (!m_required && !spends)
        return std::nullopt;
    if (!path.startsWith(QLatin1String("/api/")) || path == u"/api/send-code" ||
        path == u"/api/login-register")
        return std::nullopt;
    // A database that does not answer says nothing about the token: the user must not be told to
    // sign in again.
    bool failed = false;
    const auto phone = m_sessions.phoneOf(bearerToken(request), &failed);
    if (failed)
        return Refusal{Status::ServiceUnavailable, unavailable};
    if (!phone)
        return Refusal{Status::Unauthorized, QStringLiteral("登录已失效，请重新登录")};
    if (const auto named = namedPhone(request, path, m_accounts); named && *named != *phone)
        return Refusal{Status::Forbidden, QStringLiteral("无权操作其他账号")};
    if (spends && !m_accounts.hasQuota(*phone, &failed))
        return failed ? Refusal{Status::ServiceUnavailable, unavailable}
                      : Refusal{Status::PaymentRequired, QStringLiteral("余额不足，请充值后再试")};
    return std::nullopt;
}
