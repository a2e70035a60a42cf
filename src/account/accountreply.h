#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

// Lenient reading of the members of the service's account answers: a member that is missing or
// of another JSON type than expected reads as absent, never as a converted value (the number 42
// is not the text "42", the text "5" is not the number 5).
class AccountReply {
public:
    static std::optional<QString> string(const QJsonObject &reply, const char *member);
    // The member's text, or "" when it is not a string.
    static QString text(const QJsonObject &reply, const char *member)
    {
        return string(reply, member).value_or(QString());
    }
    static std::optional<double> number(const QJsonObject &reply, const char *member);
    // A number whose value is a whole number that fits 64 bits; 7.5 or 1e300 are absent.
    static std::optional<qint64> integer(const QJsonObject &reply, const char *member);
};
