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
        ServerLog::warning({QStringLiteral("connection refused: limit reached"),
                            QString::number(m_limits.maxConnections)});
        socket->write(
            ConnectionGuard::closingAnswer(503, QStringLiteral("服务器繁忙，请稍后再试")));
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        socket->disconnectFromHost();
        return;
    }
    auto *guard = new ConnectionGuard(socket, m_limits);
    m_guards.insert(guard);
    connect(guard, &QObject::destroyed, this, [this, guard] { forget(guard); });
    addPendingConnection(socket);
}

void GuardedTcpServer::forget(ConnectionGuard *guard)
{
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
