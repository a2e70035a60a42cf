#include "chatclient.h"

#include "diagnosticlog.h"
#include "imageservice.h"
#include "modelcatalogue.h"
#include "quotaservice.h"
#include "replyreader.h"

#include <QJsonObject>

ChatClient *ChatClient::s_instance = nullptr;

ChatClient::ChatClient(HttpClient *http, QuotaService *quota, ImageService *images, QObject *parent)
    : QObject(parent), m_http(http), m_quota(quota), m_images(images)
{}

void ChatClient::setInstance(ChatClient *client)
{
    s_instance = client;
}

ChatClient *ChatClient::instance()
{
    return s_instance;
}

void ChatClient::sendRequest(bool hasQuota, const QString &userMessage, const QString &conversation,
                             const QString &model, const QObject *context, ReplyTarget target)
{
    if (!hasQuota) {
        target.showQuotaExhausted();
        return;
    }

    // The question is charged before anything else, also when the model turns out unusable.
    if (m_quota)
        m_quota->deductQuota(QuotaService::inputCharge(model, userMessage, conversation));

    const QString address = ModelCatalogue::modelURLs().value(model);
    const QUrl url(address, QUrl::StrictMode);
    if (address.isEmpty() || !url.isValid() || !m_http) {
        DiagnosticLog::line(QStringLiteral("无效的模型或URL"));
        target.showFailure(invalidModelNotice());
        return;
    }

    const PriceTier tier = ModelCatalogue::priceTier(model);
    const double outputRate = tier.isFlat() ? 0 : tier.outputRate;
    const QJsonObject body{
        {QStringLiteral("model"), model},
        {QStringLiteral("userMessage"), userMessage},
        {QStringLiteral("systemMessage"), QString()},
        {QStringLiteral("context"), conversation},
    };
    const QPointer<const QObject> owner(context);
    m_http->postJson(
        url, body, context,
        [this, model, outputRate, owner, target = std::move(target)](const HttpResult &result) {
            handleModelResponse(result, model, outputRate, owner, target);
        });
}

void ChatClient::handleModelResponse(const HttpResult &result, const QString &model,
                                     double outputRate, const QObject *context,
                                     const ReplyTarget &target)
{
    if (!result.transferred()) {
        target.showFailure(networkFailureNotice());
        return;
    }
    target.clearLoadingFlag();

    const auto family = ModelCatalogue::replyFamily(model);
    if (!family) {
        DiagnosticLog::line(QStringLiteral("未知的模型: ") + model);
        return;
    }
    switch (*family) {
    case ReplyFamily::OpenAIStream:
        finishReply(ReplyReader::readOpenAIStream(result.body), outputRate, target);
        return;
    case ReplyFamily::ClaudeStream:
        finishReply(ReplyReader::readClaudeStream(result.body), outputRate, target);
        return;
    case ReplyFamily::PlainDataStream:
        finishReply(ReplyReader::readPlainDataStream(result.body), outputRate, target);
        return;
    case ReplyFamily::ImageResult:
        if (!m_images) {
            target.showFailure(ImageService::failureNotice());
            return;
        }
        m_images->handleImageResponse(result.body, context, target.placeImageResult,
                                      target.showFailure);
        return;
    }
}

void ChatClient::finishReply(const QString &collected, double outputRate, const ReplyTarget &target)
{
    const QString text = ReplyReader::formatReplyText(collected);
    target.appendReplyText(text);
    // Charged after the text is in place, also when it comes to nothing.
    if (m_quota)
        m_quota->deductQuota(double(QuotaService::countBillableCharacters(text)) * outputRate);
}
