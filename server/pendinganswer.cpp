#include "pendinganswer.h"

#include "jsonreply.h"
#include "serverlog.h"

#include <QTcpSocket>

PendingAnswer::PendingAnswer(QHttpServerResponder &&responder)
    : m_responder(std::move(responder)), m_socket(m_responder.socket())
{}

void PendingAnswer::write(const QByteArray &body, const QByteArray &mimeType, int status)
{
    if (!m_socket) {
        ServerLog::debug({QStringLiteral("client left before its answer was ready")});
        return;
    }
    m_responder.write(body, mimeType, QHttpServerResponder::StatusCode(status));
}

void PendingAnswer::send(const QHttpServerResponse &response)
{
    if (!m_socket) {
        ServerLog::debug({QStringLiteral("client left before its answer was ready")});
        return;
    }
    response.write(std::move(m_responder));
}

void PendingAnswer::writeJson(const QJsonObject &object, int status)
{
    write(JsonReply::bytes(object), QByteArrayLiteral("application/json; charset=utf-8"), status);
}
