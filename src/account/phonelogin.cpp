#include "account/phonelogin.h"

#include "account/accountreply.h"
#include "account/webpage.h"
#include "core/httpclient.h"
#include "core/serviceorigin.h"
#include "core/settingkeys.h"
#include "core/settingsstore.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

namespace {

const QString kLoginSucceeded = QStringLiteral("登录成功！");

} // namespace

PhoneLogin::PhoneLogin(QObject *parent) : QObject(parent), m_store(SettingsStore::instance())
{
    m_timer.setInterval(kTickInterval);
    connect(&m_timer, &QTimer::timeout, this, &PhoneLogin::tickCountdown);
}

template <typename Change> void PhoneLogin::update(Change change)
{
    const bool couldSend = canSendCode();
    const bool couldLogin = canLogin();
    const QString label = sendCodeLabel();
    change();
    if (couldSend != canSendCode())
        emit canSendCodeChanged();
    if (couldLogin != canLogin())
        emit canLoginChanged();
    if (label != sendCodeLabel())
        emit sendCodeLabelChanged();
}

void PhoneLogin::setPhoneNumber(const QString &value)
{
    if (value == m_phoneNumber)
        return;
    update([&] { m_phoneNumber = value; });
    emit phoneNumberChanged();
}

void PhoneLogin::setVerificationCode(const QString &value)
{
    if (value == m_verificationCode)
        return;
    update([&] { m_verificationCode = value; });
    emit verificationCodeChanged();
}

void PhoneLogin::setIsAgree(bool value)
{
    if (value == m_isAgree)
        return;
    update([&] { m_isAgree = value; });
    emit isAgreeChanged();
}

void PhoneLogin::setSelectedCountryCode(const QString &value)
{
    if (value == m_selectedCountryCode)
        return;
    m_selectedCountryCode = value;
    emit selectedCountryCodeChanged();
}

void PhoneLogin::setIsSendingCode(bool value)
{
    if (value == m_isSendingCode)
        return;
    update([&] { m_isSendingCode = value; });
    emit isSendingCodeChanged();
}

void PhoneLogin::setIsLoggingIn(bool value)
{
    if (value == m_isLoggingIn)
        return;
    update([&] { m_isLoggingIn = value; });
    emit isLoggingInChanged();
}

void PhoneLogin::setCountdown(int value)
{
    if (value == m_countdown)
        return;
    update([&] { m_countdown = value; });
    emit countdownChanged();
}

void PhoneLogin::setErrorMessage(const QString &value)
{
    if (value == m_errorMessage)
        return;
    m_errorMessage = value;
    emit errorMessageChanged();
}

bool PhoneLogin::canSendCode() const
{
    return !m_isSendingCode && !m_phoneNumber.isEmpty();
}

bool PhoneLogin::canLogin() const
{
    return !m_isLoggingIn && !m_phoneNumber.isEmpty() && !m_verificationCode.isEmpty() && m_isAgree;
}

QString PhoneLogin::sendCodeLabel() const
{
    if (m_isSendingCode && m_countdown >= 1)
        return QString::number(m_countdown);
    return QStringLiteral("获取验证码");
}

QString PhoneLogin::fullPhoneNumber() const
{
    return m_selectedCountryCode + m_phoneNumber;
}

void PhoneLogin::setTickInterval(std::chrono::milliseconds interval)
{
    m_timer.setInterval(interval);
}

void PhoneLogin::sendVerificationCode()
{
    if (!canSendCode())
        return;
    const QUrl url = ServiceEndpoints::sendCode();
    HttpClient *client = HttpClient::instance();
    if (url.isEmpty() || !client)
        return;

    setIsSendingCode(true);
    setCountdown(kCountdownStart);
    m_timer.start();

    const quint64 attempt = ++m_sendAttempt;
    client->postJson(url, QJsonObject{{QStringLiteral("phone"), fullPhoneNumber()}}, this,
                     [this, attempt](const HttpResult &result) {
                         if (attempt == m_sendAttempt)
                             handleSendResult(result);
                     });
}

void PhoneLogin::handleSendResult(const HttpResult &result)
{
    if (!result.transferred()) {
        setErrorMessage(QStringLiteral("发送验证码失败: ") + result.errorString);
        stopCountdown();
    } else if (result.status == 200) {
        setErrorMessage(QStringLiteral("验证码已发送到您的手机"));
    } else {
        setErrorMessage(QStringLiteral("发送验证码失败，请稍后再试"));
        stopCountdown();
    }
}

void PhoneLogin::tickCountdown()
{
    if (m_countdown < 1)
        stopCountdown();
    else
        setCountdown(m_countdown - 1);
}

void PhoneLogin::stopCountdown()
{
    m_timer.stop();
    // A code answer still on its way belongs to the countdown that just ended.
    ++m_sendAttempt;
    setIsSendingCode(false);
    setCountdown(kCountdownStart);
}

void PhoneLogin::loginOrRegister()
{
    if (!canLogin())
        return;
    const QUrl url = ServiceEndpoints::loginRegister();
    HttpClient *client = HttpClient::instance();
    if (url.isEmpty() || !client)
        return;

    setIsLoggingIn(true);
    const QJsonObject body{{QStringLiteral("phone"), fullPhoneNumber()},
                           {QStringLiteral("code"), m_verificationCode}};
    const quint64 presentation = m_presentation;
    client->postJson(url, body, this, [this, presentation](const HttpResult &result) {
        if (presentation == m_presentation) {
            handleLoginResponse(result);
            return;
        }
        // The sheet this answer was meant for is gone; the sign-in itself still counts.
        const QJsonObject reply = QJsonDocument::fromJson(result.body).object();
        if (result.transferred() && AccountReply::text(reply, "message") == kLoginSucceeded) {
            storeProfile(reply);
            emit signedIn();
            emit closeRequested();
        }
    });
}

void PhoneLogin::handleLoginResponse(const HttpResult &result)
{
    setIsLoggingIn(false);
    if (!result.transferred()) {
        setErrorMessage(QStringLiteral("登录失败: ") + result.errorString);
        return;
    }
    if (result.body.isEmpty()) {
        setErrorMessage(QStringLiteral("服务器无响应，请稍后再试"));
        return;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(result.body, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        setErrorMessage(QStringLiteral("解析用户信息失败: ") + parseError.errorString());
        if (m_store)
            m_store->set(SettingKeys::isLoggedIn, false);
        return;
    }
    if (!document.isObject())
        return;

    const QJsonObject reply = document.object();
    const QJsonValue message = reply.value(QStringLiteral("message"));
    if (message.isString() && message.toString() == kLoginSucceeded) {
        storeProfile(reply);
        dismiss();
        emit signedIn();
        emit closeRequested();
        return;
    }
    setErrorMessage(message.isString() ? message.toString()
                                       : QStringLiteral("登录失败，请稍后再试"));
    if (m_store)
        m_store->set(SettingKeys::isLoggedIn, false);
}

void PhoneLogin::storeProfile(const QJsonObject &reply)
{
    if (!m_store)
        return;
    // Every key is written, so nothing of an earlier account survives a sign-in; "isLoggedIn"
    // comes last, because writing it is what swaps the login gate for the chat window.
    m_store->set(SettingKeys::username, AccountReply::text(reply, "username"));
    m_store->set(SettingKeys::userid, AccountReply::text(reply, "userid"));
    m_store->set(SettingKeys::avatar, AccountReply::text(reply, "avatar"));
    m_store->set(SettingKeys::phone, AccountReply::text(reply, "phone"));
    m_store->set(SettingKeys::state, AccountReply::text(reply, "state"));
    m_store->set(SettingKeys::chatQuota, AccountReply::integer(reply, "chat_quota").value_or(0));
    m_store->set(SettingKeys::translateQuota,
                 AccountReply::integer(reply, "translate_quota").value_or(0));
    m_store->set(SettingKeys::expiryDate, AccountReply::text(reply, "expiry"));
    m_store->set(QStringLiteral("sessionToken"), AccountReply::text(reply, "token"));
    m_store->set(SettingKeys::isLoggedIn, true);
}

void PhoneLogin::openTermsPage()
{
    WebPage::open(ServiceEndpoints::termsPage());
}

void PhoneLogin::reset()
{
    dismiss();
    ++m_presentation;
    setIsLoggingIn(false);
    setPhoneNumber(QString());
    setVerificationCode(QString());
    setIsAgree(false);
    setSelectedCountryCode(m_countryCodes.value(0));
    setErrorMessage(QString());
}

void PhoneLogin::dismiss()
{
    if (m_timer.isActive() || m_isSendingCode)
        stopCountdown();
}

void PhoneLogin::close()
{
    dismiss();
    emit closeRequested();
}
