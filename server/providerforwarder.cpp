#include "providerforwarder.h"

#include "provideranswer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QUrl>

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

ProviderAnswer *ProviderForwarder::forward(ProxyFamily family, const ChatQuestion &question)
{
    const ProviderEndpoint &endpoint = m_config.forFamily(family);
    const QString model = endpoint.model.isEmpty() ? question.model : endpoint.model;
    return new ProviderAnswer(family, m_nam, requestFor(family, endpoint, model),
                              bodyFor(family, model, question),
                              {m_config.idleTimeoutMs, m_config.totalTimeoutMs});
}
