#pragma once

#include "core/registeredinstance.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringView>
#include <QUrl>

#include <functional>

class HttpClient;
class SettingsStore;

// What the quota check came back with. An HTTP answer that is not a clear yes is a no; no HTTP
// answer at all (transport failure, time-out) is told apart so the user is not sent to the
// pricing page for a network fault.
enum class QuotaVerdict { Granted, Refused, Unanswered };

// The account's balance lives on the server: this asks whether the account may spend, charges
// it, and opens the pricing page. The phone number and user id are read from the settings at
// the moment of each call.
class QuotaService : public QObject, public RegisteredInstance<QuotaService> {
    Q_OBJECT

public:
    QuotaService(SettingsStore *settings, HttpClient *http, QObject *parent = nullptr);

    using Verdict = std::function<void(QuotaVerdict)>;
    // `completion` runs once on the main thread, unless `context` is gone by then.
    void checkQuota(const QObject *context, Verdict completion);
    // Fire and forget; the outcome is only logged.
    void deductQuota(double amount);

    // A JSON object all of whose members are booleans, with "hasQuota": its value; anything
    // else is false.
    static bool readQuotaAnswer(const QByteArray &body);

    static QString upgradeAlertText() { return QStringLiteral("请升级获取更多积分"); }
    static QString upgradeButtonText() { return QStringLiteral("升级会员"); }
    static QString cancelButtonText() { return QStringLiteral("取消"); }

    // The user's answer to the upgrade alert.
    void answerUpgradeAlert(bool upgrade);
    // Opens `url` in the default browser, after the current event has been handled so the
    // caller never waits on the desktop. An empty or invalid URL does nothing.
    void openPricingPage(const QUrl &url);

    // Tests replace the browser.
    using PageOpener = std::function<void(const QUrl &)>;
    void setPageOpener(PageOpener opener) { m_opener = std::move(opener); }

private:
    QPointer<SettingsStore> m_settings;
    QPointer<HttpClient> m_http;
    PageOpener m_opener;
};
