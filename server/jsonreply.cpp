#include "jsonreply.h"

#include <QJsonDocument>

QByteArray JsonReply::bytes(const QJsonObject &body)
{
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

QHttpServerResponse JsonReply::object(const QJsonObject &body, Status status)
{
    return QHttpServerResponse(QByteArrayLiteral("application/json; charset=utf-8"), bytes(body),
                               status);
}

QHttpServerResponse JsonReply::error(Status status, const QString &message)
{
    return object(QJsonObject{{QStringLiteral("error"), message}}, status);
}
