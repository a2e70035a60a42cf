#include "chunkedreply.h"

#include "connectionguard.h"

#include <QTcpSocket>

ChunkedReply::ChunkedReply(QHttpServerResponder &&responder, QObject *parent)
    : QObject(parent), m_responder(std::move(responder)), m_socket(m_responder.socket())
{
    // Queued: a write that finds the peer gone can emit disconnected() from inside write(),
    // while the producer of the answer is still on the stack.
    if (m_socket) {
        // The connection stays busy until the answer ends: neither the idle time-out nor a
        // graceful stop may cut it off between two pieces.
        if (ConnectionGuard *guard = ConnectionGuard::of(m_socket)) {
            m_guard = guard;
            guard->streamStarted();
        }
        connect(m_socket, &QTcpSocket::disconnected, this, &ChunkedReply::onSocketGone,
                Qt::QueuedConnection);
        connect(m_socket, &QObject::destroyed, this, &ChunkedReply::onSocketGone,
                Qt::QueuedConnection);
    } else {
        QMetaObject::invokeMethod(this, &ChunkedReply::onSocketGone, Qt::QueuedConnection);
    }
}

ChunkedReply::~ChunkedReply()
{
    release();
}

void ChunkedReply::release()
{
    if (m_guard)
        m_guard->streamEnded();
    m_guard = nullptr;
}

bool ChunkedReply::canWrite() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState && !m_finished;
}

void ChunkedReply::start(int status, const QByteArray &mimeType)
{
    if (m_started || !canWrite())
        return;
    m_started = true;
    m_responder.writeStatusLine(QHttpServerResponder::StatusCode(status));
    m_responder.writeHeaders(
        {{QByteArrayLiteral("Content-Type"), mimeType},
         {QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-cache")},
         {QByteArrayLiteral("Transfer-Encoding"), QByteArrayLiteral("chunked")}});
}

void ChunkedReply::write(const QByteArray &bytes)
{
    // An empty chunk would be read as the end of the body.
    if (bytes.isEmpty() || !m_started || !canWrite())
        return;
    m_responder.writeBody(QByteArray::number(bytes.size(), 16) + "\r\n" + bytes + "\r\n");
    m_socket->flush();
}

void ChunkedReply::finish()
{
    if (!m_started || !canWrite())
        return;
    m_responder.writeBody(QByteArrayLiteral("0\r\n\r\n"));
    m_socket->flush();
    m_finished = true;
    release();
}

void ChunkedReply::onSocketGone()
{
    if (m_finished || m_left)
        return;
    m_left = true;
    release();
    emit clientLeft();
}
