#pragma once

#include "chatquestion.h"
#include "providerconfig.h"
#include "proxyfamily.h"

#include <QObject>

#include <functional>

class ImageForwarder;
class ImageStore;
class ProviderForwarder;
class QHttpServer;
class QHttpServerRequest;
class QHttpServerResponder;
class ServerClock;

// The model endpoints: the three chat proxies, picture generation and the pictures themselves.
// Answers come from the configured provider, or from the demo responder and the picture
// generator when there is none. Chat answers stream: each piece goes out as it arrives.
class ChatRoutes : public QObject {
    Q_OBJECT
public:
    // The absolute origin ("http://host:port") picture addresses start with, for a request.
    using OriginFor = std::function<QString(const QHttpServerRequest &)>;

    ChatRoutes(const ProviderConfig &config, ProviderForwarder &chat, ImageForwarder &images,
               ImageStore &store, const ServerClock &clock, OriginFor origin, int demoIntervalMs,
               QObject *parent = nullptr);
    void install(QHttpServer &http);

private:
    void answerChat(ProxyFamily family, const ChatQuestion &question,
                    QHttpServerResponder &&responder);
    void answerImage(const ChatQuestion &question, const QString &origin,
                     QHttpServerResponder &&responder);
    void generateLocally(const ChatQuestion &question, const QString &origin,
                         QHttpServerResponder &&responder);

    ProviderConfig m_config;
    ProviderForwarder &m_chat;
    ImageForwarder &m_images;
    ImageStore &m_store;
    const ServerClock &m_clock;
    OriginFor m_origin;
    int m_demoIntervalMs;
};
