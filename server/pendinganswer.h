#pragma once

#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QJsonObject>
#include <QPointer>

class QTcpSocket;

// A responder that may outlive its connection: the client can hang up while its answer is being
// made (a picture drawn, a code handed to the SMS command), and its socket is gone by then.
class PendingAnswer {
public:
    explicit PendingAnswer(QHttpServerResponder &&responder);
    void write(const QByteArray &body, const QByteArray &mimeType, int status);
    void writeJson(const QJsonObject &object, int status);
    void send(const QHttpServerResponse &response);

private:
    QHttpServerResponder m_responder;
    QPointer<QTcpSocket> m_socket;
};
