#pragma once

#include <QByteArray>
#include <QHttpServerResponder>
#include <QObject>
#include <QPointer>

class ConnectionGuard;
class QTcpSocket;

// One HTTP/1.1 answer whose body goes out as it is produced, in chunked transfer encoding
// written by hand (Qt HttpServer 6.4 has no chunked API; its responder only writes raw bytes
// after the headers). Chunked framing keeps the connection reusable and lets the client tell an
// answer that ended from one that was cut off. Reports a client that hangs up before the end.
class ChunkedReply : public QObject {
    Q_OBJECT
public:
    explicit ChunkedReply(QHttpServerResponder &&responder, QObject *parent = nullptr);
    ~ChunkedReply() override;

    bool isStarted() const { return m_started; }
    // The status line and headers; the body follows with write().
    void start(int status, const QByteArray &mimeType);
    // One chunk, sent at once.
    void write(const QByteArray &bytes);
    // The last chunk; the connection stays open for the client's next request.
    void finish();

signals:
    // The client disconnected before finish(); nothing more reaches it.
    void clientLeft();

private:
    bool canWrite() const;
    void onSocketGone();
    void release();

    QHttpServerResponder m_responder;
    QPointer<QTcpSocket> m_socket;
    QPointer<ConnectionGuard> m_guard;
    bool m_started = false;
    bool m_finished = false;
    bool m_left = false;
};
