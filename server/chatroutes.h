#pragma once

#include "chatquestion.h"
#include "providerconfig.h"
#include "proxyfamily.h"

#include <QObject>

#include <functional>
#include <optional>

class ImageForwarder;
class ImageStore;
class ProviderForwarder;
class QHttpServer;
class QHttpServerRequest;
class QHttpServerResponder;
class ServerClock;
class UsageMeter;

// The model endpoints: the three chat proxies, picture generation and the pictures themselves.
// Answers come from the configured provider, or from the demo responder and the picture
// generator when there is none. Chat answers stream: each piece goes out as it arrives. With a
// meter, each request and each answer is charged to its account here.
class ChatRoutes : public QObject {
    Q_OBJECT
public:
    // The absolute origin ("http://host:port") picture addresses start with, for a request.
    using OriginFor = std::function<QString(const QHttpServerRequest &)>;

    ChatRoutes(const ProviderConfig &config, ProviderForwarder &chat, ImageForwarder &images,
               ImageStore &store, const ServerClock &clock, OriginFor origin, int demoIntervalMs,
               UsageMeter *meter = nullptr, QObject *parent = nullptr);
    void install(QHttpServer &http);

private:
    void answerChat(ProxyFamily family, const ChatQuestion &question,
                    const std::optional<QString> &payer, QHttpServerResponder &&responder);
    // The account a request is charged to, after charging it for the question; nullopt without
    // a meter.
    std::optional<QString> chargeQuestion(const QHttpServerRequest &request,
                                          const ChatQuestion &question);
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
    UsageMeter *m_meter;
};
