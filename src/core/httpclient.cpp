#include "core/httpclient.h"

#include "core/serviceorigin.h"
#include "core/settingsstore.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>

HttpClient::HttpClient(QObject *parent)
    : QObject(parent), m_network(new QNetworkAccessManager(this))
{}

QNetworkRequest HttpClient::request(const QUrl &url, Redirects redirects) const
{
    QNetworkRequest request(url);
    request.setTransferTimeout(int(m_idleTimeout.count()));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         redirects == Redirects::SameOrigin
                             ? QNetworkRequest::SameOriginRedirectPolicy
                             : QNetworkRequest::NoLessSafeRedirectPolicy);
    // The session token of the signed-in account goes with every call to the service, and
    // nowhere else: a picture address may name any host.
    const SettingsStore *store = SettingsStore::instance();
    const auto token = store ? store->getString(QStringLiteral("sessionToken")) : std::nullopt;
    const QUrl service(ServiceOrigin::current());
    if (token && !token->isEmpty() && url.scheme() == service.scheme() &&
        url.host() == service.host() && url.port(-1) == service.port(-1))
        request.setRawHeader(QByteArrayLiteral("Authorization"), "Bearer " + token->toUtf8());
    return request;
}

void HttpClient::get(const QUrl &url, const QObject *context, Completion completion,
                     Redirects redirects)
{
    track(m_network->get(request(url, redirects)), context, std::move(completion));
}

QNetworkReply *HttpClient::post(const QUrl &url, const QJsonObject &body)
{
    QNetworkRequest req = request(url, Redirects::SameOrigin);
    req.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    return m_network->post(req, QJsonDocument(body).toJson(QJsonDocument::Compact));
}

void HttpClient::postJson(const QUrl &url, const QJsonObject &body, const QObject *context,
                          Completion completion)
{
    track(post(url, body), context, std::move(completion));
}

QNetworkReply *HttpClient::postJsonStreaming(const QUrl &url, const QJsonObject &body,
                                             const QObject *context, Chunk onChunk,
                                             Completion completion)
{
    QNetworkReply *reply = post(url, body);
    if (context)
        connect(context, &QObject::destroyed, reply, &QNetworkReply::abort);
    track(reply, context, std::move(completion), std::move(onChunk));
    return reply;
}

void HttpClient::track(QNetworkReply *reply, const QObject *context, Completion completion,
                       Chunk onChunk)
{
    const QPointer<const QObject> guard(context);
    const qint64 maxBody = m_maxBodySize;
    auto tooLarge = std::make_shared<bool>(false);

    if (onChunk) {
        connect(reply, &QNetworkReply::readyRead, this,
                [reply, guard, hasContext = context != nullptr, onChunk = std::move(onChunk),
                 tooLarge] {
                    if ((hasContext && !guard) || *tooLarge)
                        return;
                    const QByteArray bytes = reply->readAll();
                    if (!bytes.isEmpty())
                        onChunk(bytes);
                });
    }

    connect(reply, &QNetworkReply::downloadProgress, reply, [reply, maxBody, tooLarge](qint64 got) {
        if (got > maxBody && !*tooLarge) {
            *tooLarge = true;
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this,
            [reply, guard, hasContext = context != nullptr, completion = std::move(completion),
             tooLarge] {
                reply->deleteLater();
                if (hasContext && !guard)
                    return;
                HttpResult result;
                result.error = reply->error();
                result.errorString = reply->errorString();
                result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                // An HTTP error status still delivered a complete answer; callers judge bodies,
                // not status codes, so only transport failures count as errors.
                // Qt files status 400 under the protocol errors, not the content errors.
                const int code = int(result.error);
                if (result.status > 0 &&
                    ((code > 200 && code < 300) || (code > 400 && code < 500) ||
                     result.error == QNetworkReply::ProtocolInvalidOperationError)) {
                    result.error = QNetworkReply::NoError;
                    result.errorString.clear();
                }
                if (*tooLarge) {
                    result.error = QNetworkReply::UnknownContentError;
                    result.errorString = QStringLiteral("response body too large");
                } else if (reply->isOpen()) {
                    // An aborted or timed-out reply is closed and has nothing to read.
                    result.body = reply->readAll();
                }
                completion(result);
            });
}
