#pragma once

#include "core/httpclient.h"
#include "core/registeredinstance.h"
#include "service/replytarget.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class AnswerStream;
class ImageService;
class QuotaService;

// Sends one question to the model's endpoint and hands the answer to the send's target as it
// arrives: charges the question, posts the request, reads the reply with the reader of the
// model's family while it streams in, formats what arrived with the target's formatter, and
// charges the answer.
class ChatClient : public QObject, public RegisteredInstance<ChatClient> {
    Q_OBJECT

public:
    ChatClient(HttpClient *http, QuotaService *quota, ImageService *images,
               QObject *parent = nullptr);

    static QString networkFailureNotice() { return QStringLiteral("网络请求失败，请稍后重试"); }
    static QString invalidModelNotice() { return QStringLiteral("无效的模型，请重新选择"); }
    // Stored as the answer when a complete answer has no text.
    static QString emptyAnswerNotice() { return QStringLiteral("（模型没有返回内容）"); }

    // `contextText` is the conversation text sent along as the request's context. `owner`
    // owns the request: when it is gone, the request is aborted and the reply
    // dropped. Returns the answer's stream for a chat model (the sender may stop it), null
    // when nothing streams (no quota, an unusable model, the picture model).
    AnswerStream *sendRequest(bool hasQuota, const QString &userMessage, const QString &contextText,
                              const QString &model, const QObject *owner, ReplyTarget target);

private:
    void requestImage(const QUrl &url, const QJsonObject &body, const QObject *owner,
                      ReplyTarget target);

    QPointer<HttpClient> m_http;
    QPointer<QuotaService> m_quota;
    QPointer<ImageService> m_images;
};
