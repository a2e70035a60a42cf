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
#include <fcntl.h>
#include <memory>
#include <sys/mount.h>
#include <unistd.h>

// The settings database on a filesystem that runs out of space: a failed save is logged, what
// was saved before stays readable, and the program carries on and saves again once there is room.
class TestDiskFull : public QObject {
    Q_OBJECT

    // A 1 MiB tmpfs, mounted for one test and unmounted on every way out of it.
    class SmallDisk {
    public:
        explicit SmallDisk(const QString &path) : m_path(QFile::encodeName(path))
        {
            QDir().mkpath(path);
            if (::mount("tmpfs", m_path.constData(), "tmpfs", 0, "size=1m") == 0)
                m_mounted = true;
            else
                m_error = QString::fromLocal8Bit(std::strerror(errno));
        }
        ~SmallDisk()
        {
            if (m_mounted)
                ::umount2(m_path.constData(), MNT_DETACH);
        }
        bool mounted() const { return m_mounted; }
        QString error() const { return m_error; }

    private:
        QByteArray m_path;
        bool m_mounted = false;
        QString m_error;
    };

    // Writes until the filesystem refuses; returns the bytes written.
    static qint64 fill(const QString &path)
    {
        const int fd =
            ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0)
            return -1;
        qint64 total = 0;
        const QByteArray chunk(4096, 'f');
        for (int i = 0; i < 1024; ++i) { // the disk is 1 MiB: bounded
            const ssize_t n = ::write(fd, chunk.constData(), size_t(chunk.size()));
            if (n <= 0)
                break;
            total += n;
        }
        ::close(fd);
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
    std::unique_ptr<SmallDisk> m_disk;
    QString m_folder;

private slots:
    // Every test gets a fresh small disk; without root there is none, and the test is skipped.
    void init()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to mount a size-limited tmpfs for a full disk");
        m_folder = m_dir.filePath(QUuid::createUuid().toString(QUuid::Id128));
        m_disk = std::make_unique<SmallDisk>(m_folder);
        if (!m_disk->mounted())
            QSKIP(qPrintable(QStringLiteral("cannot mount a 1 MiB tmpfs: ") + m_disk->error()));
    }
    void cleanup() { m_disk.reset(); }

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
