#include "providerforwarder.h"

#include "serverlog.h"
#include "ssereader.h"
#include "upstreamcall.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QUrl>

#include <memory>

namespace {

const char *familyName(ProxyFamily family)
{
    switch (family) {
    case ProxyFamily::Anthropic:
        return "anthropic";
    case ProxyFamily::Gemini:
        return "gemini";
    case ProxyFamily::OpenAI:
        break;
    }
    return "openai";
}

QString errorText(const QJsonValue &error)
{
    if (error.isObject())
        return error.toObject().value(QStringLiteral("message")).toString();
    return error.toString();
}

} // namespace

ProviderForwarder::ProviderForwarder(QNetworkAccessManager *nam, const ProviderConfig &config,
                                     QObject *parent)
    : QObject(parent), m_nam(nam), m_config(config)
{}

QNetworkRequest ProviderForwarder::requestFor(ProxyFamily family, const ProviderEndpoint &endpoint,
                                              const QString &model) const
{
    QString address;
    switch (family) {
    case ProxyFamily::OpenAI:
        address = endpoint.baseUrl + QStringLiteral("/chat/completions");
        break;
    case ProxyFamily::Anthropic:
        address = endpoint.baseUrl + QStringLiteral("/messages");
        break;
    case ProxyFamily::Gemini:
        address = endpoint.baseUrl + QStringLiteral("/models/") +
                  QString::fromLatin1(QUrl::toPercentEncoding(model)) +
                  QStringLiteral(":streamGenerateContent?alt=sse");
        break;
    }
    QNetworkRequest request{QUrl(address)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setRawHeader("Accept", "text/event-stream");
    const QByteArray key = endpoint.apiKey.toUtf8();
    if (!key.isEmpty()) {
        switch (family) {
        case ProxyFamily::OpenAI:
            request.setRawHeader("Authorization", "Bearer " + key);
            break;
        case ProxyFamily::Anthropic:
            request.setRawHeader("x-api-key", key);
            break;
        case ProxyFamily::Gemini:
            request.setRawHeader("x-goog-api-key", key);
            break;
        }
    }
    if (family == ProxyFamily::Anthropic)
        request.setRawHeader("anthropic-version", "2023-06-01");
    return request;
}

QByteArray ProviderForwarder::bodyFor(ProxyFamily family, const QString &model,
                                      const ChatQuestion &question)
{
    const QString system = question.systemMessage;
    const QString prompt = question.prompt();
    QJsonObject body;
    switch (family) {
    case ProxyFamily::OpenAI: {
        QJsonArray messages;
        if (!system.isEmpty())
            messages.append(QJsonObject{{QStringLiteral("role"), "system"},
                                        {QStringLiteral("content"), system}});
        messages.append(
            QJsonObject{{QStringLiteral("role"), "user"}, {QStringLiteral("content"), prompt}});
        body = {{QStringLiteral("model"), model},
                {QStringLiteral("stream"), true},
                {QStringLiteral("messages"), messages}};
        break;
    }
    case ProxyFamily::Anthropic:
        body = {{QStringLiteral("model"), model},
                {QStringLiteral("stream"), true},
                {QStringLiteral("max_tokens"), 4096},
                {QStringLiteral("messages"),
                 QJsonArray{QJsonObject{{QStringLiteral("role"), "user"},
                                        {QStringLiteral("content"), prompt}}}}};
        if (!system.isEmpty())
            body.insert(QStringLiteral("system"), system);
        break;
    case ProxyFamily::Gemini: {
        const auto parts = [](const QString &text) {
            return QJsonArray{QJsonObject{{QStringLiteral("text"), text}}};
        };
        body = {{QStringLiteral("contents"),
                 QJsonArray{QJsonObject{{QStringLiteral("role"), "user"},
                                        {QStringLiteral("parts"), parts(prompt)}}}}};
        if (!system.isEmpty())
            body.insert(QStringLiteral("systemInstruction"),
                        QJsonObject{{QStringLiteral("parts"), parts(system)}});
        break;
    }
    }
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

QStringList ProviderForwarder::piecesOf(ProxyFamily family, const QByteArray &type,
                                        const QByteArray &data, QString *error)
{
    if (data == "[DONE]")
        return {};
    const QJsonDocument doc = QJsonDocument::fromJson(data);
    const QJsonObject event = doc.isArray() ? doc.array().at(0).toObject() : doc.object();
    if (event.contains(QStringLiteral("error")) || type == "error") {
        *error = errorText(event.value(QStringLiteral("error")));
        if (error->isEmpty())
            *error = QString::fromUtf8(data.left(300));
        return {};
    }
    switch (family) {
    case ProxyFamily::OpenAI: {
        const QJsonArray choices = event.value(QStringLiteral("choices")).toArray();
        const QJsonValue content = choices.at(0)
                                       .toObject()
                                       .value(QStringLiteral("delta"))
                                       .toObject()
                                       .value(QStringLiteral("content"));
        if (content.isString() && !content.toString().isEmpty())
            return {content.toString()};
        return {};
    }
    case ProxyFamily::Anthropic: {
        if (event.value(QStringLiteral("type")).toString() != u"content_block_delta")
            return {};
        const QJsonValue text =
            event.value(QStringLiteral("delta")).toObject().value(QStringLiteral("text"));
        if (text.isString() && !text.toString().isEmpty())
            return {text.toString()};
        return {};
    }
    case ProxyFamily::Gemini: {
        QStringList pieces;
        const QJsonArray candidates = event.value(QStringLiteral("candidates")).toArray();
        const QJsonArray parts = candidates.at(0)
                                     .toObject()
                                     .value(QStringLiteral("content"))
                                     .toObject()
                                     .value(QStringLiteral("parts"))
                                     .toArray();
        for (const QJsonValue &part : parts) {
            const QString text = part.toObject().value(QStringLiteral("text")).toString();
            if (!text.isEmpty())
                pieces.append(text);
        }
        return pieces;
    }
    }
    return {};
}

void ProviderForwarder::forward(ProxyFamily family, const ChatQuestion &question, Done done)
{
    const ProviderEndpoint &endpoint = m_config.forFamily(family);
    const QString model = endpoint.model.isEmpty() ? question.model : endpoint.model;
    auto *call = new UpstreamCall(m_nam, requestFor(family, endpoint, model),
                                  bodyFor(family, model, question), m_config.idleTimeoutMs,
                                  m_config.totalTimeoutMs, this);

    struct State {
        SseReader reader;
        QStringList pieces;
        QString streamError;
    };
    auto state = std::make_shared<State>();
    const auto take = [family, state](const QList<SseReader::Event> &events) {
        for (const SseReader::Event &e : events) {
            QString error;
            state->pieces += piecesOf(family, e.type, e.data, &error);
            if (!error.isEmpty() && state->streamError.isEmpty())
                state->streamError = error;
        }
    };
    connect(call, &UpstreamCall::received, this,
            [state, take](const QByteArray &bytes) { take(state->reader.feed(bytes)); });
    connect(call, &UpstreamCall::finished, this,
            [call, family, state, take, done](const UpstreamCall::Result &result) {
                take(state->reader.finish());
                Outcome outcome;
                outcome.pieces = state->pieces;
                QString notice;
                switch (result.ending) {
                case UpstreamCall::Ending::Complete:
                    if (!state->streamError.isEmpty()) {
                        notice = QStringLiteral("模型服务出错：") + state->streamError;
                        outcome.status = state->pieces.isEmpty() ? 502 : 200;
                    } else if (state->pieces.isEmpty()) {
                        notice = QStringLiteral("（模型没有返回内容）");
                    }
                    break;
                case UpstreamCall::Ending::TotalTimeout:
                    notice = QStringLiteral("（回答时间过长，已截断）");
                    outcome.status = state->pieces.isEmpty() ? 504 : 200;
                    break;
                case UpstreamCall::Ending::IdleTimeout:
                    notice = QStringLiteral("模型服务响应超时，请稍后重试");
                    outcome.status = state->pieces.isEmpty() ? 504 : 200;
                    break;
                case UpstreamCall::Ending::HttpError:
                    notice =
                        QStringLiteral("模型服务返回错误（") + result.detail + QStringLiteral("）");
                    outcome.status = 502;
                    break;
                case UpstreamCall::Ending::NetworkError:
                    notice = QStringLiteral("无法连接模型服务：") + result.detail;
                    outcome.status = 502;
                    break;
                }
                if (!notice.isEmpty()) {
                    ServerLog::warning({QStringLiteral("upstream"),
                                        QString::fromLatin1(familyName(family)), notice});
                    outcome.pieces.append(
                        outcome.pieces.isEmpty() ? notice : QStringLiteral("\n\n") + notice);
                }
                call->deleteLater();
                done(outcome);
            });
}
