#pragma once

#include "httpclient.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class ImageService;
class QuotaService;

// Where the outcome of one send goes. Each send gets its own, bound to its placeholder, so a
// reply can never land on another send's message.
struct ReplyTarget {
    std::function<void()> clearLoadingFlag;
    std::function<void(const QString &text)> appendReplyText;
    std::function<void(const QString &path)> placeImageResult;
    std::function<void()> showQuotaExhausted;
    std::function<void(const QString &notice)> showFailure;
};

// Sends one question to the model's endpoint and hands the finished answer to the send's
// target: charges the question, posts the request, reads the whole reply with the reader of
// the model's family, formats it, and charges the answer.
class ChatClient : public QObject {
    Q_OBJECT

public:
    ChatClient(HttpClient *http, QuotaService *quota, ImageService *images,
               QObject *parent = nullptr);

    static void setInstance(ChatClient *client);
    static ChatClient *instance();

    static QString networkFailureNotice() { return QStringLiteral("网络请求失败，请稍后重试"); }
    static QString invalidModelNotice() { return QStringLiteral("无效的模型，请重新选择"); }

    // `context` owns the request: when it is gone, the reply is dropped.
    void sendRequest(bool hasQuota, const QString &userMessage, const QString &conversation,
                     const QString &model, const QObject *context, ReplyTarget target);
    void handleModelResponse(const HttpResult &result, const QString &model, double outputRate,
                             const QObject *context, const ReplyTarget &target);

private:
    void finishReply(const QString &collected, double outputRate, const ReplyTarget &target);

    QPointer<HttpClient> m_http;
    QPointer<QuotaService> m_quota;
    QPointer<ImageService> m_images;

    static ChatClient *s_instance;
};
