#include "gatedhttpserver.h"

#include "crosssitegate.h"
#include "jsonreply.h"
#include "serverlog.h"
#include "sessiongate.h"

#include <QHttpServerRouter>

bool GatedHttpServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    const auto refuse = [&](QHttpServerResponder::StatusCode status, const QString &message) {
        ServerLog::debug(
            {QStringLiteral("refused"), request.url().path(), QString::number(int(status))});
        makeResponder(request, socket)
            .write(JsonReply::bytes({{QStringLiteral("error"), message}}),
                   QByteArrayLiteral("application/json; charset=utf-8"), status);
        return true;
    };
    if (const auto refusal = m_crossSite.check(request))
        return refuse(refusal->status, refusal->message);
    if (const auto refusal = m_gate.check(request))
        return refuse(refusal->status, refusal->message);
    return m_routes.router()->handleRequest(request, socket);
}

void GatedHttpServer::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    m_missing(request, makeResponder(request, socket));
}
