#include "imageforwarder.h"

#include "serverlog.h"
#include "upstreamcall.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QUrl>

#include <memory>

ImageForwarder::ImageForwarder(QNetworkAccessManager *nam, const ProviderConfig &config,
                               QObject *parent)
    : QObject(parent), m_nam(nam), m_config(config)
{}

ImageForwarder::Outcome ImageForwarder::read(const QByteArray &body)
{
    Outcome outcome;
    const QJsonObject first = QJsonDocument::fromJson(body)
                                  .object()
                                  .value(QStringLiteral("data"))
                                  .toArray()
                                  .at(0)
                                  .toObject();
    const QString b64 = first.value(QStringLiteral("b64_json")).toString();
    const QString url = first.value(QStringLiteral("url")).toString();
    if (!b64.isEmpty()) {
        const auto decoded =
            QByteArray::fromBase64Encoding(b64.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (decoded && !decoded.decoded.isEmpty()) {
            outcome.bytes = decoded.decoded;
            return outcome;
        }
    } else if (QUrl address(url, QUrl::StrictMode);
               address.isValid() && (address.scheme() == u"https" || address.scheme() == u"http")) {
        outcome.remoteUrl = url;
        return outcome;
    }
    outcome.error = QStringLiteral("图片服务的回答里没有图片");
    outcome.status = 502;
    return outcome;
}

void ImageForwarder::generate(const ChatQuestion &question, Done done)
{
    const ProviderEndpoint &endpoint = m_config.image;
    QNetworkRequest request{QUrl(endpoint.baseUrl + QStringLiteral("/images/generations"))};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (!endpoint.apiKey.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + endpoint.apiKey.toUtf8());
    const QJsonObject body{
        {QStringLiteral("model"), endpoint.model.isEmpty() ? question.model : endpoint.model},
        {QStringLiteral("prompt"), question.userMessage},
        {QStringLiteral("n"), 1},
        {QStringLiteral("size"), QStringLiteral("1024x1024")},
        {QStringLiteral("response_format"), QStringLiteral("b64_json")}};

    auto *call =
        new UpstreamCall(m_nam, request, QJsonDocument(body).toJson(QJsonDocument::Compact),
                         m_config.idleTimeoutMs, m_config.totalTimeoutMs, this);
    auto collected = std::make_shared<QByteArray>();
    connect(call, &UpstreamCall::received, this,
            [collected](const QByteArray &bytes) { *collected += bytes; });
    connect(call, &UpstreamCall::finished, this,
            [call, collected, done](const UpstreamCall::Result &result) {
                Outcome outcome;
                if (result.ending == UpstreamCall::Ending::Complete) {
                    outcome = read(*collected);
                } else {
                    outcome.error = QStringLiteral("图片服务出错：") + result.detail;
                    outcome.status = (result.ending == UpstreamCall::Ending::IdleTimeout ||
                                      result.ending == UpstreamCall::Ending::TotalTimeout)
                                         ? 504
                                         : 502;
                }
                outcome.error = call->scrubbed(outcome.error);
                if (!outcome.error.isEmpty())
                    ServerLog::warning({QStringLiteral("upstream image"), outcome.error});
                call->deleteLater();
                done(outcome);
            });
}
