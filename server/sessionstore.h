#pragma once

#include <QSqlDatabase>
#include <QString>

#include <optional>

class ServerClock;

// Session tokens handed out at sign-in. A token is 256 random bits; only its SHA-256 is kept,
// so the database alone does not let anyone act as a user. A token lapses after 30 days without
// use.
class SessionStore {
public:
    static constexpr qint64 idleLifetimeMs = 30LL * 24 * 60 * 60 * 1000;

    SessionStore(QSqlDatabase db, const ServerClock &clock);

    // A new token for the account of `phone`; empty when the database fails.
    QString open(const QString &phone);
    // The phone of the account whose live token `token` is; nullopt also when the database
    // fails, which sets `failed`.
    std::optional<QString> phoneOf(const QString &token, bool *failed = nullptr);
    // Ends the session of `token`; false only when the database fails.
    bool revoke(const QString &token);

private:
    static QByteArray hash(const QString &token);

    QSqlDatabase m_db;
    const ServerClock &m_clock;
};
