#pragma once

#include <QAbstractHttpServer>
#include <QHttpServer>

#include <functional>

class CrossSiteGate;
class SessionGate;

// The HTTP layer the connections are bound to: each request passes the cross-site gate and the
// session gate, then goes
// to the routes installed on a QHttpServer (whose own dispatch cannot be extended: Qt 6.4 has no
// hook that runs before every route).
class GatedHttpServer : public QAbstractHttpServer {
    Q_OBJECT
public:
    GatedHttpServer(QHttpServer &routes, const CrossSiteGate &crossSite, SessionGate &gate,
                    QHttpServer::MissingHandler missing, QObject *parent = nullptr)
        : QAbstractHttpServer(parent), m_routes(routes), m_crossSite(crossSite), m_gate(gate),
          m_missing(std::move(missing))
    {}

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    QHttpServer &m_routes;
    const CrossSiteGate &m_crossSite;
    SessionGate &m_gate;
    QHttpServer::MissingHandler m_missing;
};
