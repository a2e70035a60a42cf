#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The key the server signs with (sign-in codes are stored as an HMAC under it), kept in a file
// only its owner may read. The first start makes it: 32 random bytes, created 0600.
class ServerSecret {
public:
    // The secret in `path`, made there when the file is absent; nullopt (and `error` set) when
    // it can be neither read nor made.
    static std::optional<QByteArray> loadOrCreate(const QString &path, QString *error);
};
