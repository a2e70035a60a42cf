#include "service/quotaservice.h"

#include "core/diagnosticlog.h"
#include "core/httpclient.h"
#include "core/serviceorigin.h"
#include "core/settingkeys.h"
#include "core/settingsstore.h"
#include "service/pricingpageaddress.h"

#include <QDesktopServices>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString phoneOf(const SettingsStore *settings)
{
    return settings ? settings->getString(SettingKeys::phone).value_or(QString()) : QString();
}

} // namespace

QuotaService::QuotaService(SettingsStore *settings, HttpClient *http, QObject *parent)
    : QObject(parent), m_settings(settings), m_http(http),
      m_opener([](const QUrl &url) { QDesktopServices::openUrl(url); })
{}

void QuotaService::checkQuota(const QObject *context, Verdict completion)
{
    const QString phone = phoneOf(m_settings);
    DiagnosticLog::line(QStringLiteral("userPhone"), phone);

    const QUrl url = ServiceEndpoints::checkQuota(phone);
    if (!url.isValid() || !m_http) {
        completion(QuotaVerdict::Refused);
        return;
    }
    m_http->get(url, context, [completion = std::move(completion)](const HttpResult &result) {
        if (!result.transferred()) {
            completion(QuotaVerdict::Unanswered);
            return;
        }
        completion(readQuotaAnswer(result.body) ? QuotaVerdict::Granted : QuotaVerdict::Refused);
    });
}

bool QuotaService::readQuotaAnswer(const QByteArray &body)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    const QJsonObject object = doc.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!it->isBool())
            return false;
    }
    return object.value(QLatin1String("hasQuota")).toBool(false);
}

void QuotaService::deductQuota(double amount)
{
    const QUrl url = ServiceEndpoints::deductQuota();
    if (!url.isValid() || !m_http)
        return;
    const QJsonObject body{
        {QStringLiteral("phone"), phoneOf(m_settings)},
        {QStringLiteral("amount"), amount},
    };
    m_http->postJson(url, body, this, [](const HttpResult &result) {
        if (result.transferred())
            DiagnosticLog::line(QStringLiteral("扣减配额成功"));
        else
            DiagnosticLog::line(QStringLiteral("扣减配额失败: ") + result.errorString);
    });
}

void QuotaService::answerUpgradeAlert(bool upgrade)
{
    if (!upgrade) {
        DiagnosticLog::line(QStringLiteral("用户选择取消"));
        return;
    }
    const QString userid =
        m_settings ? m_settings->getString(SettingKeys::userid).value_or(QString()) : QString();
    PricingPageAddress::find(m_http, userid, this,
                             [this](const QUrl &url) { openPricingPage(url); });
}

void QuotaService::openPricingPage(const QUrl &url)
{
    if (!url.isValid())
        return;
    // Handed on, not opened here: starting the browser may take a while and the caller is
    // answering a click.
    QMetaObject::invokeMethod(
        this, [this, url] { m_opener(url); }, Qt::QueuedConnection);
}
