#pragma once

#include <QHostAddress>
#include <QHttpServerResponder>
#include <QString>
#include <QStringList>

#include <optional>

class QHttpServerRequest;

// Refuses what a web page in the user's browser could make of the server, before anything else
// looks at a request, tokens or not: a browser marks its requests with Origin (Talvoro never
// sends one), a page that rebinds its own name to this machine still names itself in Host, and
// only a JSON body cannot be sent across sites without asking the server first.
class CrossSiteGate {
public:
    // The names a client may reach the server by: `address` (every address of this machine for
    // a wildcard one, and "localhost" for loopback) and `publicHosts`.
    void allow(const QHostAddress &address, const QStringList &publicHosts);

    struct Refusal {
        QHttpServerResponder::StatusCode status;
        QString message;
    };
    std::optional<Refusal> check(const QHttpServerRequest &request) const;

private:
    bool isOwnHost(QByteArrayView host) const;

    QStringList m_hosts;
};
