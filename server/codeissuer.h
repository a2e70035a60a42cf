#pragma once

#include <QSqlDatabase>
#include <QString>

class ServerClock;

struct CodeLimits {
    int perSource = 10; // codes per source address per hour
    int total = 1000;   // codes per hour in all
};

// Sign-in codes: six digits, valid for five minutes, one new code per phone per minute, and a
// code stops working after five wrong tries. Each code costs a text message, so the codes sent
// per source address and in all are bounded per hour too. Codes are kept in the database as an
// HMAC under the server secret (a million codes are tried in no time against a plain hash of a
// copied database), so a restart of the server does not invalidate a code that was already
// sent, and servers sharing a database and secret share the codes and the limits.
class CodeIssuer {
public:
    static constexpr qint64 validityMs = 5 * 60 * 1000;
    static constexpr qint64 resendIntervalMs = 60 * 1000;
    static constexpr int maxWrongTries = 5;

    static constexpr qint64 limitWindowMs = 60 * 60 * 1000;
    using Limits = CodeLimits;

    CodeIssuer(QSqlDatabase db, const ServerClock &clock, QByteArray secret, Limits limits = {});

    struct Issue {
        enum Status { Issued, TooSoon, TooMany, Failed } status = Failed;
        QString code;         // when Issued
        qint64 retryInMs = 0; // when TooSoon
    };
    // `source` is the address that asked, for the hourly limits.
    Issue issue(const QString &phone, const QString &source);
    // Takes back a code that could not be delivered, so the user may ask again at once.
    void withdraw(const QString &phone);

    enum class Verdict { Accepted, Wrong, Expired, NoCode, TooManyTries, Failed };
    // A right code is used up; a wrong one counts against the code's tries.
    Verdict verify(const QString &phone, const QString &code);

private:
    QByteArray hash(const QString &phone, const QString &code) const;
    bool remove(const QString &phone);

    bool underLimits(const QString &source, qint64 now);

    QSqlDatabase m_db;
    const ServerClock &m_clock;
    QByteArray m_secret;
    Limits m_limits;
};
