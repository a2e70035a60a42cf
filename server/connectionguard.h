#pragma once

#include "requestframer.h"

#include <QByteArray>
#include <QObject>

#include <chrono>

class QTcpSocket;

// Bounds on what one client may make the server hold or wait for.
struct HttpLimits {
    qint64 maxBodyBytes = 1024 * 1024;
    qint64 maxHeaderBytes = 32 * 1024;
    // A connection with no request under way and nothing sent for this long is closed.
    std::chrono::milliseconds idleTimeout{30'000};
    // A request must arrive whole within this time of its first byte, however steadily its
    // bytes trickle in.
    std::chrono::milliseconds requestTimeout{30'000};
    int maxConnections = 512;
    int maxConnectionsPerAddress = 32;
    // Loopback is a reverse proxy or a program on this machine, which carries many clients on
    // its connections: only maxConnections bounds it.
    bool loopbackPerAddress = false;
    // What all requests still arriving may hold together; past it the oldest one is refused.
    qint64 maxPartialBytes = 64 * 1024 * 1024;
};

// Watches one client connection in front of Qt HttpServer, which reads a whole request into
// memory (twice: its socket transaction and the parsed body) before a route sees it. The guard
// sees each piece first, frames the requests as that layer will (RequestFramer), and refuses a
// request it cannot frame, or whose head or declared body is too large, before its body is
// read, answering with a JSON error and dropping the rest. It also tells the server whether the
// connection is busy (a request arriving, an answer owed or streaming), which the idle time-out and
// a graceful stop rely on.
class ConnectionGuard : public QObject {
    Q_OBJECT
public:
    using Clock = std::chrono::steady_clock;

    // Becomes a child of `socket`; must be made before anything else reads from the socket.
    ConnectionGuard(QTcpSocket *socket, const HttpLimits &limits);
    ~ConnectionGuard() override;

    // A whole answer with a JSON error, after which the connection closes.
    static QByteArray closingAnswer(int status, const QString &message);

    // The guard of a connection, or null for a socket that has none.
    static ConnectionGuard *of(QTcpSocket *socket);

    // An answer written piece by piece keeps the connection busy until it ends.
    void streamStarted() { ++m_streams; }
    void streamEnded();

    bool isBusy() const;
    // Bytes of the request still arriving, and since when it has been arriving.
    qint64 partialBytes() const { return m_partialBytes; }
    Clock::time_point requestStart() const { return m_requestStart; }
    // Refuses the request still arriving with 503, for the requests of other connections.
    void shed();
    // Closes the connection once it has nothing under way (at once when it has nothing now).
    void closeWhenIdle();
    // Applies the time-outs; the server calls this now and then.
    void check(Clock::time_point now);

signals:
    // partialBytes() changed by `delta`.
    void partialBytesChanged(qint64 delta);

private:
    void onReadyRead();
    void onBytesWritten();
    bool inRequest() const;
    void refuse(int status, const QString &message);
    void settle();
    void updatePartialBytes();

    QTcpSocket *m_socket;
    const HttpLimits &m_limits;
    RequestFramer m_framer;
    bool m_refused = false;
    QByteArray m_arrived;
    bool m_answerOwed = false;
    qint64 m_partialBytes = 0;
    int m_streams = 0;
    bool m_closing = false;
    Clock::time_point m_lastActivity;
    Clock::time_point m_requestStart;
};
