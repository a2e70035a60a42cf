#include "conversation/searchbackfill.h"

#include "conversation/historydatabase.h"
#include "conversation/searchindex.h"
#include "core/diagnosticlog.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QThread>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

SearchBackfill::SearchBackfill(const QString &databasePath, QObject *parent)
    : QObject(parent), m_path(databasePath)
{
    connect(&m_watcher, &QFutureWatcher<bool>::finished, this, [this] {
        const bool complete = m_watcher.result();
        emit finished(complete);
    });
}

SearchBackfill::~SearchBackfill()
{
    stop();
}

void SearchBackfill::start()
{
    if (m_watcher.isRunning())
        return;
    m_stop = false;
    m_watcher.setFuture(QtConcurrent::run([this] {
        QString error;
        const bool ok = run(m_path, m_stop, &error);
        if (!ok)
            DiagnosticLog::line("搜索索引暂未建完", error);
        return ok && !m_stop;
    }));
}

void SearchBackfill::stop()
{
    m_stop = true;
    m_watcher.waitForFinished();
}

bool SearchBackfill::run(const QString &databasePath, const std::atomic_bool &stop, QString *error)
{
    const QString name = QStringLiteral("search-backfill-") + QUuid::createUuid().toString();
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(databasePath);
        // The window's writes and this one's take turns; neither gives up while the other
        // holds the file for one short write.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        HistoryDatabase history(db);
        ok = db.open() && history.prepare(error);
        if (!db.isOpen())
            *error = db.lastError().text();
        while (ok && !stop) {
            if (!history.begin()) {
                *error = db.lastError().text();
                ok = false;
                break;
            }
            const std::optional<int> taken = SearchIndex::indexDeferred(db, kBatch, error);
            if (!taken) {
                history.rollback();
                ok = false;
                break;
            }
            if (!history.commit()) {
                *error = db.lastError().text();
                ok = false;
                break;
            }
            if (*taken == 0)
                break;
            // A moment between writes, so that a write of the window that waits for this one
            // gets the file before the next batch does.
            QThread::msleep(2);
        }
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}
