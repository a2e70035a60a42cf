#include "upstreamcall.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkRequest>

namespace {

constexpr qsizetype maxErrorBody = 16 * 1024;

int statusOf(QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

} // namespace

UpstreamCall::UpstreamCall(QNetworkAccessManager *nam, QNetworkRequest request,
                           const QByteArray &body, int idleMs, int totalMs, QObject *parent)
    : QObject(parent), m_scrubber(request)
{
    request.setTransferTimeout(idleMs);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    m_reply = nam->post(request, body);
    connect(m_reply, &QNetworkReply::readyRead, this, &UpstreamCall::onReadyRead);
    connect(m_reply, &QNetworkReply::finished, this, &UpstreamCall::onFinished);
    m_total.setSingleShot(true);
    connect(&m_total, &QTimer::timeout, this, [this] {
        m_totalExpired = true;
        if (m_reply)
            m_reply->abort();
    });
    m_total.start(totalMs);
}

UpstreamCall::~UpstreamCall()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
}

void UpstreamCall::onReadyRead()
{
    const QByteArray bytes = m_reply->readAll();
    const int status = statusOf(m_reply);
    if (status >= 200 && status < 300) {
        emit received(bytes);
    } else if (m_errorBody.size() < maxErrorBody) {
        m_errorBody += bytes.left(maxErrorBody - m_errorBody.size());
    }
}

void UpstreamCall::onFinished()
{
    if (m_done)
        return;
    m_done = true;
    m_total.stop();
    if (m_reply->bytesAvailable() > 0)
        onReadyRead();

    Result result;
    result.httpStatus = statusOf(m_reply);
    const QNetworkReply::NetworkError error = m_reply->error();
    if (m_totalExpired) {
        result.ending = Ending::TotalTimeout;
        result.detail = QStringLiteral("上游响应时间过长");
    } else if (error == QNetworkReply::OperationCanceledError) {
        // The transfer time-out is reported as a cancellation.
        result.ending = Ending::IdleTimeout;
        result.detail = QStringLiteral("上游模型服务响应超时");
    } else if (result.httpStatus >= 300 ||
               (result.httpStatus == 0 && error == QNetworkReply::NoError)) {
        result.ending = Ending::HttpError;
        result.detail =
            QStringLiteral("HTTP %1：%2").arg(result.httpStatus).arg(errorMessage(m_errorBody));
    } else if (error != QNetworkReply::NoError) {
        result.ending = Ending::NetworkError;
        result.detail = m_reply->errorString();
    }
    result.detail = m_scrubber.scrubbed(result.detail);
    m_reply->deleteLater();
    m_reply = nullptr;
    emit finished(result);
}

QString UpstreamCall::errorMessage(const QByteArray &body)
{
    const QJsonDocument doc = QJsonDocument::fromJson(body);
    QJsonObject object = doc.isArray() ? doc.array().at(0).toObject() : doc.object();
    const QJsonValue error = object.value(QStringLiteral("error"));
    if (error.isObject()) {
        const QString message = error.toObject().value(QStringLiteral("message")).toString();
        if (!message.isEmpty())
            return message;
    }
    if (error.isString())
        return error.toString();
    if (object.value(QStringLiteral("message")).isString())
        return object.value(QStringLiteral("message")).toString();
    const QString text = QString::fromUtf8(body.left(300)).simplified();
    return text.isEmpty() ? QStringLiteral("（无内容）") : text;
}
