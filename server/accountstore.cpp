#include "accountstore.h"

#include "serverclock.h"
#include "serverlog.h"

#include <QSqlError>
#include <QUuid>
#include <QVariant>

namespace {

const QString selectColumns = QStringLiteral(
    "SELECT phone, userid, username, avatar, state, expiry, translate_quota, balance "
    "FROM accounts ");

QString usernameFor(const QString &phone)
{
    return QStringLiteral("用户") + phone.right(4);
}

} // namespace

AccountStore::AccountStore(QSqlDatabase db, const ServerClock &clock, double startingBalance)
    : m_db(db), m_clock(clock), m_startingBalance(startingBalance), m_balanceQuery(db),
      m_deductQuery(db), m_ledgerQuery(db)
{
    // Prepared once: the quota check and the deduction are the hot paths.
    m_balanceQuery.prepare(QStringLiteral("SELECT balance FROM accounts WHERE phone = ?"));
    // One statement that cannot lose an update, however many servers share the database: the
    // subtraction happens in the database, never as a read and a write from here.
    m_deductQuery.prepare(QStringLiteral(
        "UPDATE accounts SET balance = balance - ? WHERE phone = ? RETURNING balance"));
    m_ledgerQuery.prepare(
        QStringLiteral("INSERT INTO ledger (phone, kind, amount, at_ms) VALUES (?, ?, ?, ?)"));
}

std::optional<Account> AccountStore::readOne(QSqlQuery &query)
{
    if (!query.exec()) {
        ServerLog::error({QStringLiteral("database"), query.lastError().text()});
        return std::nullopt;
    }
    if (!query.next())
        return std::nullopt;
    Account a;
    a.phone = query.value(0).toString();
    a.userid = query.value(1).toString();
    a.username = query.value(2).toString();
    a.avatar = query.value(3).toString();
    a.state = query.value(4).toString();
    a.expiry = query.value(5).toString();
    a.translateQuota = query.value(6).toLongLong();
    a.balance = query.value(7).toDouble();
    return a;
}

std::optional<Account> AccountStore::byPhone(const QString &phone)
{
    QSqlQuery query(m_db);
    query.prepare(selectColumns + QStringLiteral("WHERE phone = ?"));
    query.addBindValue(phone);
    return readOne(query);
}

std::optional<Account> AccountStore::byUserid(const QString &userid)
{
    QSqlQuery query(m_db);
    query.prepare(selectColumns + QStringLiteral("WHERE userid = ?"));
    query.addBindValue(userid);
    return readOne(query);
}

std::optional<Account> AccountStore::signIn(const QString &phone)
{
    if (auto existing = byPhone(phone))
        return existing;
    if (!m_db.transaction())
        return std::nullopt;
    const Created created = create(phone);
    if (created == Created::Failed ||
        (created == Created::New && !record(phone, "start", m_startingBalance)) || !m_db.commit()) {
        m_db.rollback();
        return std::nullopt;
    }
    if (created == Created::New)
        ServerLog::info({QStringLiteral("account created"), phone});
    return byPhone(phone);
}

AccountStore::Created AccountStore::create(const QString &phone)
{
    // Another server on the same database may create the account between our look-up and
    // this insert; that account is then the one to use.
    QSqlQuery insert(m_db);
    insert.prepare(
        QStringLiteral("INSERT INTO accounts (phone, userid, username, state, balance, created_ms) "
                       "VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (phone) DO NOTHING"));
    insert.addBindValue(phone);
    // Random, so a user id (which alone opens the account page) cannot be guessed from another.
    insert.addBindValue(QUuid::createUuid().toString(QUuid::Id128));
    insert.addBindValue(usernameFor(phone));
    insert.addBindValue(QString::fromUtf8(freeState));
    insert.addBindValue(m_startingBalance);
    insert.addBindValue(m_clock.nowMs());
    if (insert.exec())
        return insert.numRowsAffected() == 1 ? Created::New : Created::Existing;
    ServerLog::error({QStringLiteral("database"), insert.lastError().text()});
    return Created::Failed;
}

bool AccountStore::record(const QString &phone, const char *kind, double amount)
{
    m_ledgerQuery.addBindValue(phone);
    m_ledgerQuery.addBindValue(QString::fromLatin1(kind));
    m_ledgerQuery.addBindValue(amount);
    m_ledgerQuery.addBindValue(m_clock.nowMs());
    const bool ok = m_ledgerQuery.exec();
    if (!ok)
        ServerLog::error({QStringLiteral("database"), m_ledgerQuery.lastError().text()});
    m_ledgerQuery.finish();
    return ok;
}

bool AccountStore::hasQuota(const QString &phone, bool *failed)
{
    m_balanceQuery.addBindValue(phone);
    bool result = false;
    const bool ran = m_balanceQuery.exec();
    if (!ran) {
        ServerLog::error({QStringLiteral("database"), m_balanceQuery.lastError().text()});
        if (failed)
            *failed = true;
    }
    if (ran && m_balanceQuery.next())
        result = m_balanceQuery.value(0).toDouble() > 0;
    m_balanceQuery.finish();
    return result;
}

void AccountStore::deduct(const QString &phone, double amount, Deducted done)
{
    if (m_deductions.empty())
        QMetaObject::invokeMethod(
            &m_applier, [this] { applyDeductions(); }, Qt::QueuedConnection);
    m_deductions.push_back({phone, amount, std::move(done)});
}

void AccountStore::applyDeductions()
{
    const std::vector<PendingDeduction> batch = std::exchange(m_deductions, {});
    std::vector<Change> results(batch.size(), Change::Failed);
    // A deduction the database refuses fails alone: the group is rolled back and tried again
    // without it, so one account's bad request never fails another's. Savepoints would do the
    // same at two more statements for every deduction, failing or not.
    std::vector<bool> excluded(batch.size(), false);
    for (bool retry = true; retry;) {
        retry = false;
        bool ok = m_db.transaction();
        for (size_t i = 0; ok && i < batch.size(); ++i) {
            if (excluded[i])
                continue;
            results[i] = deductOne(batch[i].phone, batch[i].amount);
            if (results[i] == Change::Failed) {
                ok = false;
                excluded[i] = true;
                retry = true;
            }
        }
        if (ok && m_db.commit())
            break;
        m_db.rollback();
        if (!retry) {
            results.assign(batch.size(), Change::Failed);
            break;
        }
        for (size_t i = 0; i < batch.size(); ++i) {
            if (!excluded[i])
                results[i] = Change::Failed;
        }
    }
    for (size_t i = 0; i < batch.size(); ++i)
        batch[i].done(results[i]);
}

AccountStore::Change AccountStore::deductOne(const QString &phone, double amount)
{
    m_deductQuery.addBindValue(amount);
    m_deductQuery.addBindValue(phone);
    const bool updated = m_deductQuery.exec();
    const bool found = updated && m_deductQuery.next();
    if (!updated)
        ServerLog::error({QStringLiteral("database"), m_deductQuery.lastError().text()});
    m_deductQuery.finish();
    if (!updated)
        return Change::Failed;
    if (!found)
        return Change::NoAccount;
    return record(phone, "deduct", amount) ? Change::Done : Change::Failed;
}

AccountStore::Change AccountStore::grant(const QString &phone, double amount)
{
    if (!m_db.transaction())
        return Change::Failed;
    const Created created = create(phone);
    bool ok = created == Created::Existing ||
              (created == Created::New && record(phone, "start", m_startingBalance));
    if (ok) {
        QSqlQuery update(m_db);
        update.prepare(QStringLiteral("UPDATE accounts SET balance = balance + ? WHERE phone = ?"));
        update.addBindValue(amount);
        update.addBindValue(phone);
        ok = update.exec() && record(phone, "grant", amount);
    }
    if (!ok || !m_db.commit()) {
        m_db.rollback();
        return Change::Failed;
    }
    return Change::Done;
}
