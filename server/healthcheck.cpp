#include "healthcheck.h"

#include "serverclock.h"
#include "serverlog.h"

#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

#include <sys/stat.h>

HealthCheck::HealthCheck(QSqlDatabase db, const ServerClock &clock, const QString &sqlitePath)
    : m_db(db), m_clock(clock), m_path(sqlitePath),
      m_server(QUuid::createUuid().toString(QUuid::WithoutBraces))
{
    struct stat file {};
    if (!m_path.isEmpty() && ::stat(QFile::encodeName(m_path).constData(), &file) == 0) {
        m_device = file.st_dev;
        m_inode = file.st_ino;
    }
}

bool HealthCheck::healthy()
{
    if (!m_path.isEmpty()) {
        struct stat file {};
        if (::stat(QFile::encodeName(m_path).constData(), &file) != 0 || file.st_dev != m_device ||
            file.st_ino != m_inode) {
            ServerLog::error({QStringLiteral("database file is gone or replaced"), m_path});
            return false;
        }
    }
    QSqlQuery beat(m_db);
    beat.prepare(QStringLiteral("INSERT INTO heartbeat (server, at_ms) VALUES (?, ?) "
                                "ON CONFLICT (server) DO UPDATE SET at_ms = excluded.at_ms"));
    beat.addBindValue(m_server);
    beat.addBindValue(m_clock.nowMs());
    if (beat.exec())
        return true;
    ServerLog::error({QStringLiteral("database"), beat.lastError().text()});
    return false;
}
