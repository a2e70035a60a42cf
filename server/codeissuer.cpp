#include "codeissuer.h"

#include "serverclock.h"
#include "serverlog.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

CodeIssuer::CodeIssuer(QSqlDatabase db, const ServerClock &clock) : m_db(db), m_clock(clock) {}

QByteArray CodeIssuer::hash(const QString &phone, const QString &code)
{
    return QCryptographicHash::hash((phone + QLatin1Char('\n') + code).toUtf8(),
                                    QCryptographicHash::Sha256);
}

CodeIssuer::Issue CodeIssuer::issue(const QString &phone)
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

    const quint32 n = QRandomGenerator::system()->bounded(1000000u);
    const QString code = QStringLiteral("%1").arg(n, 6, 10, QLatin1Char('0'));
    QSqlQuery store(m_db);
    store.prepare(QStringLiteral("INSERT OR REPLACE INTO codes "
                                 "(phone, code_hash, issued_ms, expires_ms, wrong_tries) "
                                 "VALUES (?, ?, ?, ?, 0)"));
    store.addBindValue(phone);
    store.addBindValue(hash(phone, code));
    store.addBindValue(now);
    store.addBindValue(now + validityMs);
    if (!store.exec()) {
        ServerLog::error({QStringLiteral("database"), store.lastError().text()});
        return {};
    }
    return {Issue::Issued, code, 0};
}

CodeIssuer::Verdict CodeIssuer::verify(const QString &phone, const QString &code)
{
    QSqlQuery row(m_db);
    row.prepare(
        QStringLiteral("SELECT code_hash, expires_ms, wrong_tries FROM codes WHERE phone = ?"));
    row.addBindValue(phone);
    if (!row.exec()) {
        ServerLog::error({QStringLiteral("database"), row.lastError().text()});
        return Verdict::Failed;
    }
    if (!row.next())
        return Verdict::NoCode;
    const QByteArray stored = row.value(0).toByteArray();
    const qint64 expires = row.value(1).toLongLong();
    const int tries = row.value(2).toInt();
    row.finish();

    if (tries >= maxWrongTries)
        return Verdict::TooManyTries;
    if (m_clock.nowMs() >= expires)
        return Verdict::Expired;
    if (hash(phone, code) == stored)
        return remove(phone) ? Verdict::Accepted : Verdict::Failed;

    QSqlQuery count(m_db);
    count.prepare(QStringLiteral("UPDATE codes SET wrong_tries = wrong_tries + 1 WHERE phone = ?"));
    count.addBindValue(phone);
    if (!count.exec()) {
        ServerLog::error({QStringLiteral("database"), count.lastError().text()});
        return Verdict::Failed;
    }
    return tries + 1 >= maxWrongTries ? Verdict::TooManyTries : Verdict::Wrong;
}

bool CodeIssuer::remove(const QString &phone)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("DELETE FROM codes WHERE phone = ?"));
    query.addBindValue(phone);
    if (query.exec())
        return true;
    ServerLog::error({QStringLiteral("database"), query.lastError().text()});
    return false;
}
