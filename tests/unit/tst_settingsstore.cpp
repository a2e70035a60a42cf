#include "core/settingbinding.h"
#include "core/settingsstore.h"
#include "logcapture.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
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
    void typesAreKeptApart_data()
    {
        QTest::addColumn<QString>("written");
        // One value of each type under one key; every reader of another type sees it absent.
        QTest::newRow("bool") << "bool";
        QTest::newRow("int") << "int";
        QTest::newRow("string") << "string";
        QTest::newRow("blob") << "blob";
    }

    void typesAreKeptApart()
    {
        QFETCH(QString, written);
        QTemporaryDir dir;
        SettingsStore store(dbPath(dir));
        const QString key = QStringLiteral("k");
        if (written == u"bool")
            store.set(key, true);
        else if (written == u"int")
            store.set(key, qint64(1));
        else if (written == u"string")
            store.set(key, QStringLiteral("1"));
        else
            store.set(key, QByteArray("1"));

        QCOMPARE(store.getBool(key, false), written == u"bool");
        QCOMPARE(store.getInt(key, -7), written == u"int" ? 1 : -7);
        QCOMPARE(store.getString(key).has_value(), written == u"string");
        QCOMPARE(store.getData(key).has_value(), written == u"blob");
    }

    void valuesSurviveARestart()
    {
        QTemporaryDir dir;
        const QByteArray blob("\x00\xff{\"a\":1}", 10);
        {
            SettingsStore store(dbPath(dir));
            store.set(QStringLiteral("isLoggedIn"), true);
            store.set(QStringLiteral("chat_quota"), qint64(-9007199254740993LL));
            store.set(QStringLiteral("username"), QStringLiteral("小明 🙂"));
            store.set(QStringLiteral("conversations"), blob);
            store.set(QStringLiteral("gone"), QStringLiteral("x"));
            store.remove(QStringLiteral("gone"));
        }
        SettingsStore store(dbPath(dir));
        QCOMPARE(store.getBool(QStringLiteral("isLoggedIn"), false), true);
        QCOMPARE(store.getInt(QStringLiteral("chat_quota"), 0), -9007199254740993LL);
        QCOMPARE(store.getString(QStringLiteral("username")), QStringLiteral("小明 🙂"));
        QCOMPARE(store.getData(QStringLiteral("conversations")), blob);
        QVERIFY(!store.getString(QStringLiteral("gone")));
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

    void bindingReadsWritesAndRefreshes()
    {
        QTemporaryDir dir;
        SettingsStore store(dbPath(dir));
        SettingBinding a;
        SettingBinding b;
        for (SettingBinding *binding : {&a, &b}) {
            binding->setStore(&store);
            binding->setKey(QStringLiteral("hasSeenWelcome"));
            binding->setDefaultValue(false);
        }
        QCOMPARE(a.value(), QVariant(false));
        QSignalSpy spy(&b, &SettingBinding::valueChanged);
        a.setValue(true);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(b.value(), QVariant(true));
        QCOMPARE(store.getBool(QStringLiteral("hasSeenWelcome"), false), true);

        // A value of another type under the key reads as the binding's default.
        store.set(QStringLiteral("hasSeenWelcome"), QStringLiteral("yes"));
        QCOMPARE(b.value(), QVariant(false));
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
