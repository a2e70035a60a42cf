#pragma once

#include "chatquestion.h"
#include "providerconfig.h"
#include "proxyfamily.h"

#include <QObject>
#include <QStringList>

#include <functional>

class QNetworkAccessManager;
class QNetworkRequest;

// Sends a chat question to the configured provider of a family (OpenAI-compatible chat
// completions, Anthropic messages, Gemini streamGenerateContent with alt=sse), reads the
// provider's event stream and hands back the text pieces. Every failure ends as readable text
// among the pieces, never as silence.
class ProviderForwarder : public QObject {
    Q_OBJECT
public:
    struct Outcome {
        QStringList pieces;
        int status = 200; // for our own answer: 200, or 502/504 when the provider failed us
    };
    using Done = std::function<void(const Outcome &)>;

    ProviderForwarder(QNetworkAccessManager *nam, const ProviderConfig &config,
                      QObject *parent = nullptr);

    void forward(ProxyFamily family, const ChatQuestion &question, Done done);

    // Text pieces of one upstream event; `error` set when the event reports a failure.
    static QStringList piecesOf(ProxyFamily family, const QByteArray &type, const QByteArray &data,
                                QString *error);

private:
    QNetworkRequest requestFor(ProxyFamily family, const ProviderEndpoint &endpoint,
                               const QString &model) const;
    static QByteArray bodyFor(ProxyFamily family, const QString &model,
                              const ChatQuestion &question);

    QNetworkAccessManager *m_nam;
    ProviderConfig m_config;
};
