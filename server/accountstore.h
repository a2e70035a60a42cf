#pragma once

#include <QObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

class ServerClock;

struct Account {
    QString phone;
    QString userid;
    QString username;
    QString avatar;
    QString state;
    QString expiry;
    qint64 translateQuota = 0;
    double balance = 0;
};

// Accounts and their balances, keyed by the normalized phone number. Each change of a balance is
// one SQL transaction that also appends the change to the ledger; the balance itself is changed
// by one UPDATE, so several servers on one database never lose a change.
class AccountStore {
public:
    AccountStore(QSqlDatabase db, const ServerClock &clock, double startingBalance);

    enum class Change { Done, NoAccount, Failed };

    std::optional<Account> byPhone(const QString &phone);
    std::optional<Account> byUserid(const QString &userid);
    // The account of `phone`, created with the starting balance on first sign-in. nullopt only
    // when the database fails.
    std::optional<Account> signIn(const QString &phone);
    // Whether the balance is above zero; false for an unknown phone, and when the database fails,
    // which sets `failed`.
    bool hasQuota(const QString &phone, bool *failed = nullptr);
    using Deducted = std::function<void(Change)>;
    // Takes `amount` (finite, not negative) off the balance. The balance may go below zero: the
    // answer of a request that was allowed is charged after it has been given. Deductions asked
    // for in one turn of the event loop are applied together after it, in one transaction, so
    // they share one flush to disk (a commit waits for the disk: one per deduction would bound
    // the server by the disk's latency). `done` runs once that commit is durable, or failed.
    void deduct(const QString &phone, double amount, Deducted done);
    // Adds `amount` to the balance, creating the account when there is none.
    Change grant(const QString &phone, double amount);

    static constexpr const char *freeState = "免费";

private:
    std::optional<Account> readOne(QSqlQuery &query);
    enum class Created { New, Existing, Failed };
    Created create(const QString &phone);
    bool record(const QString &phone, const char *kind, double amount);
    Change deductOne(const QString &phone, double amount);
    void applyDeductions();

    QSqlDatabase m_db;
    const ServerClock &m_clock;
    double m_startingBalance;
    QSqlQuery m_balanceQuery;
    QSqlQuery m_deductQuery;
    QSqlQuery m_ledgerQuery;
    struct PendingDeduction {
        QString phone;
        double amount;
        Deducted done;
    };
    std::vector<PendingDeduction> m_deductions;
    QObject m_applier; // receives the queued call that applies them; gone with the store
};
