#pragma once

#include <QSqlDatabase>
#include <QString>

#include <optional>

class ServerClock;

// One-time addresses of the pricing page, for the browser the client opens it in, which has no
// session token to show. A link is 128 random bits, kept only as its SHA-256, good for one
// visit within five minutes; kept in the database, so any server sharing it opens the page.
class PricingLinks {
public:
    static constexpr qint64 validityMs = 5 * 60 * 1000;

    PricingLinks(QSqlDatabase db, const ServerClock &clock) : m_db(db), m_clock(clock) {}

    // A new link for the account of `phone`; empty when the database fails.
    QString open(const QString &phone);
    // The phone of the account `link` was made for, once; nullopt for an unknown, used or
    // expired link.
    std::optional<QString> use(const QString &link);

private:
    QSqlDatabase m_db;
    const ServerClock &m_clock;
};
