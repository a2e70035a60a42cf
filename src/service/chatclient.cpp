#include "service/chatclient.h"

#include "service/answerstream.h"

#include "core/diagnosticlog.h"
#include "service/chargerules.h"
#include "service/imageservice.h"
#include "service/modelcatalogue.h"
#include "service/quotaservice.h"
#include "service/replyreader.h"

#include <QJsonObject>

ChatClient::ChatClient(HttpClient *http, QuotaService *quota, ImageService *images, QObject *parent)
    : QObject(parent), m_http(http), m_quota(quota), m_images(images)
{}

AnswerStream *ChatClient::sendRequest(bool hasQuota, const QString &userMessage,
                                      const QString &contextText, const QString &model,
                                      const QObject *owner, ReplyTarget target)
{
    if (!hasQuota) {
        target.showQuotaExhausted();
        return nullptr;
    }

    // The question is charged before anything else, also when the model turns out unusable.
    const double charge = ChargeRules::inputCharge(model, userMessage, contextText);
    if (target.charged) {
        const bool flat = ModelCatalogue::priceTier(model).isFlat();
        target.charged(
            Charge{Charge::Part::Question,
                   flat ? std::nullopt
                        : std::optional<qint64>(ChargeRules::countBillableCharacters(userMessage) +
                                                ChargeRules::countBillableCharacters(contextText)),
                   charge});
    }
    if (m_quota)
        m_quota->deductQuota(charge);

    const QUrl url = ModelCatalogue::modelURL(model);
    if (url.isEmpty() || !m_http) {
        DiagnosticLog::line(QStringLiteral("无效的模型或URL"));
        target.showFailure(invalidModelNotice());
        return nullptr;
    }

    const QJsonObject body{
        {QStringLiteral("model"), model},
        {QStringLiteral("userMessage"), userMessage},
        {QStringLiteral("systemMessage"), QString()},
        {QStringLiteral("context"), contextText},
    };
    const auto family = ModelCatalogue::replyFamily(model);
    if (family == ReplyFamily::ImageResult) {
        requestImage(url, body, owner, std::move(target));
        return nullptr;
    }
    if (!family) {
        // Asked anyway, as for any model with an address; nothing can read the answer.
        m_http->postJson(url, body, owner, [model, target](const HttpResult &result) {
            if (!result.transferred()) {
                target.showFailure(networkFailureNotice());
                return;
            }
            target.clearLoadingFlag();
            DiagnosticLog::line(QStringLiteral("未知的模型: ") + model);
        });
        return nullptr;
    }

    const PriceTier tier = ModelCatalogue::priceTier(model);
    const double outputRate = tier.isFlat() ? 0 : tier.outputRate;
    const auto layout = *family == ReplyFamily::OpenAIStream ? ReplyStreamReader::Layout::OpenAI
                        : *family == ReplyFamily::ClaudeStream
                            ? ReplyStreamReader::Layout::Claude
                            : ReplyStreamReader::Layout::PlainData;
    auto *stream = new AnswerStream(ReplyStreamReader::create(layout), outputRate, m_quota,
                                    std::move(target), this);
    // Gone with its sender: the request is aborted then and nothing is settled.
    if (owner)
        connect(owner, &QObject::destroyed, stream, &QObject::deleteLater);
    const QPointer<AnswerStream> guard(stream);
    QNetworkReply *reply = m_http->postJsonStreaming(
        url, body, owner,
        [guard](const QByteArray &bytes) {
            if (guard)
                guard->receive(bytes);
        },
        [guard](const HttpResult &result) {
            if (guard)
                guard->complete(result);
        });
    stream->attach(reply);
    return stream;
}

void ChatClient::requestImage(const QUrl &url, const QJsonObject &body, const QObject *owner,
                              ReplyTarget target)
{
    const QPointer<const QObject> stillThere(owner);
    m_http->postJson(url, body, owner,
                     [this, stillThere, target = std::move(target)](const HttpResult &result) {
                         if (!result.transferred()) {
                             target.showFailure(networkFailureNotice());
                             return;
                         }
                         target.clearLoadingFlag();
                         if (!m_images) {
                             target.showFailure(ImageService::failureNotice());
                             return;
                         }
                         m_images->handleImageResponse(result.body, stillThere,
                                                       target.placeImageResult, target.showFailure);
                     });
}
