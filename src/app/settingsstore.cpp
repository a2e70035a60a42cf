#include "settingsstore.h"

#include "diagnosticlog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QQmlEngine>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QUuid>

SettingsStore *SettingsStore::s_instance = nullptr;

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
    if (!open()) {
        moveAsideUnreadable(m_db.lastError().text());
        open();
    }
    load();
}

SettingsStore::~SettingsStore()
{
    if (s_instance == this)
        s_instance = nullptr;
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

QString SettingsStore::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) +
           QStringLiteral("/settings.sqlite");
}

void SettingsStore::setInstance(SettingsStore *store)
{
    s_instance = store;
}

SettingsStore *SettingsStore::instance()
{
    return s_instance;
}

SettingsStore *SettingsStore::create(QQmlEngine *, QJSEngine *)
{
    Q_ASSERT(s_instance);
    QQmlEngine::setObjectOwnership(s_instance, QQmlEngine::CppOwnership);
    return s_instance;
}

bool SettingsStore::open()
{
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    m_db.setDatabaseName(m_path);
    if (!m_db.open())
        return false;

    QSqlQuery q(m_db);
    // WAL keeps the last committed value readable if the process dies mid-write; NORMAL
    // syncing is durable against process crashes, which is what a desktop app meets. The
    // history is one multi-megabyte value rewritten on every answer: large pages cut the
    // per-page cost of that write several times over (applies when the file is created).
    const char *setup[] = {
        "PRAGMA page_size=65536",
        "PRAGMA journal_mode=WAL",
        "PRAGMA synchronous=NORMAL",
        "PRAGMA wal_autocheckpoint=256",
        "PRAGMA journal_size_limit=16777216",
        "CREATE TABLE IF NOT EXISTS settings (key TEXT PRIMARY KEY, type TEXT NOT NULL, value)",
    };
    for (const char *statement : setup) {
        if (!q.exec(QString::fromLatin1(statement))) {
            m_db.close();
            return false;
        }
    }
    return true;
}

void SettingsStore::moveAsideUnreadable(const QString &reason)
{
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);

    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const QString aside = m_path + QStringLiteral(".unreadable-") + stamp;
    QFile::remove(m_path + QStringLiteral("-wal"));
    QFile::remove(m_path + QStringLiteral("-shm"));
    if (QFile::rename(m_path, aside))
        DiagnosticLog::line("设置数据库无法读取，已移至", aside, reason);
    else
        DiagnosticLog::line("设置数据库无法读取", m_path, reason);
}

void SettingsStore::load()
{
    QSqlQuery q(m_db);
    // Blobs stay in the file until asked for (see the class comment).
    if (!q.exec(QStringLiteral("SELECT key, type, CASE WHEN type = 'blob' THEN NULL ELSE value "
                               "END FROM settings")))
        return;
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
    if (it->onDisk)
        return readBlob(key);
    return it->value;
}

QVariant SettingsStore::readBlob(const QString &key) const
{
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT value FROM settings WHERE key = ? AND type = 'blob'"));
    q.addBindValue(key);
    if (!q.exec() || !q.next())
        return {};
    return QVariant(q.value(0).toByteArray());
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

    if (entry.type == Type::Blob && m_lastWriteOk)
        entry = Entry{Type::Blob, {}, true};
    m_cache.insert(key, std::move(entry));
    emit changed(key);
}

void SettingsStore::remove(const QString &key)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("DELETE FROM settings WHERE key = ?"));
    q.addBindValue(key);
    m_lastWriteOk = q.exec();
    if (!m_lastWriteOk)
        DiagnosticLog::line("设置写入失败:", key, q.lastError().text());

    if (m_cache.remove(key) > 0)
        emit changed(key);
}
