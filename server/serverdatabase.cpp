#include "serverdatabase.h"

#include <QAtomicInt>
#include <QDir>
#include <QSqlError>
#include <QSqlQuery>

namespace {

bool run(QSqlDatabase &db, const QString &statement, QString *error)
{
    QSqlQuery query(db);
    if (query.exec(statement))
        return true;
    *error = query.lastError().text();
    return false;
}

} // namespace

QSqlDatabase ServerDatabase::open(const QString &directory, QString *error)
{
    static QAtomicInt counter;
    if (!QDir().mkpath(directory)) {
        *error = QStringLiteral("cannot create data directory ") + directory;
        return {};
    }
    const QString name = QStringLiteral("talvoro-server-%1").arg(counter.fetchAndAddRelaxed(1));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(QDir(directory).filePath(QStringLiteral("talvoro-server.sqlite")));
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!db.open()) {
        *error = db.lastError().text();
        return db;
    }
    // WAL lets the grant command and a running server share the file. synchronous=FULL makes
    // every committed deduction survive a power cut, not only a crash of the process.
    if (!run(db, QStringLiteral("PRAGMA journal_mode=WAL"), error) ||
        !run(db, QStringLiteral("PRAGMA synchronous=FULL"), error) || !createSchema(db, error)) {
        db.close();
    }
    return db;
}

void ServerDatabase::close(QSqlDatabase &db)
{
    const QString name = db.connectionName();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(name);
}

bool ServerDatabase::createSchema(QSqlDatabase &db, QString *error)
{
    // The balance is a REAL: the client charges fractional amounts computed in double precision
    // and the stored total is exactly the double that subtracting those amounts gives. Every
    // change is also kept in the ledger with the amount as it arrived.
    const char *statements[] = {
        "CREATE TABLE IF NOT EXISTS accounts ("
        " phone TEXT PRIMARY KEY,"
        " userid TEXT NOT NULL UNIQUE,"
        " username TEXT NOT NULL,"
        " avatar TEXT NOT NULL DEFAULT '',"
        " state TEXT NOT NULL,"
        " expiry TEXT NOT NULL DEFAULT '',"
        " translate_quota INTEGER NOT NULL DEFAULT 0,"
        " balance REAL NOT NULL,"
        " created_ms INTEGER NOT NULL)",
        "CREATE TABLE IF NOT EXISTS ledger ("
        " id INTEGER PRIMARY KEY,"
        " phone TEXT NOT NULL REFERENCES accounts(phone),"
        " kind TEXT NOT NULL,"
        " amount REAL NOT NULL,"
        " at_ms INTEGER NOT NULL)",
        "CREATE TABLE IF NOT EXISTS codes ("
        " phone TEXT PRIMARY KEY,"
        " code_hash BLOB NOT NULL,"
        " issued_ms INTEGER NOT NULL,"
        " expires_ms INTEGER NOT NULL,"
        " wrong_tries INTEGER NOT NULL DEFAULT 0)",
        "PRAGMA user_version=1",
    };
    for (const char *statement : statements) {
        if (!run(db, QString::fromLatin1(statement), error))
            return false;
    }
    return true;
}
