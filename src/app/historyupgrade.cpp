#include "app/historyupgrade.h"

#include "conversation/historymigration.h"
#include "core/diagnosticlog.h"

#include <QEventLoop>
#include <QFutureWatcher>
#include <QLabel>
#include <QTimer>
#include <QtConcurrent>

void HistoryUpgrade::runIfNeeded(const QString &settingsPath)
{
    if (!HistoryMigration::pending(settingsPath))
        return;

    QLabel notice(QStringLiteral("正在升级历史记录，请稍候…"));
    notice.setWindowTitle(QStringLiteral("Talvoro"));
    notice.setAlignment(Qt::AlignCenter);
    notice.setMinimumSize(320, 100);
    QTimer showNotice;
    showNotice.setSingleShot(true);
    QObject::connect(&showNotice, &QTimer::timeout, &notice, &QWidget::show);
    showNotice.start(kNoticeDelayMs);

    QEventLoop loop;
    QFutureWatcher<void> watcher;
    QObject::connect(&watcher, &QFutureWatcher<void>::finished, &loop, &QEventLoop::quit);
    watcher.setFuture(QtConcurrent::run([settingsPath] {
        HistoryMigration::Outcome outcome;
        QString error;
        // A failure leaves the old history where it was; the store tries again when it opens.
        if (!HistoryMigration::run(settingsPath, &outcome, &error))
            DiagnosticLog::line("历史记录暂时无法使用", error);
    }));
    loop.exec();
}
