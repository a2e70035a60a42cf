#include "conversation/conversationcodec.h"
#include "conversation/conversationstore.h"
#include "core/settingsstore.h"
#include "logcapture.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <unistd.h>
#include <utility>

// The settings database on a filesystem that runs out of space: a failed save is logged, what
// was saved before stays readable, and the program carries on and saves again once there is room.
class TestDiskFull : public QObject {
    Q_OBJECT

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

    static ConversationMap storedMap(const QString &path)
    {
        SettingsStore settings(path);
        const auto blob = settings.getData(QStringLiteral("conversations"));
        if (!blob)
            return {};
        return ConversationCodec::decode(*blob).value_or(ConversationMap());
    }

    static QStringList movedAside(const QString &folder)
    {
        return QDir(folder).entryList({QStringLiteral("*unreadable*")}, QDir::Files);
    }

    QTemporaryDir m_dir;
    QString m_folder;
    bool m_mounted = false;

private slots:
    // Every test gets a fresh 1 MiB tmpfs; without root there is none, and the test is skipped.
    void init()
    {
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
        const ConversationMap onDisk = storedMap(path);
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

        const ConversationMap restarted = storedMap(path);
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

QTEST_GUILESS_MAIN(TestDiskFull)
#include "tst_diskfull.moc"
