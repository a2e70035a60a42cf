#pragma once

#include <QSqlDatabase>
#include <QString>

// The server's SQLite file: accounts, their ledger and the pending sign-in codes. Opened in WAL
// mode so `talvoro-server grant` can write while a running server reads and writes.
class ServerDatabase {
public:
    // Opens (creating when needed) "talvoro-server.sqlite" in `directory` under a connection
    // name of its own. On failure the returned database is not open and `error` says why.
    static QSqlDatabase open(const QString &directory, QString *error);
    static void close(QSqlDatabase &db);

private:
    static bool createSchema(QSqlDatabase &db, QString *error);
};
