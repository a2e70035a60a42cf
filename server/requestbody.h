#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

class QHttpServerRequest;

// The JSON object a POST carries, and its typed members. Every refusal comes with a Chinese
// sentence that says what was wrong, for the 400 answer.
class RequestBody {
public:
    // nullopt (and `error` set) when the body is not one JSON object.
    static std::optional<RequestBody> parse(const QByteArray &body, QString *error);

    // The member as a string; nullopt (and `error` set) when missing or of another type.
    std::optional<QString> string(const char *name, QString *error) const;
    // The member as a finite number; nullopt (and `error` set) when missing, of another type or
    // not finite.
    std::optional<double> number(const char *name, QString *error) const;

private:
    explicit RequestBody(QJsonObject object) : m_object(std::move(object)) {}
    QJsonObject m_object;
};
