#include "core/settingsstore.h"

#include "core/writeturn.h"

#include "core/diagnosticlog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QQmlEngine>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QUuid>

namespace {

QString typeName(SettingsStore::Type type)
{
    switch (type) {
    case SettingsStore::Type::Bool:
        return QStringLiteral("bool");
    case SettingsStore::Type::Int:
        return QStringLiteral("int");
    case SettingsStore::Type::String:
        return QStringLiteral("string");
    case SettingsStore::Type::Blob:
        return QStringLiteral("blob");
    }
    return {};
}

std::optional<SettingsStore::Type> typeFromName(const QString &name)
{
    if (name == u"bool")
        return SettingsStore::Type::Bool;
    if (name == u"int")
        return SettingsStore::Type::Int;
    if (name == u"string")
        return SettingsStore::Type::String;
    if (name == u"blob")
        return SettingsStore::Type::Blob;
    return std::nullopt;
}

} // namespace

SettingsStore::SettingsStore(const QString &path, QObject *parent)
    : QObject(parent), m_path(path),
      m_connectionName(QStringLiteral("settings-") + QUuid::createUuid().toString(QUuid::Id128))
{
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    QString reason;
    Opened opened = openAndLoad(false, reason);
    if (opened == Opened::NotOurs) {
        moveAsideUnreadable(reason);
        opened = openAndLoad(false, reason);
    }
    if (opened == Opened::Unavailable) {
        // With no room for the shared index file (a full disk) a WAL database can still be
        // read by one process holding it alone, with the index in memory.
        opened = openAndLoad(true, reason);
    }
    if (opened != Opened::Ready) {
        close();
        m_cache.clear();
        m_attached = false;
        DiagnosticLog::line("设置数据库暂时无法使用", m_path, reason);
    }
}

SettingsStore::~SettingsStore()
{
    close();
}

QString SettingsStore::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) +
           QStringLiteral("/settings.sqlite");
}

void SettingsStore::close()
{
    if (!QSqlDatabase::contains(m_connectionName))
        return;
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

SettingsStore::Opened SettingsStore::openAndLoad(bool exclusive, QString &reason)
{
    close();
    m_cache.clear();
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    m_db.setDatabaseName(m_path);

    // Only what SQLite itself calls damaged or not a database is moved aside; anything else
    // (a full disk, an I/O error, a lock) says nothing about the file's contents.
    const auto failed = [&reason](const QSqlError &error) {
        reason = error.text();
        const int code = error.nativeErrorCode().toInt() & 0xff; // primary result code
        constexpr int sqliteCorrupt = 11;
        constexpr int sqliteNotADatabase = 26;
        return code == sqliteCorrupt || code == sqliteNotADatabase ? Opened::NotOurs
                                                                   : Opened::Unavailable;
    };
    if (!m_db.open())
        return failed(m_db.lastError());

    QSqlQuery q(m_db);
    if (exclusive && !q.exec(QStringLiteral("PRAGMA locking_mode=EXCLUSIVE")))
        return failed(q.lastError());

    // Look before changing anything: a file that turns out not to be ours is kept as it was.
    if (!q.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table'")))
        return failed(q.lastError());
    QStringList tables;
    while (q.next())
        tables << q.value(0).toString();
    if (q.lastError().isValid())
        return failed(q.lastError());
    if (!tables.isEmpty() && !tables.contains(QStringLiteral("settings"))) {
        reason = QStringLiteral("tables: ") + tables.join(u' ');
        return Opened::NotOurs;
    }
    // A table of that name with other columns: another program's.
    if (!tables.isEmpty() &&
        !q.exec(QStringLiteral("SELECT key, type, value FROM settings LIMIT 0"))) {
        reason = q.lastError().text();
        return Opened::NotOurs;
    }

    // WAL keeps the last committed value readable if the process dies mid-write; NORMAL
    // syncing is durable against process crashes, which is what a desktop app meets. Large
    // pages hold a long answer's row whole, where 4 KiB pages spill it into a mostly empty
    // overflow page (a third more file for a heavy history), and a one-message write still
    // takes a fraction of a millisecond (applies when the file is created).
    const char *setup[] = {
        "PRAGMA page_size=65536",
        "PRAGMA journal_mode=WAL",
        "PRAGMA synchronous=NORMAL",
        "PRAGMA wal_autocheckpoint=256",
        "PRAGMA journal_size_limit=16777216",
        "CREATE TABLE IF NOT EXISTS settings (key TEXT PRIMARY KEY, type TEXT NOT NULL, value)",
    };
    for (const char *statement : setup) {
        if (!q.exec(QString::fromLatin1(statement)))
            return failed(q.lastError());
    }

    // Blobs stay in the file until asked for (see the class comment).
    if (!q.exec(QStringLiteral("SELECT key, type, CASE WHEN type = 'blob' THEN NULL ELSE value "
                               "END FROM settings")))
        return failed(q.lastError());
    while (q.next()) {
        const auto type = typeFromName(q.value(1).toString());
        if (!type)
            continue;
        if (*type == Type::Blob) {
            m_cache.insert(q.value(0).toString(), Entry{Type::Blob, {}, true});
            continue;
        }
        QVariant v = q.value(2);
        switch (*type) {
        case Type::Bool:
            v = QVariant(v.toLongLong() != 0);
            break;
        case Type::Int:
            v = QVariant(v.toLongLong());
            break;
        case Type::String:
            v = QVariant(v.toString());
            break;
        case Type::Blob:
            break;
        }
        m_cache.insert(q.value(0).toString(), Entry{*type, v});
    }
    // A damaged page ends the rows early with an error, not with a shorter table.
    if (q.lastError().isValid())
        return failed(q.lastError());
    return Opened::Ready;
}

void SettingsStore::moveAsideUnreadable(const QString &reason)
{
    close();
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const QString aside = m_path + QStringLiteral(".unreadable-") + stamp;
    // The journal files belong to the file they were written for and go with it.
    for (const char *suffix : {"-wal", "-shm"}) {
        if (QFile::exists(m_path + suffix) && !QFile::rename(m_path + suffix, aside + suffix))
            QFile::remove(m_path + suffix);
    }
    if (QFile::rename(m_path, aside))
        DiagnosticLog::line("设置数据库无法读取，已移至", aside, reason);
    else
        DiagnosticLog::line("设置数据库无法读取", m_path, reason);
}

std::optional<QByteArray> SettingsStore::storedBytes(const QString &key) const
{
    if (!m_attached)
        return std::nullopt;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT CAST(value AS BLOB) FROM settings WHERE key = ?"));
    q.addBindValue(key);
    if (!q.exec() || !q.next())
        return std::nullopt;
    return q.value(0).toByteArray();
}

bool SettingsStore::getBool(const QString &key, bool fallback) const
{
    const QVariant v = value(key, Type::Bool);
    return v.isValid() ? v.toBool() : fallback;
}

qint64 SettingsStore::getInt(const QString &key, qint64 fallback) const
{
    const QVariant v = value(key, Type::Int);
    return v.isValid() ? v.toLongLong() : fallback;
}

std::optional<QString> SettingsStore::getString(const QString &key) const
{
    const QVariant v = value(key, Type::String);
    if (!v.isValid())
        return std::nullopt;
    return v.toString();
}

std::optional<QByteArray> SettingsStore::getData(const QString &key) const
{
    const QVariant v = value(key, Type::Blob);
    if (!v.isValid())
        return std::nullopt;
    return v.toByteArray();
}

QVariant SettingsStore::value(const QString &key, Type type) const
{
    const auto it = m_cache.constFind(key);
    if (it == m_cache.cend() || it->type != type)
        return {};
    if (it->onDisk) {
        const auto bytes = storedBytes(key);
        return bytes ? QVariant(*bytes) : QVariant();
    }
    return it->value;
}

void SettingsStore::set(const QString &key, bool value)
{
    store(key, Entry{Type::Bool, QVariant(value)});
}

void SettingsStore::set(const QString &key, qint64 value)
{
    store(key, Entry{Type::Int, QVariant(value)});
}

void SettingsStore::set(const QString &key, const QString &value)
{
    store(key, Entry{Type::String, QVariant(value)});
}

void SettingsStore::set(const QString &key, const QByteArray &value)
{
    store(key, Entry{Type::Blob, QVariant(value)});
}

void SettingsStore::store(const QString &key, Entry entry)
{
    if (!m_attached) {
        refuseWrite(key);
        m_cache.insert(key, std::move(entry));
        emit changed(key);
        return;
    }
    QMutexLocker turn(&WriteTurn::mutex());
    QSqlQuery q(m_db);
    q.prepare(
        QStringLiteral("INSERT OR REPLACE INTO settings (key, type, value) VALUES (?, ?, ?)"));
    q.addBindValue(key);
    q.addBindValue(typeName(entry.type));
    switch (entry.type) {
    case Type::Bool:
        q.addBindValue(entry.value.toBool() ? 1 : 0);
        break;
    case Type::Int:
        q.addBindValue(entry.value.toLongLong());
        break;
    case Type::String:
        q.addBindValue(entry.value.toString());
        break;
    case Type::Blob:
        q.addBindValue(entry.value.toByteArray());
        break;
    }
    m_lastWriteOk = q.exec();
    if (!m_lastWriteOk)
        DiagnosticLog::line("设置写入失败:", key, q.lastError().text());
    q.finish();
    turn.unlock();

    if (entry.type == Type::Blob && m_lastWriteOk)
        entry = Entry{Type::Blob, {}, true};
    m_cache.insert(key, std::move(entry));
    emit changed(key);
}

void SettingsStore::refuseWrite(const QString &key)
{
    // The database was never read: writing into it could replace what this run never saw.
    m_lastWriteOk = false;
    DiagnosticLog::line("设置写入失败:", key, "设置数据库暂时无法使用");
}

void SettingsStore::remove(const QString &key)
{
    if (!m_attached) {
        refuseWrite(key);
    } else {
        QMutexLocker turn(&WriteTurn::mutex());
        QSqlQuery q(m_db);
        q.prepare(QStringLiteral("DELETE FROM settings WHERE key = ?"));
        q.addBindValue(key);
        m_lastWriteOk = q.exec();
        if (!m_lastWriteOk)
            DiagnosticLog::line("设置写入失败:", key, q.lastError().text());
    }

    if (m_cache.remove(key) > 0)
        emit changed(key);
}
