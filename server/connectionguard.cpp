#include "connectionguard.h"

#include "jsonreply.h"
#include "serverlog.h"

#include <QTcpSocket>

#include <sys/socket.h>

namespace {

QByteArray reasonFor(int status)
{
    switch (status) {
    case 400:
        return "Bad Request";
    case 503:
        return "Service Unavailable";
    case 408:
        return "Request Timeout";
    case 411:
        return "Length Required";
    case 413:
        return "Payload Too Large";
    case 431:
        return "Request Header Fields Too Large";
    default:
        return "Service Unavailable";
    }
}

} // namespace

QByteArray ConnectionGuard::closingAnswer(int status, const QString &message)
{
    const QByteArray body = JsonReply::bytes({{QStringLiteral("error"), message}});
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonFor(status) +
           "\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

ConnectionGuard::ConnectionGuard(QTcpSocket *socket, const HttpLimits &limits)
    : QObject(socket), m_socket(socket), m_limits(limits),
      m_framer({limits.maxHeaderBytes, limits.maxBodyBytes}), m_lastActivity(Clock::now())
{
    // Connected before the HTTP layer connects its own: this slot sees every piece first.
    connect(socket, &QTcpSocket::readyRead, this, &ConnectionGuard::onReadyRead);
    connect(socket, &QTcpSocket::bytesWritten, this, &ConnectionGuard::onBytesWritten);
}

ConnectionGuard::~ConnectionGuard()
{
    // Its socket is already gone: only the count of partial bytes is settled.
    if (const qint64 held = std::exchange(m_partialBytes, 0))
        emit partialBytesChanged(-held);
}

ConnectionGuard *ConnectionGuard::of(QTcpSocket *socket)
{
    return socket ? socket->findChild<ConnectionGuard *>(QString(), Qt::FindDirectChildrenOnly)
                  : nullptr;
}

bool ConnectionGuard::inRequest() const
{
    return !m_refused && (m_framer.state() == RequestFramer::State::Head ||
                          m_framer.state() == RequestFramer::State::Body);
}

bool ConnectionGuard::isBusy() const
{
    return inRequest() || m_answerOwed || m_streams > 0;
}

void ConnectionGuard::streamEnded()
{
    --m_streams;
    settle();
}

void ConnectionGuard::closeWhenIdle()
{
    m_closing = true;
    settle();
}

void ConnectionGuard::settle()
{
    if (isBusy())
        return;
    if (m_closing && m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->disconnectFromHost();
}

void ConnectionGuard::check(Clock::time_point now)
{
    if (m_refused) {
        // The client had its answer and time to read it; whatever it still sends is dropped.
        if (now - m_requestStart > std::chrono::seconds(2) || m_closing)
            m_socket->abort();
        return;
    }
    if (inRequest() && now - m_requestStart > m_limits.requestTimeout) {
        ServerLog::debug({QStringLiteral("request too slow, connection closed"),
                          m_socket->peerAddress().toString()});
        refuse(408, QStringLiteral("请求超时"));
        return;
    }
    if (!isBusy() && now - m_lastActivity > m_limits.idleTimeout)
        m_socket->disconnectFromHost();
}

void ConnectionGuard::onReadyRead()
{
    m_lastActivity = Clock::now();
    const qint64 available = m_socket->bytesAvailable();
    if (m_refused) {
        m_socket->skip(available);
        return;
    }
    // The HTTP layer reads everything available after this slot, so what is available now is
    // exactly what arrived since the last call. A body is only counted; the rest is copied into
    // a buffer.
    if (m_framer.state() == RequestFramer::State::Body && available <= m_framer.bodyLeft()) {
        if (m_framer.skipBody(available))
            m_answerOwed = true;
        updatePartialBytes();
        return;
    }
    const bool wasBetween = m_framer.state() == RequestFramer::State::Between;
    m_arrived.resize(available);
    m_socket->peek(m_arrived.data(), available);
    const int completed = m_framer.feed(m_arrived);
    // A small buffer is kept for the next request; a large one (a head with much of a body
    // behind it) would stay with every such connection, whatever the budget for partial bytes.
    if (m_arrived.capacity() > 64 * 1024)
        m_arrived = QByteArray();
    if (const auto &refusal = m_framer.refusal()) {
        ServerLog::debug({QStringLiteral("request refused"), QString::number(refusal->status),
                          m_socket->peerAddress().toString()});
        refuse(refusal->status, refusal->message);
        return;
    }
    if (completed > 0)
        m_answerOwed = true;
    if (inRequest() && (wasBetween || completed > 0))
        m_requestStart = m_lastActivity;
    updatePartialBytes();
}

void ConnectionGuard::updatePartialBytes()
{
    // What the HTTP layer holds of a request it has not been handed whole yet.
    const qint64 now = inRequest() ? m_framer.partialBytes() : 0;
    if (now == m_partialBytes)
        return;
    const qint64 delta = now - m_partialBytes;
    m_partialBytes = now;
    emit partialBytesChanged(delta);
}

void ConnectionGuard::shed()
{
    ServerLog::warning({QStringLiteral("partial requests over budget; refused the oldest"),
                        m_socket->peerAddress().toString()});
    refuse(503, QStringLiteral("服务器繁忙，请稍后再试"));
    // The HTTP layer lets go of what it parsed of the request only with the connection: closed
    // now, not once the client has had time to read the answer, or the memory stays held.
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->disconnectFromHost();
}

void ConnectionGuard::onBytesWritten()
{
    m_lastActivity = Clock::now();
    if (m_socket->bytesToWrite() > 0)
        return;
    m_answerOwed = false;
    settle();
}

void ConnectionGuard::refuse(int status, const QString &message)
{
    m_refused = true;
    m_requestStart = Clock::now();
    updatePartialBytes();
    // The HTTP layer never sees this request: it stops reading from the socket, and what it
    // kept of the request so far is released.
    disconnect(m_socket, &QTcpSocket::readyRead, nullptr, nullptr);
    connect(m_socket, &QTcpSocket::readyRead, this, &ConnectionGuard::onReadyRead);
    if (m_socket->isTransactionStarted())
        m_socket->rollbackTransaction();
    m_socket->skip(m_socket->bytesAvailable());

    m_socket->write(closingAnswer(status, message));
    m_socket->flush();
    // Closing only our sending side lets the client read the answer while it is still sending;
    // a full close now would reset the connection and could lose the answer.
    if (m_socket->bytesToWrite() == 0)
        ::shutdown(int(m_socket->socketDescriptor()), SHUT_WR);
    else
        m_socket->disconnectFromHost();
}
