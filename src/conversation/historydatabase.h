#pragma once

#include <QRecursiveMutex>
#include <QSqlDatabase>
#include <QString>

#include <mutex>

// The history tables in a SQLite connection: conversations and their messages, one row each.
// Wraps a connection it does not own (the settings store's, or one a worker opened for itself)
// and brings its schema up to date.
class HistoryDatabase {
public:
    // Every schema change is a new entry at the end, never an edit of an old one; a file that
    // holds version N gets the entries after N, each in the transaction that records it.
    static int latestVersion();

    explicit HistoryDatabase(QSqlDatabase db) : m_db(std::move(db)) {}

    // Turns on what the history relies on in this connection and brings the tables up to date;
    // false (with the reason) when the file cannot take them now (a full disk, a lock).
    bool prepare(QString *error);
    QSqlDatabase &db() { return m_db; }

    // One write: everything between begin and commit lands together or not at all. The write
    // holds the process's WriteTurn from begin until commit or rollback (or the end of this
    // object).
    bool begin();
    bool commit();
    void rollback();

private:
    bool migrate(QString *error);

    QSqlDatabase m_db;
    void releaseTurn()
    {
        if (m_turn.owns_lock())
            m_turn.unlock();
    }

    std::unique_lock<QRecursiveMutex> m_turn;
};
