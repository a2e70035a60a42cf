#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QtQml/qqmlregistration.h>

#include <chrono>

struct HttpResult;
class SettingsStore;

// The state and operations behind the phone sign-in sheet: asks the service for an SMS code,
// counts down before another may be requested, signs the user in and stores the profile.
//
// One countdown timer exists per sheet. A send that fails, and the sheet going away, stop it and
// set the countdown back to its start, so the send-code button never waits on a code that was
// never sent and two timers can never count the same number down.
class PhoneLogin : public QObject {
    Q_OBJECT
    QML_ELEMENT

    Q_PROPERTY(QString phoneNumber READ phoneNumber WRITE setPhoneNumber NOTIFY phoneNumberChanged)
    Q_PROPERTY(QString verificationCode READ verificationCode WRITE setVerificationCode NOTIFY
                   verificationCodeChanged)
    Q_PROPERTY(bool isAgree READ isAgree WRITE setIsAgree NOTIFY isAgreeChanged)
    Q_PROPERTY(QString selectedCountryCode READ selectedCountryCode WRITE setSelectedCountryCode
                   NOTIFY selectedCountryCodeChanged)
    Q_PROPERTY(QStringList countryCodes READ countryCodes CONSTANT)
    Q_PROPERTY(bool isSendingCode READ isSendingCode NOTIFY isSendingCodeChanged)
    Q_PROPERTY(bool isLoggingIn READ isLoggingIn NOTIFY isLoggingInChanged)
    Q_PROPERTY(int countdown READ countdown NOTIFY countdownChanged)
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY errorMessageChanged)
    Q_PROPERTY(bool canSendCode READ canSendCode NOTIFY canSendCodeChanged)
    Q_PROPERTY(bool canLogin READ canLogin NOTIFY canLoginChanged)
    Q_PROPERTY(QString sendCodeLabel READ sendCodeLabel NOTIFY sendCodeLabelChanged)

public:
    static constexpr int kCountdownStart = 60;
    static constexpr std::chrono::milliseconds kTickInterval{1000};

    explicit PhoneLogin(QObject *parent = nullptr);

    QString phoneNumber() const { return m_phoneNumber; }
    void setPhoneNumber(const QString &value);
    QString verificationCode() const { return m_verificationCode; }
    void setVerificationCode(const QString &value);
    bool isAgree() const { return m_isAgree; }
    void setIsAgree(bool value);
    QString selectedCountryCode() const { return m_selectedCountryCode; }
    void setSelectedCountryCode(const QString &value);
    QStringList countryCodes() const { return m_countryCodes; }

    bool isSendingCode() const { return m_isSendingCode; }
    bool isLoggingIn() const { return m_isLoggingIn; }
    int countdown() const { return m_countdown; }
    // Empty while there is nothing to show.
    QString errorMessage() const { return m_errorMessage; }

    bool canSendCode() const;
    bool canLogin() const;
    // The countdown number while a code request is counting, otherwise "获取验证码".
    QString sendCodeLabel() const;

    // The number the service receives: the country code followed directly by what was typed.
    QString fullPhoneNumber() const;

    // Tests run the countdown faster; the sheet uses one second.
    void setTickInterval(std::chrono::milliseconds interval);
    bool isCountdownRunning() const { return m_timer.isActive(); }

    // Tests (and a second store) can write elsewhere than the process-wide store.
    void setStore(SettingsStore *store) { m_store = store; }

    Q_INVOKABLE void sendVerificationCode();
    Q_INVOKABLE void tickCountdown();
    Q_INVOKABLE void loginOrRegister();
    Q_INVOKABLE void openTermsPage();
    // The sheet is being presented again: everything typed and shown starts afresh.
    Q_INVOKABLE void reset();
    // The sheet has gone away (closed, dismissed or hidden): the countdown ends with it.
    Q_INVOKABLE void dismiss();
    // The close button: ends the countdown and asks the host to close the sheet.
    Q_INVOKABLE void close();

    void handleLoginResponse(const HttpResult &result);

signals:
    void phoneNumberChanged();
    void verificationCodeChanged();
    void isAgreeChanged();
    void selectedCountryCodeChanged();
    void isSendingCodeChanged();
    void isLoggingInChanged();
    void countdownChanged();
    void errorMessageChanged();
    void canSendCodeChanged();
    void canLoginChanged();
    void sendCodeLabelChanged();
    // The profile and "isLoggedIn" have been written.
    void signedIn();
    // The host should close the sheet (close button, or a successful sign-in).
    void closeRequested();

private:
    void handleSendResult(const HttpResult &result);
    void storeProfile(const class QJsonObject &reply);
    void stopCountdown();

    // Each setter of state that the derived properties read goes through here, so that
    // `canSendCode`, `canLogin` and `sendCodeLabel` notify exactly when they change.
    template <typename Change> void update(Change change);

    void setIsSendingCode(bool value);
    void setIsLoggingIn(bool value);
    void setCountdown(int value);
    void setErrorMessage(const QString &value);

    QString m_phoneNumber;
    QString m_verificationCode;
    bool m_isAgree = false;
    QString m_selectedCountryCode = QStringLiteral("+86");
    const QStringList m_countryCodes{QStringLiteral("+86")};
    bool m_isSendingCode = false;
    bool m_isLoggingIn = false;
    int m_countdown = kCountdownStart;
    QString m_errorMessage;

    QTimer m_timer;
    // Identifies the current code request: an answer to an earlier one, whose countdown was
    // already ended, must not end or extend the current countdown.
    quint64 m_sendAttempt = 0;
    // Identifies the current presentation of the sheet: a sign-in answer that arrives after the
    // sheet was reset still signs the user in, but does not touch the new sheet's view state.
    quint64 m_presentation = 0;
    QPointer<SettingsStore> m_store;
};
