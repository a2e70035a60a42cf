#pragma once

#include "core/registeredinstance.h"

#include <QHash>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QVariant>
#include <QtQml/qqmlregistration.h>

#include <optional>

// The program's one persistent key-value store: typed values (bool, int, string, bytes) in a
// SQLite file, with a change signal that every observer in the process receives. The history's
// tables live in the same file, on the same connection (see ConversationStore).
//
// Values are cached in memory and written through, so reads (QML bindings evaluate them often)
// never touch the disk. Blobs are the exception: the history of earlier versions is one
// multi-megabyte blob that is read once, to convert it, so a copy here would only double the
// program's memory; blobs are read from the file when asked for. A failed write is
// logged and the in-memory value still changes (a blob that failed to reach the disk is kept in
// memory until a write succeeds), so the running program stays consistent; what is on disk
// keeps its last committed value.
class SettingsStore : public QObject, public RegisteredInstance<SettingsStore> {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    enum class Type { Bool, Int, String, Blob };

    // Opens (or creates) the database at `path`. A file that is not a settings database (not
    // SQLite, damaged, or another program's tables) is moved aside with a time stamp and a fresh
    // one is started. A database that cannot be reached for now (a full disk, an I/O error) is
    // left alone: the store then starts with defaults and refuses every write, so nothing it
    // never read can be replaced.
    explicit SettingsStore(const QString &path, QObject *parent = nullptr);
    ~SettingsStore() override;

    // The file in the per-user configuration folder.
    static QString defaultPath();

    Q_INVOKABLE bool getBool(const QString &key, bool fallback) const;
    Q_INVOKABLE qint64 getInt(const QString &key, qint64 fallback) const;
    std::optional<QString> getString(const QString &key) const;
    std::optional<QByteArray> getData(const QString &key) const;

    void set(const QString &key, bool value);
    void set(const QString &key, qint64 value);
    void set(const QString &key, int value) { set(key, qint64(value)); }
    void set(const QString &key, const QString &value);
    void set(const QString &key, const char *value) { set(key, QString::fromUtf8(value)); }
    void set(const QString &key, const QByteArray &value);
    Q_INVOKABLE void remove(const QString &key);

    // Reads `key` as `type`; an invalid QVariant when absent or of another type.
    QVariant value(const QString &key, Type type) const;

    // Runs `callback` after every change of `key`, for as long as `context` lives.
    template <typename Callback>
    QMetaObject::Connection observe(const QString &key, const QObject *context, Callback callback)
    {
        return connect(this, &SettingsStore::changed, context,
                       [key, callback](const QString &changedKey) {
                           if (changedKey == key)
                               callback();
                       });
    }

    // The bytes stored under `key` whatever its type (text as UTF-8, numbers as their decimal
    // text), read from the database; nullopt when there is no such row. Blobs are read this
    // way on demand, and a value that cannot be used is kept with it before it is replaced.
    std::optional<QByteArray> storedBytes(const QString &key) const;

    QString path() const { return m_path; }
    // The open connection to the file, for the history tables kept in it (main thread only).
    QSqlDatabase database() const { return m_db; }
    // False after the last write failed to reach the disk.
    bool lastWriteSucceeded() const { return m_lastWriteOk; }
    // False when the database could not be read at start; every write is then refused.
    bool isAttached() const { return m_attached; }

signals:
    void changed(const QString &key);

private:
    struct Entry {
        Type type;
        QVariant value;
        // A blob whose bytes are only in the file; `value` is then empty.
        bool onDisk = false;
    };

    enum class Opened { Ready, NotOurs, Unavailable };
    Opened openAndLoad(bool exclusive, QString &reason);
    void close();
    void moveAsideUnreadable(const QString &reason);
    void refuseWrite(const QString &key);
    void store(const QString &key, Entry entry);

    QString m_path;
    QString m_connectionName;
    QSqlDatabase m_db;
    QHash<QString, Entry> m_cache;
    bool m_lastWriteOk = true;
    bool m_attached = true;
};
