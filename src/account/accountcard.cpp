#include "account/accountcard.h"

#include "account/accountreply.h"
#include "account/webpage.h"
#include "core/diagnosticlog.h"
#include "core/httpclient.h"
#include "core/serviceorigin.h"
#include "core/settingkeys.h"
#include "core/settingsstore.h"
#include "service/pricingpageaddress.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {

const QString kFree = QStringLiteral("免费");
const QString kLoading = QStringLiteral("加载中...");

} // namespace

AccountCard::AccountCard(QObject *parent) : QObject(parent), m_store(SettingsStore::instance())
{
    showPlaceholders();
}

QUrl AccountCard::avatarAddress() const
{
    if (m_avatarURL.isEmpty())
        return {};
    const QUrl url(m_avatarURL, QUrl::StrictMode);
    // A relative or malformed text would only ever show an endless progress indicator.
    if (!url.isValid() || url.scheme().isEmpty())
        return {};
    return url;
}

bool AccountCard::isFree() const
{
    return m_state == kFree;
}

bool AccountCard::chatQuotaHighlighted() const
{
    if (m_chatQuota != m_chatQuota.trimmed())
        return false;
    bool ok = false;
    const double value = m_chatQuota.toDouble(&ok);
    return ok && value != 0.0;
}

bool AccountCard::translateQuotaHighlighted() const
{
    static const QRegularExpression wholeNumber(QStringLiteral("^[+-]?([0-9]+)$"));
    const QRegularExpressionMatch match = wholeNumber.match(m_translateQuota);
    if (!match.hasMatch())
        return false;
    const QString digits = match.captured(1);
    return digits.count(QLatin1Char('0')) != digits.size();
}

QString AccountCard::membershipButtonText() const
{
    return isFree() ? QStringLiteral("开通会员") : QStringLiteral("续费会员");
}

QString AccountCard::userid() const
{
    return m_store ? m_store->getString(SettingKeys::userid).value_or(QString()) : QString();
}

void AccountCard::refresh()
{
    showPlaceholders();
    fetchAccountInfo();
}

void AccountCard::showPlaceholders()
{
    m_username = kLoading;
    m_phone = kLoading;
    m_state = kFree;
    m_chatQuota = QStringLiteral("0.00");
    m_translateQuota = QStringLiteral("0");
    m_expiryDate = kLoading;
    m_avatarURL.clear();
    emit accountChanged();
    setErrorMessage(QString());
}

void AccountCard::fetchAccountInfo()
{
    const QUrl url = ServiceEndpoints::accountInfo(userid());
    HttpClient *client = HttpClient::instance();
    if (url.isEmpty() || !client)
        return;
    const quint64 request = ++m_request;
    client->get(url, this, [this, request](const HttpResult &result) {
        if (request == m_request)
            handleReply(result);
    });
}

void AccountCard::handleReply(const HttpResult &result)
{
    if (!result.transferred() || result.body.isEmpty()) {
        setErrorMessage(QStringLiteral("获取信息失败，请稍后再试。"));
        return;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(result.body, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        setErrorMessage(QStringLiteral("解析信息失败，请稍后再试。"));
        return;
    }
    if (!document.isObject())
        return;
    DiagnosticLog::line("Received JSON:", document.toJson(QJsonDocument::Compact));
    applyAccountInfo(document.object());
}

void AccountCard::applyAccountInfo(const QJsonObject &reply)
{
    m_username = AccountReply::string(reply, "username").value_or(QStringLiteral("未知用户"));
    m_phone = AccountReply::string(reply, "phone").value_or(QStringLiteral("未知号码"));
    m_state = AccountReply::string(reply, "state").value_or(QStringLiteral("未知状态"));
    if (const auto quota = AccountReply::number(reply, "chat_quota")) {
        m_chatQuota = QString::asprintf("%.2f", *quota);
        DiagnosticLog::line("Chat Quota:", m_chatQuota);
    } else {
        m_chatQuota = QStringLiteral("0.00");
        DiagnosticLog::line("Chat Quota: 0.00 (Default Value)");
    }
    const auto days = AccountReply::integer(reply, "translate_quota");
    m_translateQuota = days ? QString::number(*days) : QStringLiteral("0");
    m_expiryDate = AccountReply::string(reply, "expiry_date").value_or(QStringLiteral("未知"));
    m_avatarURL = AccountReply::text(reply, "avatar");
    emit accountChanged();
}

void AccountCard::setErrorMessage(const QString &value)
{
    if (value == m_errorMessage)
        return;
    m_errorMessage = value;
    emit errorMessageChanged();
}

void AccountCard::openMembershipPage()
{
    PricingPageAddress::find(HttpClient::instance(), userid(), this,
                             [](const QUrl &url) { WebPage::open(url); });
}

void AccountCard::openFollowPage()
{
    WebPage::open(ServiceEndpoints::followPage());
}

void AccountCard::openContactPage()
{
    WebPage::open(ServiceEndpoints::contactPage());
}

void AccountCard::signOut()
{
    if (!m_store)
        return;
    // The server revokes the token it is sent; the answer changes nothing here, so no one waits
    // for it. The request carries the token as it is now, before it is forgotten below.
    if (HttpClient *client = HttpClient::instance();
        client && !ServiceEndpoints::logout().isEmpty())
        client->postJson(ServiceEndpoints::logout(), QJsonObject{}, client,
                         [](const HttpResult &) {});
    // The token would still act for the account; the profile keys stay, as they always have.
    m_store->remove(QStringLiteral("sessionToken"));
    m_store->set(SettingKeys::isLoggedIn, false);
}
