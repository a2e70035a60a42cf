#include "gatedhttpserver.h"

#include "jsonreply.h"
#include "serverlog.h"
#include "sessiongate.h"

#include <QHttpServerRouter>

bool GatedHttpServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    if (const auto refusal = m_gate.check(request)) {
        ServerLog::debug({QStringLiteral("refused"), request.url().path(),
                          QString::number(int(refusal->status))});
        makeResponder(request, socket)
            .write(JsonReply::bytes({{QStringLiteral("error"), refusal->message}}),
                   QByteArrayLiteral("application/json; charset=utf-8"), refusal->status);
        return true;
    }
    return m_routes.router()->handleRequest(request, socket);
}

void GatedHttpServer::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    m_missing(request, makeResponder(request, socket));
}
