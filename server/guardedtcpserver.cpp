#include "guardedtcpserver.h"

#include "serverlog.h"

#include <QTcpSocket>

GuardedTcpServer::GuardedTcpServer(const HttpLimits &limits, QObject *parent)
    : QTcpServer(parent), m_limits(limits)
{
    // One timer for all connections: a timer per connection would be re-armed on every read of
    // every request. A deadline is then kept to within a quarter of the shortest time-out.
    const auto shortest = std::min(m_limits.idleTimeout, m_limits.requestTimeout);
    m_sweep.setInterval(
        std::clamp(shortest / 4, std::chrono::milliseconds(10), std::chrono::milliseconds(1000)));
    connect(&m_sweep, &QTimer::timeout, this, &GuardedTcpServer::sweep);
    m_sweep.start();
}

void GuardedTcpServer::incomingConnection(qintptr handle)
{
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(handle)) {
        delete socket;
        return;
    }
    if (connectionCount() >= m_limits.maxConnections) {
        turnAway(socket, QStringLiteral("connection refused: limit reached"),
                 m_limits.maxConnections);
        return;
    }
    const QHostAddress peer = socket->peerAddress();
    int &fromPeer = m_perAddress[peer];
    if (fromPeer >= m_limits.maxConnectionsPerAddress &&
        (m_limits.loopbackPerAddress || !peer.isLoopback())) {
        turnAway(socket, QStringLiteral("connection refused: limit per address reached"),
                 m_limits.maxConnectionsPerAddress);
        return;
    }
    ++fromPeer;
    auto *guard = new ConnectionGuard(socket, m_limits);
    m_guards.insert(guard);
    connect(guard, &ConnectionGuard::partialBytesChanged, this,
            &GuardedTcpServer::partialBytesChanged);
    connect(guard, &QObject::destroyed, this, [this, guard, peer] { forget(guard, peer); });
    addPendingConnection(socket);
}

void GuardedTcpServer::turnAway(QTcpSocket *socket, const QString &why, int limit)
{
    ServerLog::warning({why, QString::number(limit), socket->peerAddress().toString()});
    socket->write(ConnectionGuard::closingAnswer(503, QStringLiteral("服务器繁忙，请稍后再试")));
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    socket->disconnectFromHost();
}

void GuardedTcpServer::partialBytesChanged(qint64 delta)
{
    m_partialBytes += delta;
    // Refusing the oldest partial request first: a slow upload that started early is the one
    // most likely to be holding memory on purpose, and the newest are the ones about to finish.
    while (m_partialBytes > m_limits.maxPartialBytes) {
        ConnectionGuard *oldest = nullptr;
        for (ConnectionGuard *guard : std::as_const(m_guards)) {
            if (guard->partialBytes() > 0 &&
                (!oldest || guard->requestStart() < oldest->requestStart()))
                oldest = guard;
        }
        if (!oldest)
            break;
        oldest->shed(); // reports its bytes as released, which re-enters here
    }
}

void GuardedTcpServer::forget(ConnectionGuard *guard, const QHostAddress &peer)
{
    if (--m_perAddress[peer] <= 0)
        m_perAddress.remove(peer);
    m_guards.remove(guard);
    if (m_draining && m_guards.isEmpty())
        emit drained();
}

void GuardedTcpServer::sweep()
{
    const auto now = ConnectionGuard::Clock::now();
    // A guard may close its connection; its socket is deleted later, never inside the loop.
    const auto guards = m_guards;
    for (ConnectionGuard *guard : guards)
        guard->check(now);
}

void GuardedTcpServer::drain()
{
    close();
    m_draining = true;
    if (m_guards.isEmpty()) {
        emit drained();
        return;
    }
    const auto guards = m_guards;
    for (ConnectionGuard *guard : guards)
        guard->closeWhenIdle();
}
