#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <functional>
#include <memory>

// A scriptable HTTP/1.1 server on loopback for client tests: it can answer normally, slowly, in
// pieces, never, with garbage, or by resetting the connection. Every request is recorded.
class FakeHttpServer : public QObject {
public:
    enum class Behaviour {
        Answer,    // status line, headers, body
        Stall,     // read the request, never answer
        Reset,     // read the request, then drop the connection without a word
        Truncated, // announce more body than is sent, then close
        Raw,       // `body` is the whole answer, status line and headers included; then close
        Stream,    // status line and headers, then the body in chunks as the test sends it
                   // (sendPiece), ended by endStreams() or cut by resetStreams()
        Pieces,    // status line and headers, then `pieces` gapMs apart in separate writes;
                   // then close, or stay silent (stallAfterPieces), or close before the
                   // promised Content-Length (cutShort), which is a broken answer
    };

    struct Response {
        Response(int status = 200, QByteArray body = {}, int delayMs = 0)
            : status(status), body(std::move(body)), delayMs(delayMs)
        {}
        static Response with(Behaviour behaviour, QByteArray body = {})
        {
            Response r(200, std::move(body));
            r.behaviour = behaviour;
            return r;
        }

        int status = 200;
        QByteArray body;
        QByteArray contentType = "application/json";
        QList<QPair<QByteArray, QByteArray>> headers;
        Behaviour behaviour = Behaviour::Answer;
        int delayMs = 0; // before the first byte of the answer
        // Behaviour::Pieces
        QList<QByteArray> pieces;
        int gapMs = 5;
        bool stallAfterPieces = false;
        bool cutShort = false;
    };

    struct Request {
        QByteArray method;
        QByteArray path; // without the query
        QUrlQuery query;
        QHash<QByteArray, QByteArray> headers; // names lower-cased
        QByteArray body;
    };

    using Handler = std::function<Response(const Request &)>;

    FakeHttpServer()
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection())
                serve(socket);
        });
        m_server.listen(QHostAddress::LocalHost, 0);
    }

    QString origin() const { return "http://127.0.0.1:" + QString::number(m_server.serverPort()); }
    QUrl url(const QString &path) const { return QUrl(origin() + path); }

    void on(const QByteArray &path, Handler h) { m_handlers.insert(path, std::move(h)); }
    void on(const QByteArray &path, Response r)
    {
        on(path, [r](const Request &) { return r; });
    }
    // The answer to a path no `on` names (by default 404).
    void otherwise(Response response) { m_otherwise = std::move(response); }

    // Of the last Behaviour::Pieces answer: the pieces written so far, and whether the client
    // closed the connection before the answer ended it.
    int piecesSent = 0;
    bool closedByPeer = false;

    const QList<Request> &requests() const { return m_requests; }
    QList<Request> requestsTo(const QByteArray &path) const
    {
        QList<Request> out;
        for (const Request &r : m_requests)
            if (r.path == path)
                out.append(r);
        return out;
    }
    void clearRequests() { m_requests.clear(); }

    // Answers of Behaviour::Stream whose connection is still open, oldest first. (A client
    // may send a request on a connection that is closing and send it again on a new one.)
    using Stream = std::pair<QPointer<QTcpSocket>, Request>;
    QList<Stream> liveStreams() const
    {
        QList<Stream> live;
        for (const Stream &stream : m_streams)
            if (stream.first && stream.first->state() == QAbstractSocket::ConnectedState)
                live.append(stream);
        return live;
    }
    int openStreams() const { return int(liveStreams().size()); }
    // The request the `which`-th open streamed answer answers.
    Request streamRequest(int which) const { return liveStreams().value(which).second; }
    // Writes the next bytes of the body of the `which`-th open streamed answer.
    void sendPiece(const QByteArray &bytes, int which = 0)
    {
        if (QTcpSocket *socket = liveStreams().value(which).first; socket && !bytes.isEmpty()) {
            socket->write(QByteArray::number(bytes.size(), 16) + "\r\n" + bytes + "\r\n");
            socket->flush();
        }
    }
    void endStreams()
    {
        for (const auto &[socket, request] : liveStreams()) {
            socket->write("0\r\n\r\n");
            socket->disconnectFromHost();
        }
    }
    void resetStreams()
    {
        for (const auto &[socket, request] : std::as_const(m_streams))
            if (socket)
                socket->abort();
    }

private:
    void serve(QTcpSocket *socket)
    {
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
            buffer->append(socket->readAll());
            const qsizetype headerEnd = buffer->indexOf("\r\n\r\n");
            if (headerEnd < 0)
                return;
            Request request;
            const QList<QByteArray> lines = buffer->left(headerEnd).split('\n');
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            request.method = first.value(0);
            const QUrl target(QString::fromLatin1(first.value(1)));
            request.path = target.path(QUrl::FullyEncoded).toLatin1();
            request.query = QUrlQuery(target.query(QUrl::FullyEncoded));
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines[i].indexOf(':');
                if (colon > 0)
                    request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                           lines[i].mid(colon + 1).trimmed());
            }
            const qsizetype length = request.headers.value("content-length", "0").toLongLong();
            if (buffer->size() < headerEnd + 4 + length)
                return;
            request.body = buffer->mid(headerEnd + 4, length);
            buffer->remove(0, headerEnd + 4 + length);
            m_requests.append(request);

            const auto handler = m_handlers.constFind(request.path);
            const Response response =
                handler != m_handlers.cend() ? (*handler)(request) : m_otherwise;
            QPointer<QTcpSocket> guard(socket);
            QTimer::singleShot(response.delayMs, this, [this, guard, response, request] {
                if (!guard)
                    return;
                answer(guard, response);
                // Open for pieces once its head is out.
                if (response.behaviour == Behaviour::Stream)
                    m_streams.append({guard, request});
            });
        });
    }

    static QByteArray head(const Response &r, const QByteArray &contentType,
                           const QByteArray &more = {})
    {
        return "HTTP/1.1 " + QByteArray::number(r.status) + " X\r\nContent-Type: " + contentType +
               "\r\n" + more + "Connection: close\r\n\r\n";
    }

    void answer(QTcpSocket *socket, const Response &r)
    {
        switch (r.behaviour) {
        case Behaviour::Pieces: {
            piecesSent = 0;
            closedByPeer = false;
            auto ended = std::make_shared<bool>(false);
            QObject::connect(socket, &QTcpSocket::disconnected, this, [this, ended] {
                if (!*ended)
                    closedByPeer = true;
            });
            const qsizetype length = 1000 + r.pieces.join().size();
            socket->write(head(r, r.contentType,
                               r.cutShort ? "Content-Length: " + QByteArray::number(length) + "\r\n"
                                          : QByteArray()));
            sendPiece(QPointer<QTcpSocket>(socket), r, 0, ended);
            return;
        }
        case Behaviour::Stall:
            return;
        case Behaviour::Reset:
            socket->abort();
            return;
        case Behaviour::Raw:
            socket->write(r.body);
            socket->disconnectFromHost();
            return;
        case Behaviour::Stream:
            // Chunked, so that a connection cut mid-body is told apart from its end.
            socket->write(head(r, "text/event-stream", "Transfer-Encoding: chunked\r\n"));
            socket->flush();
            return;
        case Behaviour::Answer:
        case Behaviour::Truncated:
            break;
        }
        const qsizetype announced =
            r.body.size() + (r.behaviour == Behaviour::Truncated ? 1000 : 0);
        QByteArray more = "Content-Length: " + QByteArray::number(announced) + "\r\n";
        for (const auto &[name, value] : r.headers)
            more += name + ": " + value + "\r\n";
        socket->write(head(r, r.contentType, more) + r.body);
        socket->disconnectFromHost();
    }

    void sendPiece(QPointer<QTcpSocket> socket, const Response &r, int index,
                   const std::shared_ptr<bool> &ended)
    {
        if (!socket)
            return;
        if (index >= r.pieces.size()) {
            if (!r.stallAfterPieces) {
                *ended = true;
                socket->disconnectFromHost();
            }
            return;
        }
        socket->write(r.pieces.at(index));
        socket->flush();
        piecesSent = index + 1;
        // Apart, so that the peer sees them in separate reads.
        QTimer::singleShot(r.gapMs, this, [this, socket, r, index, ended] {
            sendPiece(socket, r, index + 1, ended);
        });
    }

    QTcpServer m_server;
    Response m_otherwise{404, "{\"error\":\"not found\"}"};
    QHash<QByteArray, Handler> m_handlers;
    QList<Request> m_requests;
    QList<Stream> m_streams;
};
