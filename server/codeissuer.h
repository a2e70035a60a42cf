#pragma once

#include <QSqlDatabase>
#include <QString>

class ServerClock;

// Sign-in codes: six digits, valid for five minutes, one new code per phone per minute, and a
// code stops working after five wrong tries. Codes are kept (hashed) in the database, so a
// restart of the server does not invalidate a code that was already sent.
class CodeIssuer {
public:
    static constexpr qint64 validityMs = 5 * 60 * 1000;
    static constexpr qint64 resendIntervalMs = 60 * 1000;
    static constexpr int maxWrongTries = 5;

    CodeIssuer(QSqlDatabase db, const ServerClock &clock);

    struct Issue {
        enum Status { Issued, TooSoon, Failed } status = Failed;
        QString code;         // when Issued
        qint64 retryInMs = 0; // when TooSoon
    };
    Issue issue(const QString &phone);

    enum class Verdict { Accepted, Wrong, Expired, NoCode, TooManyTries, Failed };
    // A right code is used up; a wrong one counts against the code's tries.
    Verdict verify(const QString &phone, const QString &code);

private:
    static QByteArray hash(const QString &phone, const QString &code);
    bool remove(const QString &phone);

    QSqlDatabase m_db;
    const ServerClock &m_clock;
};
