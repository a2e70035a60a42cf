#pragma once

#include <QSqlDatabase>
#include <QString>

#include <sys/types.h>

class ServerClock;

// What /healthz answers: whether the database still takes a write (a heartbeat row of this
// server, so a full disk or a read-only file shows) and, for SQLite, whether the file the server
// has open is still the one at its path (a deleted or replaced file keeps answering through the
// open handle while nothing written to it survives).
class HealthCheck {
public:
    // `sqlitePath` empty for PostgreSQL. Made right after the database is opened.
    HealthCheck(QSqlDatabase db, const ServerClock &clock, const QString &sqlitePath);

    bool healthy();

private:
    QSqlDatabase m_db;
    const ServerClock &m_clock;
    QString m_path;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    QString m_server; // this process's heartbeat row
};
