#include "accountroutes.h"

#include "accountstore.h"
#include "codeissuer.h"
#include "codesender.h"
#include "jsonreply.h"
#include "pendinganswer.h"
#include "phonenumber.h"
#include "pricinglinks.h"
#include "requestbody.h"
#include "routemethods.h"
#include "serverlog.h"
#include "sessiongate.h"
#include "sessionstore.h"

#include <QHttpServer>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

using Status = QHttpServerResponse::StatusCode;

const QString badPhone = QStringLiteral("手机号码格式不正确");
const QString noAccount = QStringLiteral("账号不存在");
const QString internalError = QStringLiteral("服务器内部错误，请稍后再试");

// The whole units of a balance, as JSON carries integers exactly: a balance beyond that range
// (or not a number at all, in a file written before amounts were bounded) is held at its edge.
qint64 wholeUnits(double balance)
{
    constexpr double edge = 9007199254740992.0; // 2^53
    if (std::isnan(balance))
        return 0;
    return qint64(std::clamp(std::floor(balance), -edge, edge));
}

QJsonObject profile(const Account &a)
{
    // The sign-in reply: quotas as whole numbers, the expiry under "expiry".
    return {{QStringLiteral("message"), QStringLiteral("登录成功！")},
            {QStringLiteral("username"), a.username},
            {QStringLiteral("userid"), a.userid},
            {QStringLiteral("avatar"), a.avatar},
            {QStringLiteral("phone"), a.phone},
            {QStringLiteral("state"), a.state},
            {QStringLiteral("chat_quota"), wholeUnits(a.balance)},
            {QStringLiteral("translate_quota"), a.translateQuota},
            {QStringLiteral("expiry"), a.expiry}};
}

QJsonObject accountInfo(const Account &a)
{
    // The account card: the exact balance, the expiry under "expiry_date".
    return {{QStringLiteral("username"), a.username},
            {QStringLiteral("userid"), a.userid},
            {QStringLiteral("phone"), a.phone},
            {QStringLiteral("state"), a.state},
            {QStringLiteral("chat_quota"), a.balance},
            {QStringLiteral("translate_quota"), a.translateQuota},
            {QStringLiteral("expiry_date"), a.expiry},
            {QStringLiteral("avatar"), a.avatar}};
}

// Sign-in failures carry the reason as "message" too: the client shows that member.
QHttpServerResponse signInRefused(Status status, const QString &why)
{
    return JsonReply::object(
        QJsonObject{{QStringLiteral("message"), why}, {QStringLiteral("error"), why}}, status);
}

std::optional<QString> queryValue(const QHttpServerRequest &request, const char *name)
{
    const QUrlQuery query = request.query();
    if (!query.hasQueryItem(QLatin1String(name)))
        return std::nullopt;
    return query.queryItemValue(QLatin1String(name), QUrl::FullyDecoded);
}

// The address a request came from. Behind a reverse proxy on this machine every request comes
// from loopback; the proxy names the client in the rightmost X-Forwarded-For entry, whether it
// appends to the client's own line or adds a line of its own after it. Every entry left of it
// is the client's to forge.
QString sourceOf(const QHttpServerRequest &request)
{
    const QHostAddress peer = request.remoteAddress();
    if (!peer.isLoopback())
        return peer.toString();
    QByteArray last;
    bool named = false;
    for (const auto &[name, value] : request.headers()) {
        if (name.compare("x-forwarded-for", Qt::CaseInsensitive) == 0) {
            last = value.mid(value.lastIndexOf(',') + 1).trimmed();
            named = true;
        }
    }
    return named && !last.isEmpty() ? QString::fromLatin1(last) : peer.toString();
}

QHttpServerResponse missingParameter(const char *name)
{
    return JsonReply::error(Status::BadRequest,
                            QStringLiteral("缺少参数 %1").arg(QLatin1String(name)));
}

} // namespace

std::optional<QHttpServerResponse> AccountRoutes::issueCode(const QHttpServerRequest &request,
                                                            QString *phone, QString *code)
{
    QString error;
    const auto body = RequestBody::parse(request.body(), &error);
    const auto raw = body ? body->string("phone", &error) : std::nullopt;
    if (!raw)
        return JsonReply::error(Status::BadRequest, error);
    const auto normalized = PhoneNumber::normalized(*raw);
    if (!normalized)
        return JsonReply::error(Status::BadRequest, badPhone);
    const CodeIssuer::Issue issue = m_codes.issue(*normalized, sourceOf(request));
    if (issue.status == CodeIssuer::Issue::TooSoon) {
        const qint64 seconds = (issue.retryInMs + 999) / 1000;
        QHttpServerResponse reply = JsonReply::error(
            Status::TooManyRequests, QStringLiteral("发送过于频繁，请 %1 秒后再试").arg(seconds));
        reply.setHeader(QByteArrayLiteral("Retry-After"), QByteArray::number(seconds));
        return reply;
    }
    if (issue.status == CodeIssuer::Issue::TooMany)
        return JsonReply::error(Status::TooManyRequests,
                                QStringLiteral("发送过于频繁，请稍后再试"));
    if (issue.status != CodeIssuer::Issue::Issued)
        return JsonReply::error(Status::InternalServerError, internalError);
    *phone = *normalized;
    *code = issue.code;
    return std::nullopt;
}

std::optional<QHttpServerResponse> AccountRoutes::readDeduction(const QHttpServerRequest &request,
                                                                QString *phone, double *amount)
{
    QString error;
    const auto body = RequestBody::parse(request.body(), &error);
    const auto raw = body ? body->string("phone", &error) : std::nullopt;
    const auto number = raw ? body->number("amount", &error) : std::nullopt;
    if (!number)
        return JsonReply::error(Status::BadRequest, error);
    if (*number < 0)
        return JsonReply::error(Status::BadRequest, QStringLiteral("扣减数额不能为负数"));
    if (*number > m_maxCharge)
        return JsonReply::error(Status::BadRequest, QStringLiteral("扣减数额超出上限"));
    const auto normalized = PhoneNumber::normalized(*raw);
    if (!normalized)
        return JsonReply::error(Status::BadRequest, badPhone);
    *phone = *normalized;
    *amount = *number;
    return std::nullopt;
}

void AccountRoutes::install(QHttpServer &http)
{
    http.route(
        QStringLiteral("/api/send-code"), QHttpServerRequest::Method::Post,
        [this](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
            QString phone;
            QString code;
            if (const auto refusal = issueCode(request, &phone, &code)) {
                refusal->write(std::move(responder));
                return;
            }
            auto pending = std::make_shared<PendingAnswer>(std::move(responder));
            m_sender.send(phone, code, [this, pending, phone](bool delivered) {
                if (!delivered) {
                    // Asking again need not wait for a code that never left.
                    m_codes.withdraw(phone);
                    pending->writeJson(
                        {{QStringLiteral("error"), QStringLiteral("验证码发送失败，请稍后再试")}},
                        int(Status::BadGateway));
                    return;
                }
                pending->writeJson({{QStringLiteral("message"), QStringLiteral("验证码已发送")}},
                                   int(Status::Ok));
            });
        });

    http.route(QStringLiteral("/api/login-register"), QHttpServerRequest::Method::Post,
               [this](const QHttpServerRequest &request) {
                   QString error;
                   const auto body = RequestBody::parse(request.body(), &error);
                   const auto raw = body ? body->string("phone", &error) : std::nullopt;
                   const auto code = raw ? body->string("code", &error) : std::nullopt;
                   if (!code)
                       return signInRefused(Status::BadRequest, error);
                   const auto phone = PhoneNumber::normalized(*raw);
                   if (!phone)
                       return signInRefused(Status::BadRequest, badPhone);
                   switch (m_codes.verify(*phone, code->trimmed())) {
                   case CodeIssuer::Verdict::Accepted:
                       break;
                   case CodeIssuer::Verdict::Wrong:
                       return signInRefused(Status::Unauthorized,
                                            QStringLiteral("验证码错误，请重新输入"));
                   case CodeIssuer::Verdict::Expired:
                       return signInRefused(Status::Unauthorized,
                                            QStringLiteral("验证码已过期，请重新获取"));
                   case CodeIssuer::Verdict::NoCode:
                       return signInRefused(Status::Unauthorized, QStringLiteral("请先获取验证码"));
                   case CodeIssuer::Verdict::TooManyTries:
                       return signInRefused(Status::TooManyRequests,
                                            QStringLiteral("验证码错误次数过多，请重新获取"));
                   case CodeIssuer::Verdict::Failed:
                       return signInRefused(Status::InternalServerError, internalError);
                   }
                   const auto account = m_accounts.signIn(*phone);
                   const QString token = account ? m_sessions.open(*phone) : QString();
                   if (token.isEmpty())
                       return signInRefused(Status::InternalServerError, internalError);
                   ServerLog::info({QStringLiteral("signed in"), *phone});
                   QJsonObject reply = profile(*account);
                   reply.insert(QStringLiteral("token"), token);
                   return JsonReply::object(reply);
               });

    http.route(QStringLiteral("/api/check_quota"), QHttpServerRequest::Method::Get,
               [this](const QHttpServerRequest &request) {
                   const auto raw = queryValue(request, "phone");
                   if (!raw)
                       return missingParameter("phone");
                   const auto phone = PhoneNumber::normalized(*raw);
                   bool failed = false;
                   const bool has = phone && m_accounts.hasQuota(*phone, &failed);
                   if (failed)
                       return JsonReply::error(Status::ServiceUnavailable,
                                               QStringLiteral("数据库不可用"));
                   return JsonReply::object(QJsonObject{{QStringLiteral("hasQuota"), has}});
               });

    http.route(
        QStringLiteral("/api/deduct_quota"), QHttpServerRequest::Method::Post,
        [this](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
            QString phone;
            double amount = 0;
            if (const auto refusal = readDeduction(request, &phone, &amount)) {
                refusal->write(std::move(responder));
                return;
            }
            if (m_metered) {
                JsonReply::object(QJsonObject{{QStringLiteral("ok"), true}})
                    .write(std::move(responder));
                return;
            }
            auto pending = std::make_shared<PendingAnswer>(std::move(responder));
            m_accounts.deduct(phone, amount, [pending](AccountStore::Change change) {
                switch (change) {
                case AccountStore::Change::Done:
                    pending->send(JsonReply::object(QJsonObject{{QStringLiteral("ok"), true}}));
                    return;
                case AccountStore::Change::NoAccount:
                    pending->send(JsonReply::error(Status::NotFound, noAccount));
                    return;
                case AccountStore::Change::Failed:
                    break;
                }
                pending->send(JsonReply::error(Status::InternalServerError, internalError));
            });
        });

    http.route(QStringLiteral("/api/macos_account_info"), QHttpServerRequest::Method::Get,
               [this](const QHttpServerRequest &request) {
                   const auto userid = queryValue(request, "userid");
                   if (!userid)
                       return missingParameter("userid");
                   const auto account = m_accounts.byUserid(*userid);
                   if (!account)
                       return JsonReply::error(Status::NotFound, noAccount);
                   return JsonReply::object(accountInfo(*account));
               });

    // Signing out ends the session whose token the request carries (none: nothing to end).
    http.route(QStringLiteral("/api/logout"), QHttpServerRequest::Method::Post,
               [this](const QHttpServerRequest &request) {
                   const QString token = SessionGate::bearerToken(request);
                   if (!token.isEmpty() && !m_sessions.revoke(token))
                       return JsonReply::error(Status::ServiceUnavailable,
                                               QStringLiteral("数据库不可用"));
                   return QHttpServerResponse(Status::NoContent);
               });

    // The address of the pricing page for the token's account, good for one visit within five
    // minutes: the browser the client opens it in has no token to show.
    http.route(
        QStringLiteral("/api/pricing-link"), QHttpServerRequest::Method::Post,
        [this](const QHttpServerRequest &request) {
            bool failed = false;
            const auto phone = m_sessions.phoneOf(SessionGate::bearerToken(request), &failed);
            if (failed)
                return JsonReply::error(Status::ServiceUnavailable, QStringLiteral("数据库不可用"));
            if (!phone)
                return JsonReply::error(Status::Unauthorized,
                                        QStringLiteral("登录已失效，请重新登录"));
            const QString link = m_links.open(*phone);
            if (link.isEmpty())
                return JsonReply::error(Status::InternalServerError, internalError);
            return JsonReply::object(
                QJsonObject{{QStringLiteral("path"), QStringLiteral("/pricing?link=") + link}});
        });

    for (const char *path :
         {"/api/send-code", "/api/login-register", "/api/check_quota", "/api/deduct_quota",
          "/api/macos_account_info", "/api/logout", "/api/pricing-link"})
        RouteMethods::refuseOthers(http, QString::fromLatin1(path));
}
