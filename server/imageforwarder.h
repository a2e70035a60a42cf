#pragma once

#include "chatquestion.h"
#include "providerconfig.h"

#include <QObject>

#include <functional>

class QNetworkAccessManager;

// Asks an OpenAI-compatible images API for one picture. The answer is either the picture's
// bytes (a base64 answer) or an address of the provider's own that the client can fetch.
class ImageForwarder : public QObject {
    Q_OBJECT
public:
    struct Outcome {
        QByteArray bytes;
        QString remoteUrl;
        QString error; // set when neither of the above came back
        int status = 200;
    };
    using Done = std::function<void(const Outcome &)>;

    ImageForwarder(QNetworkAccessManager *nam, const ProviderConfig &config,
                   QObject *parent = nullptr);

    void generate(const ChatQuestion &question, Done done);

    // Reads an images API answer ({"data":[{"b64_json"|"url": …}]}).
    static Outcome read(const QByteArray &body);

private:
    QNetworkAccessManager *m_nam;
    ProviderConfig m_config;
};
