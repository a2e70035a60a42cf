#include "core/settingsstore.h"
#include "logcapture.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

class TestSettingsStore : public QObject {
    Q_OBJECT

    QString dbPath(const QTemporaryDir &dir) const
    {
        return dir.filePath(QStringLiteral("settings.sqlite"));
    }

private slots:
    // Values read back after a restart, each only by the reader of its own type.
    void valuesSurviveARestartAndKeepTheirType()
    {
        QTemporaryDir dir;
        const QByteArray blob("\x00\xff{\"a\":1}", 10);
        {
            SettingsStore store(dbPath(dir));
            store.set(QStringLiteral("b"), true);
            store.set(QStringLiteral("i"), qint64(-9007199254740993LL));
            store.set(QStringLiteral("s"), QStringLiteral("小明 🙂"));
            store.set(QStringLiteral("d"), blob);
            store.set(QStringLiteral("gone"), QStringLiteral("x"));
            store.remove(QStringLiteral("gone"));
        }
        SettingsStore store(dbPath(dir));
        QCOMPARE(store.getInt(QStringLiteral("i"), 0), -9007199254740993LL);
        QCOMPARE(store.getString(QStringLiteral("s")), QStringLiteral("小明 🙂"));
        QCOMPARE(store.getData(QStringLiteral("d")), blob);
        for (const QString key : {"b", "i", "s", "d", "gone"}) {
            QCOMPARE(store.getBool(key, false), key == u"b");
            QCOMPARE(store.getInt(key, -7) != -7, key == u"i");
            QCOMPARE(store.getString(key).has_value(), key == u"s");
            QCOMPARE(store.getData(key).has_value(), key == u"d");
        }
        // An empty string is a value, not an absence.
        store.set(QStringLiteral("phone"), QString());
        QCOMPARE(store.getString(QStringLiteral("phone")), QString());
    }

    void everyObserverSeesAChange()
    {
        QTemporaryDir dir;
        SettingsStore store(dbPath(dir));
        int first = 0;
        int second = 0;
        QObject context;
        store.observe(QStringLiteral("isLoggedIn"), &context, [&] { ++first; });
        store.observe(QStringLiteral("isLoggedIn"), &context, [&] { ++second; });
        store.observe(QStringLiteral("other"), &context, [&] { QFAIL("wrong key observed"); });

        store.set(QStringLiteral("isLoggedIn"), true);
        store.remove(QStringLiteral("isLoggedIn"));
        QCOMPARE(first, 2);
        QCOMPARE(second, 2);
    }

    void unreadableDatabaseIsMovedAside_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("movedAside");

        // A real settings database with a value large enough to need overflow pages.
        QTemporaryDir dir;
        {
            SettingsStore store(dbPath(dir));
            store.set(QStringLiteral("conversations"), QByteArray(300000, 'c'));
        }
        QFile file(dbPath(dir));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray valid = file.readAll();
        QVERIFY(valid.size() > 3 * 65536);

        QByteArray damaged = valid;
        damaged.replace(65536, 4096, QByteArray(4096, '\xff')); // the table's first page
        QTest::newRow("text file") << QByteArray(4096, 'x') << true;
        QTest::newRow("damaged table page") << damaged << true;
        QTest::newRow("header only") << valid.left(100) << true;
        QTest::newRow("another program's table") << foreignDatabase(false) << true;
        QTest::newRow("another program's database") << foreignDatabase(true) << true;
        QTest::newRow("zero-length file") << QByteArray() << false;
    }

    void unreadableDatabaseIsMovedAside()
    {
        QFETCH(QByteArray, file);
        QFETCH(bool, movedAside);
        QTemporaryDir dir;
        QFile junk(dbPath(dir));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write(file);
        junk.close();

        LogCapture log;
        {
            SettingsStore store(dbPath(dir));
            QVERIFY(store.isAttached());
            QCOMPARE(store.getBool(QStringLiteral("isLoggedIn"), false), false);
            QVERIFY(!store.getData(QStringLiteral("conversations")));
            store.set(QStringLiteral("isLoggedIn"), true);
            QVERIFY(store.lastWriteSucceeded());
        }
        QCOMPARE(SettingsStore(dbPath(dir)).getBool(QStringLiteral("isLoggedIn"), false), true);

        const QStringList aside =
            QDir(dir.path()).entryList({QStringLiteral("settings.sqlite.unreadable-*")});
        QCOMPARE(aside.size(), movedAside ? 1 : 0);
        if (!movedAside)
            return;
        QFile kept(dir.filePath(aside.first()));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), file);
        QCOMPARE(log.count(QStringLiteral("设置数据库无法读取，已移至 ") + kept.fileName()), 1);
    }

private:
    // A SQLite file of another program: a "settings" table with other columns, or other tables.
    static QByteArray foreignDatabase(bool otherTable)
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("foreign.sqlite"));
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), path);
            db.setDatabaseName(path);
            if (!db.open())
                return {};
            QSqlQuery q(db);
            const QString table = otherTable ? QStringLiteral("prefs") : QStringLiteral("settings");
            q.exec(QStringLiteral("CREATE TABLE %1 (name TEXT, data TEXT)").arg(table));
            q.exec(QStringLiteral("INSERT INTO %1 VALUES ('theme', 'dark')").arg(table));
        }
        QSqlDatabase::removeDatabase(path);
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
