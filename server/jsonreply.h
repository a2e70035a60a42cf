#pragma once

#include <QHttpServerResponse>
#include <QJsonObject>
#include <QString>

// JSON answers of the API: compact UTF-8 with the JSON content type; failures carry "error".
class JsonReply {
public:
    using Status = QHttpServerResponse::StatusCode;

    static QHttpServerResponse object(const QJsonObject &body, Status status = Status::Ok);
    static QHttpServerResponse error(Status status, const QString &message);
    static QByteArray bytes(const QJsonObject &body);
};
