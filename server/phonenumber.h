#pragma once

#include <QString>

#include <optional>

// The account key. The client sends its country code glued to whatever was typed, spaces
// included, so spaces and dashes are dropped before the number is checked and stored; the
// stored form is what the sign-in reply hands back, and what later quota calls then send.
class PhoneNumber {
public:
    // An optional "+" and 5 to 20 digits once spaces and dashes are gone; nullopt otherwise.
    static std::optional<QString> normalized(const QString &raw);
};
