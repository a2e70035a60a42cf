#include "account/accountbalance.h"

#include "account/accountreply.h"
#include "account/webpage.h"
#include "conversation/conversationstore.h"
#include "core/httpclient.h"
#include "core/serviceorigin.h"
#include "core/settingkeys.h"
#include "core/settingsstore.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <numeric>

AccountBalance::AccountBalance(SettingsStore *settings, HttpClient *http,
                               ConversationStore *history, QObject *parent)
    : QObject(parent), m_settings(settings), m_http(http), m_history(history)
{
    m_settledRead.setSingleShot(true);
    connect(&m_settledRead, &QTimer::timeout, this, &AccountBalance::refresh);
    if (m_settings) {
        // Another sign-in may be another account: nothing of the last one is shown, and it is
        // told about a low balance afresh.
        m_settings->observe(SettingKeys::isLoggedIn, this, [this] {
            m_amount.reset();
            m_offline = false;
            m_noticeShown = false;
            emit changed();
            if (m_settings->getBool(SettingKeys::isLoggedIn, false))
                refresh();
        });
    }
}

QString AccountBalance::text() const
{
    return m_amount ? QStringLiteral("积分 ") + QString::asprintf("%.2f", *m_amount) : QString();
}

std::optional<qint64> AccountBalance::estimate() const
{
    if (!m_amount || !m_averageCost || *m_averageCost <= 0)
        return std::nullopt;
    return qint64(std::floor(std::max(0.0, *m_amount) / *m_averageCost));
}

QString AccountBalance::estimateText() const
{
    const auto n = estimate();
    return n ? QStringLiteral("约可再提问 %1 次").arg(*n) : QString();
}

bool AccountBalance::low() const
{
    const auto n = estimate();
    return n && *n < kLowEstimate;
}

QString AccountBalance::membershipButtonText() const
{
    return m_free ? QStringLiteral("开通会员") : QStringLiteral("续费会员");
}

QString AccountBalance::userid() const
{
    return m_settings ? m_settings->getString(SettingKeys::userid).value_or(QString()) : QString();
}

void AccountBalance::refresh()
{
    if (m_inFlight || !m_http || !m_settings ||
        !m_settings->getBool(SettingKeys::isLoggedIn, false))
        return;
    const QUrl url = ServiceEndpoints::accountInfo(userid());
    if (url.isEmpty())
        return;
    m_settledRead.stop();
    m_inFlight = true;
    m_lastRead.start();
    m_http->get(url, this, [this](const HttpResult &result) {
        m_inFlight = false;
        handleReply(result);
    });
}

void AccountBalance::sendSettled()
{
    if (m_settledRead.isActive())
        return;
    const qint64 since = m_lastRead.isValid() ? m_lastRead.elapsed() : kSettledIntervalMs;
    if (since >= kSettledIntervalMs)
        refresh();
    else
        m_settledRead.start(int(kSettledIntervalMs - since));
}

void AccountBalance::openMembershipPage()
{
    WebPage::open(ServiceEndpoints::pricingPage(userid()));
}

void AccountBalance::handleReply(const HttpResult &result)
{
    const QJsonDocument document = result.transferred() && !result.body.isEmpty()
                                       ? QJsonDocument::fromJson(result.body)
                                       : QJsonDocument();
    if (!document.isObject()) {
        if (m_amount && !m_offline) {
            m_offline = true;
            emit changed();
        }
        return;
    }
    // Read as the card reads it: a missing or mistyped member is 0.00.
    const QJsonObject reply = document.object();
    m_amount = AccountReply::number(reply, "chat_quota").value_or(0.0);
    m_free = AccountReply::string(reply, "state") == QStringLiteral("免费");
    m_offline = false;
    update();
}

void AccountBalance::update()
{
    m_averageCost.reset();
    if (m_history) {
        const QList<double> costs = m_history->recentAnswerCosts(kAveragedAnswers);
        if (!costs.isEmpty())
            m_averageCost = std::accumulate(costs.cbegin(), costs.cend(), 0.0) / costs.size();
    }
    emit changed();
    if (low() && !m_noticeShown) {
        m_noticeShown = true;
        emit lowBalanceNoticeRequested(estimateText(), membershipButtonText());
    }
}
