#pragma once

#include "chatquestion.h"
#include "providerconfig.h"
#include "proxyfamily.h"

#include <QObject>

class ProviderAnswer;
class QNetworkAccessManager;
class QNetworkRequest;

// Prepares the answers of the configured providers: a chat question goes to a family's
// provider (OpenAI-compatible chat completions, Anthropic messages, Gemini
// streamGenerateContent with alt=sse) with its address, key and model.
class ProviderForwarder : public QObject {
    Q_OBJECT
public:
    ProviderForwarder(QNetworkAccessManager *nam, const ProviderConfig &config,
                      QObject *parent = nullptr);

    // The answer to `question`, not yet asked: it posts when started. The caller owns it.
    ProviderAnswer *forward(ProxyFamily family, const ChatQuestion &question);

private:
    QNetworkRequest requestFor(ProxyFamily family, const ProviderEndpoint &endpoint,
                               const QString &model) const;
    static QByteArray bodyFor(ProxyFamily family, const QString &model,
                              const ChatQuestion &question);

    QNetworkAccessManager *m_nam;
    ProviderConfig m_config;
};
