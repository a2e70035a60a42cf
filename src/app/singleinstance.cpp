#include "app/singleinstance.h"

#include <QCryptographicHash>
#include <QLocalSocket>
#include <QStandardPaths>

namespace {
const QByteArray kActivate = "activate\n";
}

SingleInstance::SingleInstance(QString name, QObject *parent)
    : QObject(parent), m_name(std::move(name))
{
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (socket->readAll().contains(kActivate.trimmed()))
                    emit activationRequested();
                socket->disconnectFromServer();
            });
        }
    });
}

QString SingleInstance::defaultName()
{
    // Per user: the configuration folder differs between users (and between test setups).
    const QByteArray key =
        QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation).toUtf8();
    return QStringLiteral("talvoro-") +
           QString::fromLatin1(
               QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex().left(16));
}

bool SingleInstance::handOver()
{
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(500))
        return false;
    socket.write(kActivate);
    return socket.waitForBytesWritten(1000);
}

bool SingleInstance::listen()
{
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    if (m_server.listen(m_name))
        return true;
    // A copy that crashed leaves its socket file behind; nobody answered handOver(), so the
    // name is free to take.
    QLocalServer::removeServer(m_name);
    return m_server.listen(m_name);
}
