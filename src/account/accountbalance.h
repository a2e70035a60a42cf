#pragma once

#include "core/registeredinstance.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QtQml/qqmlregistration.h>

class ConversationStore;
class HttpClient;
class SettingsStore;
struct HttpResult;

// The account's remaining credits, always in view: read from the account information the card
// reads, when a window opens, after a send settles and when the card closes. A failed read
// keeps the last value, marked as not current. How many more questions it pays for is
// estimated from what the newest answers cost; when that runs low the user is told once per
// sign-in.
class AccountBalance : public QObject, public RegisteredInstance<AccountBalance> {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

    // "积分 123.45"; empty until the first answer.
    Q_PROPERTY(QString text READ text NOTIFY changed)
    // The last read failed: the value shown is the last one known.
    Q_PROPERTY(bool offline READ offline NOTIFY changed)
    // "约可再提问 N 次", empty while nothing has been charged to estimate from.
    Q_PROPERTY(QString estimateText READ estimateText NOTIFY changed)
    Q_PROPERTY(bool low READ low NOTIFY changed)
    // The card's membership button text for this account.
    Q_PROPERTY(QString membershipButtonText READ membershipButtonText NOTIFY changed)

public:
    AccountBalance(SettingsStore *settings, HttpClient *http, ConversationStore *history,
                   QObject *parent = nullptr);

    // Sends settle in bursts (two windows, regenerations): one read covers them.
    static constexpr int kSettledIntervalMs = 5000;
    // Fewer questions left than this is low.
    static constexpr int kLowEstimate = 10;
    static constexpr int kAveragedAnswers = 10;

    QString text() const;
    bool offline() const { return m_offline; }
    // Questions the balance pays for at the newest answers' average cost; nullopt when unknown.
    std::optional<qint64> estimate() const;
    QString estimateText() const;
    bool low() const;
    QString membershipButtonText() const;
    std::optional<double> amount() const { return m_amount; }

    // A window opened or the card closed.
    Q_INVOKABLE void refresh();
    // A send settled: read again, at most once per kSettledIntervalMs.
    Q_INVOKABLE void sendSettled();
    Q_INVOKABLE void openMembershipPage();

signals:
    void changed();
    // The balance ran low for the first time since sign-in: the view offers the membership page.
    void lowBalanceNoticeRequested(const QString &text, const QString &buttonText);

private:
    void handleReply(const HttpResult &result);
    void update();
    QString userid() const;

    QPointer<SettingsStore> m_settings;
    QPointer<HttpClient> m_http;
    QPointer<ConversationStore> m_history;
    std::optional<double> m_amount;
    bool m_free = true;
    bool m_offline = false;
    std::optional<double> m_averageCost;
    bool m_inFlight = false;
    bool m_noticeShown = false;
    QElapsedTimer m_lastRead;
    QTimer m_settledRead;
};
