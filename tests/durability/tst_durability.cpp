#include "conversation/conversationcodec.h"
#include "conversation/conversationstore.h"
#include "core/settingsstore.h"
#include "logcapture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUuid>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <unistd.h>
#include <utility>

// A process killed at any moment, also in the middle of writing the history, must leave every
// save that had returned before the kill readable on disk. On a filesystem that runs out of
// space, a failed save is logged, what was saved before stays readable, and the program carries
// on and saves again once there is room.
class TestDurability : public QObject {
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
        const auto map = storedMap(path);
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

    // Writes until the filesystem refuses; returns the bytes written.
    static qint64 fill(const QString &path)
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return -1;
        qint64 total = 0;
        for (qint64 n = 1; n > 0 && total < (2 << 20); total += qMax<qint64>(n, 0))
            n = file.write(QByteArray(4096, 'f'));
        return total;
    }

    static MessageList conversation(const QString &text, int count)
    {
        MessageList list;
        for (int i = 0; i < count; ++i)
            list.append(Message(text + QString::number(i), i % 2 == 0));
        return list;
    }

    // The history a fresh start reads from `path`; nothing if it does not decode.
    static std::optional<ConversationMap> storedMap(const QString &path)
    {
        const auto blob = SettingsStore(path).getData(QStringLiteral("conversations"));
        return blob ? ConversationCodec::decode(*blob) : std::optional(ConversationMap());
    }

    static QStringList movedAside(const QString &folder)
    {
        return QDir(folder).entryList({QStringLiteral("*unreadable*")}, QDir::Files);
    }

    QTemporaryDir m_dir;
    QString m_folder;
    bool m_mounted = false;

private slots:
    void everyCompletedSaveSurvivesSigkill()
    {
        const QString path = m_dir.filePath(QStringLiteral("killed.sqlite"));
        const QString child = QCoreApplication::applicationDirPath() + QStringLiteral("/savechild");
        QVERIFY(QFile::exists(child));

        QRandomGenerator random(QRandomGenerator::global()->generate());
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

            if (const QString loss = checkStored(path); !loss.isEmpty())
                lossDetails << QStringLiteral("run %1: %2").arg(run).arg(loss);
        }
        const QStringList aside = movedAside(m_dir.path());

        qInfo("runs %d, losses %d, completed saves %d, conversations %lld, "
              "runs killed before their first save %d, size %lld bytes",
              kRuns, int(lossDetails.size()), reports, qlonglong(m_completed.size()),
              killedBeforeFirstSave, qlonglong(QFileInfo(path).size()));
        QVERIFY2(lossDetails.isEmpty(), qPrintable(lossDetails.join(u'\n')));
        QVERIFY2(aside.isEmpty(), qPrintable(aside.join(u' ')));
        QVERIFY(reports > kRuns);
    }

    // Every full-disk test gets a fresh 1 MiB tmpfs; without root there is none, and it is skipped.
    void init()
    {
        if (QTest::currentTestFunction() == QLatin1String("everyCompletedSaveSurvivesSigkill"))
            return;
        if (::geteuid() != 0)
            QSKIP("needs root to mount a size-limited tmpfs for a full disk");
        m_folder = m_dir.filePath(QUuid::createUuid().toString(QUuid::Id128));
        QDir().mkpath(m_folder);
        m_mounted = ::mount("tmpfs", QFile::encodeName(m_folder), "tmpfs", 0, "size=1m") == 0;
        if (!m_mounted)
            QSKIP(qPrintable(QStringLiteral("cannot mount a 1 MiB tmpfs: ") +
                             QString::fromLocal8Bit(std::strerror(errno))));
    }
    void cleanup()
    {
        if (std::exchange(m_mounted, false))
            ::umount2(QFile::encodeName(m_folder), MNT_DETACH);
    }

    void failedSaveKeepsHistoryAndNextSaveSucceeds()
    {
        const QString path = m_folder + QStringLiteral("/settings.sqlite");
        const QString filler = m_folder + QStringLiteral("/filler");

        LogCapture log;
        auto settings = std::make_unique<SettingsStore>(path);
        auto store = std::make_unique<ConversationStore>(settings.get());
        const QUuid first = QUuid::createUuid();
        const QUuid second = QUuid::createUuid();
        store->saveCurrentConversation(first, conversation(QStringLiteral("第一段对话 "), 6));
        store->saveCurrentConversation(second, conversation(QStringLiteral("second "), 4));
        QVERIFY(settings->lastWriteSucceeded());
        const ConversationMap before = store->conversations();

        QVERIFY(fill(filler) > 0);
        const QUuid big = QUuid::createUuid();
        store->saveCurrentConversation(big, conversation(QString(12000, u'满'), 4));
        QVERIFY(!settings->lastWriteSucceeded());
        QCOMPARE(log.count(QStringLiteral("设置写入失败: conversations ")), 1);
        // The running program still has the answer it could not store.
        QVERIFY(store->conversations().contains(big));

        // What was saved before is what a fresh start reads, even while the disk is full.
        const ConversationMap onDisk = storedMap(path).value_or(ConversationMap());
        QCOMPARE(onDisk.keys().size(), 2);
        for (const QUuid &id : {first, second}) {
            QCOMPARE(onDisk.value(id).size(), before.value(id).size());
            QCOMPARE(onDisk.value(id).last().content, before.value(id).last().content);
        }
        QVERIFY(movedAside(m_folder).isEmpty());

        QVERIFY(QFile::remove(filler));
        const QUuid after = QUuid::createUuid();
        store->saveCurrentConversation(after, conversation(QStringLiteral("after "), 2));
        QVERIFY(settings->lastWriteSucceeded());
        store.reset();
        settings.reset();

        const ConversationMap restarted = storedMap(path).value_or(ConversationMap());
        for (const QUuid &id : {first, second, big, after})
            QVERIFY(restarted.contains(id));
        QCOMPARE(restarted.value(big).first().content.size(), 12000 + 1);
        QVERIFY(movedAside(m_folder).isEmpty());
    }

    void startingOnAFullDiskKeepsTheDatabase()
    {
        const QString path = m_folder + QStringLiteral("/settings.sqlite");
        const QUuid id = QUuid::createUuid();
        {
            SettingsStore settings(path);
            ConversationStore store(&settings);
            store.saveCurrentConversation(id, conversation(QStringLiteral("kept "), 3));
            settings.set(QStringLiteral("isLoggedIn"), true);
        }
        QVERIFY(fill(m_folder + QStringLiteral("/filler")) > 0);

        SettingsStore settings(path);
        ConversationStore store(&settings);
        QCOMPARE(store.conversations().value(id).size(), 3);
        QCOMPARE(settings.getBool(QStringLiteral("isLoggedIn"), false), true);
        QVERIFY(movedAside(m_folder).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestDurability)
#include "tst_durability.moc"
