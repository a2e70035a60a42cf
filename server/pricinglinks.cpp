#include "pricinglinks.h"

#include "serverclock.h"
#include "serverlog.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

QByteArray hashOf(const QString &link)
{
    return QCryptographicHash::hash(link.toLatin1(), QCryptographicHash::Sha256);
}

} // namespace

QString PricingLinks::open(const QString &phone)
{
    const qint64 now = m_clock.nowMs();
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("DELETE FROM pricing_links WHERE expires_ms <= ?"));
    query.addBindValue(now);
    query.exec();

    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    const QString link = QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(words), sizeof words)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    query.prepare(QStringLiteral(
        "INSERT INTO pricing_links (link_hash, phone, expires_ms) VALUES (?, ?, ?)"));
    query.addBindValue(hashOf(link));
    query.addBindValue(phone);
    query.addBindValue(now + validityMs);
    if (query.exec())
        return link;
    ServerLog::error({QStringLiteral("database"), query.lastError().text()});
    return {};
}

std::optional<QString> PricingLinks::use(const QString &link)
{
    if (link.isEmpty())
        return std::nullopt;
    // Taken by the one statement that removes it: a link opens the page once.
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral(
        "DELETE FROM pricing_links WHERE link_hash = ? AND expires_ms > ? RETURNING phone"));
    query.addBindValue(hashOf(link));
    query.addBindValue(m_clock.nowMs());
    if (!query.exec()) {
        ServerLog::error({QStringLiteral("database"), query.lastError().text()});
        return std::nullopt;
    }
    if (!query.next())
        return std::nullopt;
    return query.value(0).toString();
}
