#include "sessionstore.h"

#include "serverclock.h"
#include "serverlog.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

// Writing the time of use on every call would turn each quota check into a write; within this
// margin a token's last use is recent enough.
constexpr qint64 touchIntervalMs = 60 * 60 * 1000;

bool exec(QSqlQuery &query)
{
    if (query.exec())
        return true;
    ServerLog::error({QStringLiteral("database"), query.lastError().text()});
    return false;
}

} // namespace

SessionStore::SessionStore(QSqlDatabase db, const ServerClock &clock) : m_db(db), m_clock(clock) {}

QByteArray SessionStore::hash(const QString &token)
{
    return QCryptographicHash::hash(token.toLatin1(), QCryptographicHash::Sha256);
}

QString SessionStore::open(const QString &phone)
{
    const qint64 now = m_clock.nowMs();
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("DELETE FROM sessions WHERE last_used_ms < ?"));
    query.addBindValue(now - idleLifetimeMs);
    exec(query);

    quint32 words[8];
    QRandomGenerator::system()->fillRange(words);
    const QString token = QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(words), sizeof words)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    query.prepare(
        QStringLiteral("INSERT INTO sessions (token_hash, phone, last_used_ms) VALUES (?, ?, ?)"));
    query.addBindValue(hash(token));
    query.addBindValue(phone);
    query.addBindValue(now);
    return exec(query) ? token : QString();
}

bool SessionStore::revoke(const QString &token)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("DELETE FROM sessions WHERE token_hash = ?"));
    query.addBindValue(hash(token));
    return exec(query);
}

std::optional<QString> SessionStore::phoneOf(const QString &token, bool *failed)
{
    if (token.isEmpty())
        return std::nullopt;
    const qint64 now = m_clock.nowMs();
    const QByteArray key = hash(token);
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("SELECT phone, last_used_ms FROM sessions WHERE token_hash = ?"));
    query.addBindValue(key);
    if (!exec(query)) {
        if (failed)
            *failed = true;
        return std::nullopt;
    }
    if (!query.next())
        return std::nullopt;
    const QString phone = query.value(0).toString();
    const qint64 lastUsed = query.value(1).toLongLong();
    query.finish();
    if (now - lastUsed >= idleLifetimeMs)
        return std::nullopt;
    if (now - lastUsed >= touchIntervalMs) {
        query.prepare(QStringLiteral("UPDATE sessions SET last_used_ms = ? WHERE token_hash = ?"));
        query.addBindValue(now);
        query.addBindValue(key);
        exec(query);
    }
    return phone;
}
