#pragma once

#include "connectionguard.h"

#include <QHash>
#include <QHostAddress>
#include <QSet>
#include <QTcpServer>
#include <QTimer>

// The listening socket under the HTTP layer: puts a ConnectionGuard on every connection before
// the HTTP layer reads from it, refuses connections beyond the limits (in all and per address),
// keeps what requests still arriving hold together within a budget, applies the time-outs, and
// stops gracefully: no new connections, the busy ones finish, the idle ones close.
class GuardedTcpServer : public QTcpServer {
    Q_OBJECT
public:
    explicit GuardedTcpServer(const HttpLimits &limits, QObject *parent = nullptr);

    int connectionCount() const { return int(m_guards.size()); }
    // Stops listening and closes each connection once it is idle; drained() follows when the
    // last one is gone.
    void drain();

signals:
    void drained();

protected:
    void incomingConnection(qintptr handle) override;

private:
    void sweep();
    void forget(ConnectionGuard *guard, const QHostAddress &peer);
    void turnAway(QTcpSocket *socket, const QString &why, int limit);
    void partialBytesChanged(qint64 delta);

    const HttpLimits m_limits;
    QSet<ConnectionGuard *> m_guards;
    QHash<QHostAddress, int> m_perAddress;
    qint64 m_partialBytes = 0;
    QTimer m_sweep;
    bool m_draining = false;
};
