#include "routemethods.h"

#include "jsonreply.h"

#include <QHttpServer>

void RouteMethods::refuseOthers(QHttpServer &http, const QString &path)
{
    http.route(path, QHttpServerRequest::Method::AnyKnown, [] {
        return JsonReply::error(QHttpServerResponse::StatusCode::MethodNotAllowed,
                                QStringLiteral("不支持的请求方法"));
    });
}
