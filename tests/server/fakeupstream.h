#pragma once

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

// A model provider on loopback that answers every request with one scripted reply: a status,
// body pieces sent one after another `gapMs` apart, and then the end of the connection,
// silence, or (cutShort) an end before the promised Content-Length, which is a broken answer.
class FakeUpstream : public QObject {
    Q_OBJECT
public:
    struct Script {
        int status = 200;
        QByteArray contentType = "text/event-stream";
        QList<QByteArray> pieces;
        bool stallAfterPieces = false;
        int gapMs = 5;
        bool cutShort = false;
    };

    FakeUpstream()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, &FakeUpstream::accept);
    }
    QString origin() const
    {
        return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort());
    }
    void setScript(const Script &script) { m_script = script; }

    // What the last request looked like.
    QByteArray requestHead;
    QByteArray requestBody;
    int requests = 0;
    // Pieces of the last answer written so far, and whether our peer closed that connection
    // before the script ended it.
    int piecesSent = 0;
    bool closedByPeer = false;

private:
    void accept()
    {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            auto *buffer = new QByteArray;
            connect(socket, &QTcpSocket::disconnected, socket, [this, buffer, socket] {
                if (!m_closing)
                    closedByPeer = true;
                delete buffer;
                socket->deleteLater();
            });
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
                *buffer += socket->readAll();
                const qsizetype end = buffer->indexOf("\r\n\r\n");
                if (end < 0)
                    return;
                const QByteArray head = buffer->left(end);
                qsizetype length = 0;
                for (const QByteArray &line : head.split('\n')) {
                    if (line.toLower().startsWith("content-length:"))
                        length = line.mid(15).trimmed().toLongLong();
                }
                if (buffer->size() < end + 4 + length)
                    return;
                requestHead = head;
                requestBody = buffer->mid(end + 4, length);
                buffer->clear();
                ++requests;
                answer(socket);
            });
        }
    }

    void answer(QTcpSocket *socket)
    {
        piecesSent = 0;
        closedByPeer = false;
        m_closing = false;
        QByteArray head = "HTTP/1.1 " + QByteArray::number(m_script.status) + " Scripted\r\n" +
                          "Content-Type: " + m_script.contentType + "\r\nConnection: close\r\n";
        if (m_script.cutShort) {
            qsizetype length = 1000;
            for (const QByteArray &piece : m_script.pieces)
                length += piece.size();
            head += "Content-Length: " + QByteArray::number(length) + "\r\n";
        }
        socket->write(head + "\r\n");
        sendPiece(QPointer<QTcpSocket>(socket), 0);
    }

    void sendPiece(QPointer<QTcpSocket> socket, int index)
    {
        if (!socket)
            return;
        if (index >= m_script.pieces.size()) {
            if (!m_script.stallAfterPieces) {
                m_closing = true;
                socket->disconnectFromHost();
            }
            return;
        }
        socket->write(m_script.pieces.at(index));
        socket->flush();
        piecesSent = index + 1;
        // Pieces go out apart, so the server sees them in separate reads.
        QTimer::singleShot(m_script.gapMs, this,
                           [this, socket, index] { sendPiece(socket, index + 1); });
    }

    QTcpServer m_server;
    Script m_script;
    bool m_closing = false;
};
