#include "codeissuer.h"

#include "serverclock.h"
#include "serverlog.h"

#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

CodeIssuer::CodeIssuer(QSqlDatabase db, const ServerClock &clock, QByteArray secret, Limits limits)
    : m_db(db), m_clock(clock), m_secret(std::move(secret)), m_limits(limits)
{}

QByteArray CodeIssuer::hash(const QString &phone, const QString &code) const
{
    return QMessageAuthenticationCode::hash((phone + QLatin1Char('\n') + code).toUtf8(), m_secret,
                                            QCryptographicHash::Sha256);
}

bool CodeIssuer::underLimits(const QString &source, qint64 now)
{
    // Old sends no longer count; dropping them keeps the table at one hour's worth.
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("DELETE FROM code_sends WHERE at_ms <= ?"));
    query.addBindValue(now - limitWindowMs);
    if (!query.exec())
        ServerLog::error({QStringLiteral("database"), query.lastError().text()});
    query.prepare(QStringLiteral("SELECT COUNT(*), COALESCE(SUM(CASE WHEN source = ? THEN 1 "
                                 "ELSE 0 END), 0) FROM code_sends WHERE at_ms > ?"));
    query.addBindValue(source);
    query.addBindValue(now - limitWindowMs);
    if (!query.exec() || !query.next()) {
        ServerLog::error({QStringLiteral("database"), query.lastError().text()});
        return false;
    }
    if (query.value(0).toLongLong() >= m_limits.total) {
        ServerLog::warning({QStringLiteral("sign-in codes: hourly limit reached")});
        return false;
    }
    if (query.value(1).toLongLong() >= m_limits.perSource) {
        ServerLog::warning({QStringLiteral("sign-in codes: hourly limit reached for"), source});
        return false;
    }
    return true;
}

CodeIssuer::Issue CodeIssuer::issue(const QString &phone, const QString &source)
{
    const qint64 now = m_clock.nowMs();
    QSqlQuery last(m_db);
    last.prepare(QStringLiteral("SELECT issued_ms FROM codes WHERE phone = ?"));
    last.addBindValue(phone);
    if (!last.exec()) {
        ServerLog::error({QStringLiteral("database"), last.lastError().text()});
        return {};
    }
    if (last.next()) {
        const qint64 since = now - last.value(0).toLongLong();
        // A clock that went backwards counts as "just sent" rather than as a free resend.
        if (since < resendIntervalMs)
            return {Issue::TooSoon, {}, resendIntervalMs - qMax<qint64>(since, 0)};
    }
    last.finish();
    if (!underLimits(source, now))
        return {Issue::TooMany, {}, 0};

    const quint32 n = QRandomGenerator::system()->bounded(1000000u);
    const QString code = QStringLiteral("%1").arg(n, 6, 10, QLatin1Char('0'));
    // The condition repeats the check above inside the write, so two servers sharing the
    // database cannot both send a code to one phone within the minute.
    QSqlQuery store(m_db);
    store.prepare(QStringLiteral(
        "INSERT INTO codes (phone, code_hash, issued_ms, expires_ms, wrong_tries) "
        "VALUES (?, ?, ?, ?, 0) ON CONFLICT (phone) DO UPDATE SET code_hash = excluded.code_hash, "
        "issued_ms = excluded.issued_ms, expires_ms = excluded.expires_ms, wrong_tries = 0 "
        "WHERE codes.issued_ms <= ?"));
    store.addBindValue(phone);
    store.addBindValue(hash(phone, code));
    store.addBindValue(now);
    store.addBindValue(now + validityMs);
    store.addBindValue(now - resendIntervalMs);
    if (!store.exec()) {
        ServerLog::error({QStringLiteral("database"), store.lastError().text()});
        return {};
    }
    if (store.numRowsAffected() != 1)
        return {Issue::TooSoon, {}, resendIntervalMs};
    QSqlQuery sent(m_db);
    sent.prepare(QStringLiteral("INSERT INTO code_sends (source, at_ms) VALUES (?, ?)"));
    sent.addBindValue(source);
    sent.addBindValue(now);
    if (!sent.exec())
        ServerLog::error({QStringLiteral("database"), sent.lastError().text()});
    return {Issue::Issued, code, 0};
}

CodeIssuer::Verdict CodeIssuer::verify(const QString &phone, const QString &code)
{
    const qint64 now = m_clock.nowMs();
    // Every attempt first takes one of the code's tries in a single statement, so however many
    // arrive at once, on however many servers, at most five are ever compared; the one that
    // matches then removes the code.
    QSqlQuery take(m_db);
    take.prepare(QStringLiteral("UPDATE codes SET wrong_tries = wrong_tries + 1 WHERE phone = ? "
                                "AND wrong_tries < ? AND expires_ms > ? "
                                "RETURNING code_hash, wrong_tries"));
    take.addBindValue(phone);
    take.addBindValue(maxWrongTries);
    take.addBindValue(now);
    if (!take.exec()) {
        ServerLog::error({QStringLiteral("database"), take.lastError().text()});
        return Verdict::Failed;
    }
    if (take.next()) {
        const QByteArray stored = take.value(0).toByteArray();
        const int tries = take.value(1).toInt();
        take.finish();
        // Only the request that removes the code signs in: two at once with the right code would
        // otherwise both succeed.
        if (hash(phone, code) == stored)
            return remove(phone) ? Verdict::Accepted : Verdict::NoCode;
        return tries >= maxWrongTries ? Verdict::TooManyTries : Verdict::Wrong;
    }
    take.finish();

    QSqlQuery row(m_db);
    row.prepare(QStringLiteral("SELECT expires_ms, wrong_tries FROM codes WHERE phone = ?"));
    row.addBindValue(phone);
    if (!row.exec()) {
        ServerLog::error({QStringLiteral("database"), row.lastError().text()});
        return Verdict::Failed;
    }
    if (!row.next())
        return Verdict::NoCode;
    return row.value(1).toInt() >= maxWrongTries ? Verdict::TooManyTries : Verdict::Expired;
}

bool CodeIssuer::remove(const QString &phone)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("DELETE FROM codes WHERE phone = ?"));
    query.addBindValue(phone);
    if (query.exec())
        return query.numRowsAffected() == 1;
    ServerLog::error({QStringLiteral("database"), query.lastError().text()});
    return false;
}

void CodeIssuer::withdraw(const QString &phone)
{
    remove(phone);
}
