#include "connectionguard.h"

#include "jsonreply.h"
#include "serverlog.h"

#include <QTcpSocket>

#include <sys/socket.h>

namespace {

const QByteArray headEnd = QByteArrayLiteral("\r\n\r\n");

// The value of header `name` (lower case) in a request head, or a null array. Read in place:
// this runs for every request.
QByteArray headerValue(const QByteArray &head, QByteArrayView name)
{
    qsizetype start = 0;
    while (start < head.size()) {
        qsizetype end = head.indexOf('\n', start);
        if (end < 0)
            end = head.size();
        const QByteArrayView line(head.constData() + start, end - start);
        if (line.size() > name.size() && line.at(name.size()) == ':' &&
            line.first(name.size()).compare(name, Qt::CaseInsensitive) == 0)
            return line.sliced(name.size() + 1).trimmed().toByteArray();
        start = end + 1;
    }
    return {};
}

QByteArray reasonFor(int status)
{
    switch (status) {
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
    : QObject(socket), m_socket(socket), m_limits(limits), m_lastActivity(Clock::now())
{
    // Connected before the HTTP layer connects its own: this slot sees every piece first.
    connect(socket, &QTcpSocket::readyRead, this, &ConnectionGuard::onReadyRead);
    connect(socket, &QTcpSocket::bytesWritten, this, &ConnectionGuard::onBytesWritten);
}

ConnectionGuard *ConnectionGuard::of(QTcpSocket *socket)
{
    return socket ? socket->findChild<ConnectionGuard *>(QString(), Qt::FindDirectChildrenOnly)
                  : nullptr;
}

bool ConnectionGuard::isBusy() const
{
    return m_reading == Reading::Head || m_reading == Reading::Body || m_answerOwed ||
           m_streams > 0;
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
    if (m_reading == Reading::Refused) {
        // The client had its answer and time to read it; whatever it still sends is dropped.
        if (now - m_requestStart > std::chrono::seconds(2) || m_closing)
            m_socket->abort();
        return;
    }
    if ((m_reading == Reading::Head || m_reading == Reading::Body) &&
        now - m_requestStart > m_limits.requestTimeout) {
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
    if (m_reading == Reading::Refused) {
        m_socket->skip(available);
        return;
    }
    // The HTTP layer reads everything available after this slot, so what is available now is
    // exactly what arrived since the last call. A body is only counted; the rest is copied into
    // a buffer that keeps its capacity from one request to the next.
    if (m_reading == Reading::Body && available <= m_bodyLeft) {
        m_bodyLeft -= available;
        if (m_bodyLeft == 0)
            requestComplete();
        return;
    }
    m_arrived.resize(available);
    m_socket->peek(m_arrived.data(), available);
    follow(m_arrived);
}

void ConnectionGuard::follow(const QByteArray &bytes)
{
    qsizetype pos = 0;
    while (pos < bytes.size() && m_reading != Reading::Refused) {
        if (m_reading == Reading::Between) {
            m_reading = Reading::Head;
            m_requestStart = m_lastActivity;
            m_head.truncate(0);
        }
        if (m_reading == Reading::Head) {
            const qsizetype searchFrom = qMax<qsizetype>(0, m_head.size() - 3);
            const qsizetype had = m_head.size();
            m_head.append(bytes.constData() + pos, bytes.size() - pos);
            const qsizetype end = m_head.indexOf(headEnd, searchFrom);
            if (end < 0) {
                pos = bytes.size();
                if (m_head.size() > m_limits.maxHeaderBytes)
                    refuse(431, QStringLiteral("请求头过大"));
                continue;
            }
            pos += end + headEnd.size() - had;
            m_head.truncate(end);
            if (!headComplete())
                continue;
        }
        const qint64 take = qMin<qint64>(m_bodyLeft, bytes.size() - pos);
        pos += take;
        m_bodyLeft -= take;
        if (m_bodyLeft == 0)
            requestComplete();
    }
}

bool ConnectionGuard::headComplete()
{
    if (m_head.size() > m_limits.maxHeaderBytes) {
        refuse(431, QStringLiteral("请求头过大"));
        return false;
    }
    // A chunked body announces no size: it could only be bounded by reading it. The client
    // never sends one.
    if (!headerValue(m_head, "transfer-encoding").isNull()) {
        refuse(411, QStringLiteral("请求体须带 Content-Length"));
        return false;
    }
    const QByteArray length = headerValue(m_head, "content-length");
    bool ok = true;
    // A malformed length is left to the HTTP layer, which refuses the request.
    const qint64 size = length.isNull() ? 0 : length.toLongLong(&ok);
    if (ok && size > m_limits.maxBodyBytes) {
        refuse(413, QStringLiteral("请求体过大（最多 1 MiB）"));
        return false;
    }
    m_head.truncate(0);
    m_bodyLeft = ok ? qMax<qint64>(size, 0) : 0;
    m_reading = Reading::Body;
    return true;
}

void ConnectionGuard::requestComplete()
{
    m_reading = Reading::Between;
    m_answerOwed = true;
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
    m_reading = Reading::Refused;
    m_requestStart = Clock::now();
    m_head.clear();
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
