#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <QString>

#include <atomic>

// Indexes the messages an upgrade left for later (SearchIndex::deferMissing), newest first, on
// a worker thread with a connection of its own, a few messages per write: a write of the
// window's waits at most for one of those, and the first start after upgrading a heavy history
// does not wait for its index. Stopping waits for the write under way; what is left is taken up
// by the next start.
class SearchBackfill : public QObject {
    Q_OBJECT

public:
    // About 10 ms of work on a heavy history's messages.
    static constexpr int kBatch = 32;

    explicit SearchBackfill(const QString &databasePath, QObject *parent = nullptr);
    ~SearchBackfill() override;

    void start();
    void stop();
    bool isRunning() const { return m_watcher.isRunning(); }

    // The whole loop, on the calling thread, until the list is empty or `stop` is set; false
    // (with the reason) when a write failed. For the worker, and for tests and benchmarks.
    static bool run(const QString &databasePath, const std::atomic_bool &stop, QString *error);

signals:
    // The worker is done: `complete` when nothing is left to index.
    void finished(bool complete);

private:
    QString m_path;
    std::atomic_bool m_stop{false};
    QFutureWatcher<bool> m_watcher;
};
