#include "conversation/conversationcodec.h"
#include "core/settingsstore.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

// A process killed at any moment, also in the middle of writing the history, must leave every
// save that had returned before the kill readable on disk.
class TestKillDuringSave : public QObject {
    Q_OBJECT

#ifdef TALVORO_KILL_RUNS
    static constexpr int kRuns = TALVORO_KILL_RUNS;
#else
    static constexpr int kRuns = 200;
#endif

    // conversation id -> messages in its last completed save
    QHash<QString, qsizetype> m_completed;

    static void readReports(QProcess &child, QHash<QString, qsizetype> &completed, int &lines)
    {
        while (child.canReadLine()) {
            const QList<QByteArray> parts = child.readLine().trimmed().split(' ');
            if (parts.size() != 3 || parts.at(0) != "saved")
                continue;
            const QString id = QString::fromLatin1(parts.at(1));
            completed[id] = qMax(completed.value(id), parts.at(2).toLongLong());
            ++lines;
        }
    }

    // Empty when everything that was completed is on disk; otherwise what is missing.
    QString checkStored(const QString &path) const
    {
        SettingsStore settings(path);
        const auto blob = settings.getData(QStringLiteral("conversations"));
        if (!blob)
            return m_completed.isEmpty() ? QString() : QStringLiteral("no stored history");
        const auto map = ConversationCodec::decode(*blob);
        if (!map)
            return QStringLiteral("stored history does not decode");
        for (auto it = m_completed.cbegin(); it != m_completed.cend(); ++it) {
            const auto id = QUuid::fromString(it.key());
            if (map->value(id).size() < it.value())
                return QStringLiteral("conversation %1 has %2 of %3 messages")
                    .arg(it.key())
                    .arg(map->value(id).size())
                    .arg(it.value());
        }
        return {};
    }

private slots:
    void everyCompletedSaveSurvivesSigkill()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("settings.sqlite"));
        const QString child = QCoreApplication::applicationDirPath() + QStringLiteral("/savechild");
        QVERIFY(QFile::exists(child));

        QRandomGenerator random(QRandomGenerator::global()->generate());
        int losses = 0;
        int killedBeforeFirstSave = 0;
        int reports = 0;
        QStringList lossDetails;
        for (int run = 0; run < kRuns; ++run) {
            QProcess process;
            process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            process.start(child, {path, QString::number(random.generate())});
            QVERIFY2(process.waitForStarted(10000), qPrintable(process.errorString()));

            // A quarter of the kills land anywhere from start-up on (opening, recovering the
            // journal, loading); the rest after 1 to 3 saves, mostly in the middle of the next.
            int lines = 0;
            if (random.bounded(4) == 0) {
                QThread::usleep(random.bounded(60000));
            } else {
                const int wanted = 1 + random.bounded(3);
                QElapsedTimer waited;
                waited.start();
                while (lines < wanted && waited.elapsed() < 20000 &&
                       process.state() == QProcess::Running) {
                    process.waitForReadyRead(100);
                    readReports(process, m_completed, lines);
                }
                QVERIFY2(lines >= wanted, "the child stopped saving");
                QThread::usleep(random.bounded(20000));
            }
            process.kill(); // SIGKILL
            QVERIFY(process.waitForFinished(10000));
            QCOMPARE(process.exitStatus(), QProcess::CrashExit);
            readReports(process, m_completed, lines);
            reports += lines;
            killedBeforeFirstSave += lines == 0 ? 1 : 0;

            const QString loss = checkStored(path);
            if (!loss.isEmpty()) {
                ++losses;
                lossDetails << QStringLiteral("run %1: %2").arg(run).arg(loss);
            }
        }
        const QStringList aside =
            QDir(dir.path()).entryList({QStringLiteral("*unreadable*")}, QDir::Files);

        qInfo("runs %d, losses %d, completed saves %d, conversations %lld, "
              "runs killed before their first save %d, size %lld bytes",
              kRuns, losses, reports, qlonglong(m_completed.size()), killedBeforeFirstSave,
              qlonglong(QFileInfo(path).size()));
        QVERIFY2(lossDetails.isEmpty(), qPrintable(lossDetails.join(u'\n')));
        QVERIFY2(aside.isEmpty(), qPrintable(aside.join(u' ')));
        QVERIFY(reports > kRuns);
    }
};

QTEST_GUILESS_MAIN(TestKillDuringSave)
#include "tst_killduringsave.moc"
