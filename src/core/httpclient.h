#pragma once

#include "core/registeredinstance.h"

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <chrono>
#include <functional>

class QJsonObject;
class QNetworkAccessManager;

// What one request ended with. `error` is NoError when the transfer completed, whatever the
// HTTP status; an idle time-out shows as OperationCanceledError.
struct HttpResult {
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QString errorString;
    int status = 0; // 0 when no HTTP answer arrived
    QByteArray body;

    bool transferred() const { return error == QNetworkReply::NoError; }
};

// The process's one HTTP client. Every request it starts ends in exactly one call of its
// completion on the main thread, unless the completion's context object is gone by then; the
// reply object is always released. Requests never wait forever: each has an idle time-out.
// Requests to the service carry the stored "sessionToken" as a bearer token once there is one.
class HttpClient : public QObject, public RegisteredInstance<HttpClient> {
    Q_OBJECT

public:
    using Completion = std::function<void(const HttpResult &)>;
    // Body bytes as they arrive, for callers that read an answer while it is on its way.
    using Chunk = std::function<void(const QByteArray &bytes)>;

    enum class Redirects {
        SameOrigin, // API calls: the backend never sends us elsewhere
        NoLessSafe, // downloads from an address the backend handed out
    };

    explicit HttpClient(QObject *parent = nullptr);

    static constexpr std::chrono::milliseconds kDefaultIdleTimeout{60'000};
    // A body larger than this is a failed transfer, not a reason to exhaust memory.
    static constexpr qint64 kDefaultMaxBodySize = 64 * 1024 * 1024;

    void setIdleTimeout(std::chrono::milliseconds timeout) { m_idleTimeout = timeout; }
    void setMaxBodySize(qint64 bytes) { m_maxBodySize = bytes; }

    void get(const QUrl &url, const QObject *context, Completion completion,
             Redirects redirects = Redirects::SameOrigin);
    // POSTs `body` as compact UTF-8 JSON with the one header Content-Type: application/json.
    void postJson(const QUrl &url, const QJsonObject &body, const QObject *context,
                  Completion completion);
    // The same, handing the body to `onChunk` as it arrives; the completion then carries only
    // what was not handed over yet. The reply is aborted when `context` goes away, so a long
    // answer is not downloaded for nobody. The caller may abort() the returned reply; its
    // completion still comes, exactly once.
    QNetworkReply *postJsonStreaming(const QUrl &url, const QJsonObject &body,
                                     const QObject *context, Chunk onChunk, Completion completion);

    QNetworkAccessManager *network() const { return m_network; }

private:
    QNetworkRequest request(const QUrl &url, Redirects redirects) const;
    QNetworkReply *post(const QUrl &url, const QJsonObject &body);
    void track(QNetworkReply *reply, const QObject *context, Completion completion,
               Chunk onChunk = {});

    QNetworkAccessManager *m_network;
    std::chrono::milliseconds m_idleTimeout = kDefaultIdleTimeout;
    qint64 m_maxBodySize = kDefaultMaxBodySize;
};
