#include "conversation/conversationcodec.h"
#include "conversation/conversationstore.h"
#include "core/settingkeys.h"
#include "core/settingsstore.h"
#include "logcapture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUuid>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <unistd.h>
#include <utility>

using namespace Qt::StringLiterals;

namespace {
const QByteArray kGoodMessage =
    "{\"id\":\"0F8FAD5B-D9CB-469F-A165-70867728950E\",\"content\":\"hi\","
    "\"isUserMessage\":true,\"timestamp\":3.25,\"isLoading\":false}";
const QByteArray kConvA = "\"A0000000-0000-0000-0000-00000000000A\"";

// kGoodMessage with one piece replaced.
QByteArray good(const QByteArray &from = {}, const QByteArray &to = {})
{
    return from.isEmpty() ? kGoodMessage : QByteArray(kGoodMessage).replace(from, to);
}
QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}
// Runs `statement` on the SQLite file at `path` as another program would.
bool sql(const QString &path, const QString &statement, const QVariantList &values = {})
{
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, path);
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery q(db);
            q.prepare(statement);
            for (const QVariant &value : values)
                q.addBindValue(value);
            ok = q.exec();
        }
    }
    QSqlDatabase::removeDatabase(path);
    return ok;
}
} // namespace

// The settings database and the conversation history kept in it: what reads back, what is kept
// aside when it cannot be read, and durability. A process killed at any moment, also in the
// middle of writing the history, must leave every save that had returned before the kill
// readable on disk. On a filesystem that runs out of space, a failed save is logged, what was
// saved before stays readable, and the program carries on and saves again once there is room.
class TestStorage : public QObject {
    Q_OBJECT

    // A stored history of one conversation holding `message`.
    static QByteArray history(const QByteArray &m) { return "[" + kConvA + ",[" + m + "]]"; }

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
            return u"stored history does not decode"_s;
        for (auto it = m_completed.cbegin(); it != m_completed.cend(); ++it) {
            const auto id = QUuid::fromString(it.key());
            if (map->value(id).size() < it.value())
                return u"conversation %1 has %2 of %3 messages"_s.arg(it.key())
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
        const auto blob = SettingsStore(path).getData(u"conversations"_s);
        return blob ? ConversationCodec::decode(*blob) : std::optional(ConversationMap());
    }

    static QStringList movedAside(const QString &folder)
    {
        return QDir(folder).entryList({u"*unreadable*"_s}, QDir::Files);
    }

    QTemporaryDir m_dir;
    QString m_folder;
    bool m_mounted = false;

    std::unique_ptr<SettingsStore> m_settings;

    // The settings database's path in a folder emptied for the test.
    QString emptyFolder()
    {
        m_settings.reset();
        QDir(m_dir.path()).removeRecursively();
        QDir().mkpath(m_dir.path());
        return m_dir.filePath(u"settings.sqlite"_s);
    }
    // A settings database in an empty folder, holding `blob` as the history if given.
    SettingsStore &freshSettings(const std::optional<QByteArray> &blob = std::nullopt)
    {
        m_settings = std::make_unique<SettingsStore>(emptyFolder());
        if (blob)
            m_settings->set(SettingKeys::conversations, *blob);
        return *m_settings;
    }
    static void saveQuestion(ConversationStore &store, const QUuid &id = QUuid::createUuid())
    {
        store.saveCurrentConversation(id, {Message(u"q"_s, true)});
    }
    // The bytes of the one copy of an unreadable history kept aside.
    QByteArray keptCopy() const
    {
        const QStringList kept = movedAside(m_dir.path());
        if (kept.size() != 1)
            return "<" + QByteArray::number(kept.size()) + " copies>";
        return readAll(m_dir.filePath(kept.first()));
    }

private slots:
    // Values read back after a restart, each only by the reader of its own type.
    void valuesSurviveARestartAndKeepTheirType()
    {
        const QString path = emptyFolder();
        const QByteArray blob("\x00\xff{\"a\":1}", 10);
        {
            SettingsStore store(path);
            store.set(u"b"_s, true);
            store.set(u"i"_s, qint64(-9007199254740993LL));
            store.set(u"s"_s, u"小明 🙂"_s);
            store.set(u"d"_s, blob);
            store.set(u"gone"_s, u"x"_s);
            store.remove(u"gone"_s);
        }
        SettingsStore store(path);
        QCOMPARE(store.getInt(u"i"_s, 0), -9007199254740993LL);
        QCOMPARE(store.getString(u"s"_s), u"小明 🙂"_s);
        QCOMPARE(store.getData(u"d"_s), blob);
        for (const QString key : {"b", "i", "s", "d", "gone"}) {
            QCOMPARE(store.getBool(key, false), key == u"b");
            QCOMPARE(store.getInt(key, -7) != -7, key == u"i");
            QCOMPARE(store.getString(key).has_value(), key == u"s");
            QCOMPARE(store.getData(key).has_value(), key == u"d");
        }
        // An empty string is a value, not an absence.
        store.set(u"phone"_s, QString());
        QCOMPARE(store.getString(u"phone"_s), QString());
    }

    void everyObserverSeesAChange()
    {
        SettingsStore &store = freshSettings();
        int first = 0, second = 0;
        QObject context;
        store.observe(SettingKeys::isLoggedIn, &context, [&] { ++first; });
        store.observe(SettingKeys::isLoggedIn, &context, [&] { ++second; });
        store.observe(u"other"_s, &context, [&] { QFAIL("wrong key observed"); });

        store.set(SettingKeys::isLoggedIn, true);
        store.remove(SettingKeys::isLoggedIn);
        QCOMPARE(first, 2);
        QCOMPARE(second, 2);
    }

    void unreadableDatabaseIsMovedAside_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("movedAside");

        // A real settings database with a value large enough to need overflow pages.
        QTemporaryDir dir;
        const QString path = dir.filePath(u"settings.sqlite"_s);
        SettingsStore(path).set(SettingKeys::conversations, QByteArray(300000, 'c'));
        const QByteArray valid = readAll(path);
        QVERIFY(valid.size() > 3 * 65536);
        QByteArray damaged = valid;
        damaged.replace(65536, 4096, QByteArray(4096, '\xff')); // the table's first page

        // SQLite files of other programs: a "settings" table with other columns, other tables.
        QByteArray foreign[2];
        for (int i = 0; i < 2; ++i) {
            const QString other = dir.filePath(QString::number(i));
            const QString table = i == 0 ? u"settings"_s : u"prefs"_s;
            QVERIFY(sql(other, u"CREATE TABLE %1 (name TEXT, data TEXT)"_s.arg(table)));
            QVERIFY(sql(other, u"INSERT INTO %1 VALUES ('theme', 'dark')"_s.arg(table)));
            foreign[i] = readAll(other);
        }
        QTest::newRow("text file") << QByteArray(4096, 'x') << true;
        QTest::newRow("damaged table page") << damaged << true;
        QTest::newRow("header only") << valid.left(100) << true;
        QTest::newRow("another program's table") << foreign[0] << true;
        QTest::newRow("another program's database") << foreign[1] << true;
        QTest::newRow("zero-length file") << QByteArray() << false;
    }

    void unreadableDatabaseIsMovedAside()
    {
        QFETCH(QByteArray, file);
        QFETCH(bool, movedAside);
        const QString path = emptyFolder();
        QFile junk(path);
        QVERIFY(junk.open(QIODevice::WriteOnly) && junk.write(file) == file.size());
        junk.close();

        LogCapture log;
        {
            SettingsStore store(path);
            QVERIFY(store.isAttached());
            QCOMPARE(store.getBool(SettingKeys::isLoggedIn, false), false);
            QVERIFY(!store.getData(SettingKeys::conversations));
            store.set(SettingKeys::isLoggedIn, true);
            QVERIFY(store.lastWriteSucceeded());
        }
        QCOMPARE(SettingsStore(path).getBool(SettingKeys::isLoggedIn, false), true);

        const QStringList aside = QDir(m_dir.path()).entryList({u"settings.sqlite.unreadable-*"_s});
        QCOMPARE(aside.size(), movedAside ? 1 : 0);
        if (!movedAside)
            return;
        QCOMPARE(readAll(m_dir.filePath(aside.first())), file);
        QCOMPARE(log.count(u"设置数据库无法读取，已移至 "_s + m_dir.filePath(aside.first())), 1);
    }

    void unreadableBlobLoadsEmptyAndIsKeptByteExact_data()
    {
        QTest::addColumn<QByteArray>("blob");
        // The history is read on first use; a write that comes before any read must still
        // find the unreadable bytes and keep them before replacing them.
        QTest::addColumn<QString>("write");
        const auto row = [](const char *name, const QByteArray &blob, const char *write = "load") {
            QTest::newRow(name) << blob << QString::fromLatin1(write);
        };
        row("not JSON", "{{{not json");
        row("trailing garbage", history(good()) + " x");
        row("malformed unknown member", history(good("}", ",\"x\":[1,}")));
        row("empty bytes", "");
        row("odd length", "[" + kConvA + "]");
        row("bad id", "[\"nope\",[" + good() + "]]");
        row("list not an array", "[" + kConvA + ",{}]");
        row("bad message", history("{\"id\":1}"));
        row("truncated", history(good()).left(60));
        row("invalid UTF-8", history(good("hi", "h\xff\xfe")));
        row("cut inside a character",
            history(good("hi", "你好")).left(kConvA.size() + 3 + 57)); // after the first byte of 你
        row("message without isLoading", history(good(",\"isLoading\":false", "")));
        row("timestamp out of range", history(good("3.25", "1e400")));
        row("null at top", "null");
        row("deep nesting", QByteArray(5000, '[') + QByteArray(5000, ']'));
        row("NUL after the array", history(good()) + '\0');
        const QByteArray blob("[\"not\",\"a history\"]");
        for (const char *write : {"save one", "save all", "remove messages", "clear"})
            row(write, blob, write);
    }

    void unreadableBlobLoadsEmptyAndIsKeptByteExact()
    {
        QFETCH(QByteArray, blob);
        QFETCH(QString, write);
        SettingsStore &settings = freshSettings(blob);
        LogCapture log;
        ConversationStore store(&settings);
        if (write == u"load") {
            QVERIFY(store.conversations().isEmpty());
            QVERIFY(movedAside(m_dir.path())
                        .isEmpty()); // nothing is written until something would replace it
            QCOMPARE(settings.getData(SettingKeys::conversations), blob);
        }
        if (write == u"save all")
            store.saveConversations();
        else if (write == u"remove messages")
            store.removeMessages(QUuid::createUuid(), QUuid::createUuid(), QUuid::createUuid());
        else if (write == u"clear")
            store.clearHistory();
        else
            saveQuestion(store);

        QCOMPARE(keptCopy(), blob);
        QVERIFY(settings.getData(SettingKeys::conversations) != blob);
        QCOMPARE(store.conversations().size(), write == u"load" || write == u"save one" ? 1 : 0);
        QCOMPARE(store.backupPath(), m_dir.filePath(movedAside(m_dir.path()).first()));
        QCOMPARE(log.count(u"无法读取的历史记录已保存到 "_s + store.backupPath()), 1);

        // Kept once: later saves do not write more copies.
        store.saveConversations();
        QCOMPARE(movedAside(m_dir.path()).size(), 1);
    }

    void valueOfAnotherTypeIsKeptByteExact_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QByteArray>("kept");
        const QByteArray valid = history(good());
        // Even a valid history stored as text is not read as one: types are kept apart.
        QTest::newRow("text") << "string" << QVariant(QString::fromUtf8(valid)) << valid;
        QTest::newRow("integer") << "int" << QVariant(42) << QByteArray("42");
        QTest::newRow("unknown type") << "json" << QVariant(valid) << valid;
        QTest::newRow("blob type, no value") << "blob" << QVariant() << QByteArray();
    }

    void valueOfAnotherTypeIsKeptByteExact()
    {
        QFETCH(QString, type);
        QFETCH(QVariant, value);
        QFETCH(QByteArray, kept);
        const QString path = freshSettings().path();
        m_settings.reset();
        QVERIFY(sql(path, u"INSERT INTO settings (key, type, value) VALUES (?, ?, ?)"_s,
                    {SettingKeys::conversations, type, value}));
        SettingsStore settings(path);
        ConversationStore store(&settings);
        QVERIFY(store.conversations().isEmpty());
        saveQuestion(store);
        QCOMPARE(keptCopy(), kept);
        QCOMPARE(ConversationStore(&settings).conversations().size(), 1);
    }

    // Whatever a message holds is written as JSON a standard parser agrees with, and reads back
    // bit-exact. A whole number past 2^64 written out digit by digit is refused by the reader,
    // and with it the whole history on the next start.
    void messageReadsBackTheSame_data()
    {
        QTest::addColumn<QString>("content");
        QTest::addColumn<double>("timestamp");
        QTest::addColumn<bool>("optionals"); // isLoading, picture path and addresses set
        const double digits17 = 0.1 + 0.2;
        QTest::newRow("quotes and backslashes") << u"say \"hi\" \\ C:\\dir\\"_s << digits17 << true;
        QTest::newRow("control characters")
            << QString::fromUtf16(u"a\u0001\u001f\t\r\n\b\f z") << digits17 << true;
        QTest::newRow("CJK and emoji")
            << u"你好，世界 👨‍👩‍👧‍👦 🇨🇳"_s << digits17 << true;
        QTest::newRow("empty") << QString() << digits17 << true;
        const QString x = u"x"_s;
        QTest::newRow("found by fuzzing") << x << 7.390000333333333e20 << false;
        QTest::newRow("2^64") << x << 18446744073709551616.0 << false;
        QTest::newRow("2^63") << x << 9223372036854775808.0 << false;
        QTest::newRow("largest double") << x << 1.7976931348623157e308 << false;
        QTest::newRow("negative, huge") << x << -1e300 << false;
        QTest::newRow("smallest subnormal") << x << 5e-324 << false;
        QTest::newRow("negative zero (found by fuzzing)") << x << -0.0 << false;
    }

    void messageReadsBackTheSame()
    {
        QFETCH(QString, content);
        QFETCH(double, timestamp);
        QFETCH(bool, optionals);
        Message m(content, false);
        m.timestamp = timestamp;
        if (optionals) {
            m.isLoading = true;
            m.cachedImagePath = u"/tmp/\"x\".png"_s;
            m.avatarURL = u"https://example.com/a.png"_s;
            m.imageURL = u"https://example.com/i.png?x=1"_s;
        }
        const QUuid id = QUuid::createUuid();
        const QByteArray text = ConversationCodec::encode({{id, {m}}});

        QJsonParseError error;
        const QJsonArray standard = QJsonDocument::fromJson(text, &error).array();
        QCOMPARE(error.error, QJsonParseError::NoError);
        const QJsonObject object = standard.at(1).toArray().at(0).toObject();
        QCOMPARE(object.value(QLatin1String("content")).toString(), content);
        QCOMPARE(object.value(QLatin1String("timestamp")).toDouble(), timestamp);
        QCOMPARE(object.size(), optionals ? 8 : 5); // absent optionals are left out

        const auto back = ConversationCodec::decode(text);
        QVERIFY2(back, text.constData());
        const Message b = back->value(id).first();
        QCOMPARE(b.id, m.id);
        QCOMPARE(b.content, content);
        QCOMPARE(b.timestamp, timestamp); // bit-exact, not fuzzy
        QVERIFY(b.isLoading == optionals && !b.isUserMessage);
        QCOMPARE(b.cachedImagePath, m.cachedImagePath);
        QCOMPARE(b.avatarURL, m.avatarURL);
        QCOMPARE(b.imageURL, m.imageURL);
        QCOMPARE(ConversationCodec::encode(*back), text);
    }

    void decodeMessage_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("ok");
        QTest::newRow("upper-case id") << good() << true;
        QTest::newRow("lower-case id")
            << good("0F8FAD5B-D9CB-469F-A165-70867728950E", "0f8fad5b-d9cb-469f-a165-70867728950e")
            << true;
        QTest::newRow("escaped slash and extra member")
            << good("}", ",\"cachedImagePath\":\"a\\/b\",\"x\":[1]}") << true;
        QTest::newRow("null optionals")
            << good("}", ",\"imageURL\":null,\"avatarURL\":null}") << true;
        QTest::newRow("integral timestamp") << good("3.25", "0") << true;
        QTest::newRow("isLoading as number")
            << good("\"isLoading\":false", "\"isLoading\":0") << false;
        QTest::newRow("timestamp as text") << good("3.25", "\"1\"") << false;
        QTest::newRow("content null") << good("\"hi\"", "null") << false;
        QTest::newRow("id with braces")
            << good("\"0F8FAD5B", "\"{0F8FAD5B").replace("0E\"", "0E}\"") << false;
        QTest::newRow("id not a uuid") << good("50E\"", "50G\"") << false;
        QTest::newRow("bad imageURL")
            << good("}", ",\"imageURL\":\"http://exa mple.com/%zz\"}") << false;
        QTest::newRow("empty imageURL") << good("}", ",\"imageURL\":\"\"}") << false;
        QTest::newRow("avatarURL as number") << good("}", ",\"avatarURL\":5}") << false;
        QTest::newRow("not an object") << QByteArray("[1]") << false;
    }

    void decodeMessage()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, ok);
        const auto m = ConversationCodec::decodeMessage(json);
        QCOMPARE(m.has_value(), ok);
        if (ok) {
            const QJsonObject again =
                QJsonDocument::fromJson(ConversationCodec::encodeMessage(*m)).object();
            QCOMPARE(again.value(QLatin1String("id")).toString(),
                     u"0F8FAD5B-D9CB-469F-A165-70867728950E"_s);
            QVERIFY(!again.contains(QLatin1String("x")));
        }
    }

    void storedFormRoundTripsAndLaterPairWins()
    {
        SettingsStore &settings =
            freshSettings(history(good()).chopped(1) + "," + kConvA.toLower() + ",[" +
                          good("\"hi\"", "\"later\"") + "]]");
        ConversationStore store(&settings);
        QCOMPARE(store.conversations().size(), 1);
        QCOMPARE(store.conversations().cbegin()->first().content, u"later"_s);

        store.saveConversations();
        const QJsonArray saved =
            QJsonDocument::fromJson(*settings.getData(SettingKeys::conversations)).array();
        QCOMPARE(saved.size(), 2);
        QCOMPARE(saved.at(0).toString(), u"A0000000-0000-0000-0000-00000000000A"_s);
        QCOMPARE(saved.at(1).toArray().at(0).toObject().value(QLatin1String("timestamp")), 3.25);
        QVERIFY(movedAside(m_dir.path()).isEmpty());
    }

    void emptyListIsNeverStored()
    {
        SettingsStore &settings = freshSettings();
        ConversationStore store(&settings);
        const QUuid id = QUuid::createUuid();
        store.saveCurrentConversation(id, {});
        QVERIFY(!settings.getData(SettingKeys::conversations));

        saveQuestion(store, id);
        store.saveCurrentConversation(id, {});
        QCOMPARE(store.conversations().value(id).size(), 1);
    }

    void clearThenSaveStoresTheOpenConversationAgain()
    {
        SettingsStore &settings = freshSettings();
        ConversationStore store(&settings);
        const QUuid open = QUuid::createUuid();
        MessageList messages{Message(u"q"_s, true)};
        store.saveCurrentConversation(QUuid::createUuid(), messages);
        store.saveCurrentConversation(open, messages);

        // Every other view of the history hears of it.
        QSignalSpy changed(&store, &ConversationStore::conversationsChanged);
        store.clearHistory();
        QVERIFY(store.conversations().isEmpty());
        QCOMPARE(changed.count(), 1);

        messages.append(Message(u"a"_s, false));
        store.saveCurrentConversation(open, messages);
        ConversationStore reloaded(&settings);
        QCOMPARE(reloaded.conversations().keys(), QList<QUuid>{open});
        QCOMPARE(reloaded.conversations().value(open).size(), 2);
    }

    void removalForRegenerate()
    {
        SettingsStore &settings = freshSettings();
        ConversationStore store(&settings);
        const QUuid id = QUuid::createUuid();
        const Message keep(u"keep"_s, true);
        const Message question(u"q"_s, true);
        const Message answer(u"a"_s, false);
        store.saveCurrentConversation(id, {keep, question, answer});

        store.removeMessages(id, question.id, answer.id);
        ConversationStore reloaded(&settings);
        QCOMPARE(reloaded.conversations().value(id).size(), 1);
        QCOMPARE(reloaded.conversations().value(id).first().id, keep.id);

        // A conversation left with nothing is not kept as an empty entry.
        store.removeMessages(id, keep.id, QUuid());
        QVERIFY(!ConversationStore(&settings).conversations().contains(id));
    }

    void everyCompletedSaveSurvivesSigkill()
    {
        const QString path = emptyFolder();
        const QString child = QCoreApplication::applicationDirPath() + u"/savechild"_s;
        QVERIFY(QFile::exists(child));

        QRandomGenerator random(QRandomGenerator::global()->generate());
        int killedBeforeFirstSave = 0, reports = 0;
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
                lossDetails << u"run %1: %2"_s.arg(run).arg(loss);
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
        if (!QByteArray(QTest::currentTestFunction()).contains("FullDisk"))
            return;
        if (::geteuid() != 0)
            QSKIP("needs root to mount a size-limited tmpfs for a full disk");
        m_folder = m_dir.filePath(QUuid::createUuid().toString(QUuid::Id128));
        QDir().mkpath(m_folder);
        m_mounted = ::mount("tmpfs", QFile::encodeName(m_folder), "tmpfs", 0, "size=1m") == 0;
        if (!m_mounted)
            QSKIP(qPrintable(u"cannot mount a 1 MiB tmpfs: "_s +
                             QString::fromLocal8Bit(std::strerror(errno))));
    }
    void cleanup()
    {
        if (std::exchange(m_mounted, false))
            ::umount2(QFile::encodeName(m_folder), MNT_DETACH);
    }

    void onAFullDiskAFailedSaveKeepsHistoryAndNextSaveSucceeds()
    {
        const QString path = m_folder + u"/settings.sqlite"_s;
        const QString filler = m_folder + u"/filler"_s;

        LogCapture log;
        auto settings = std::make_unique<SettingsStore>(path);
        auto store = std::make_unique<ConversationStore>(settings.get());
        const QUuid first = QUuid::createUuid();
        const QUuid second = QUuid::createUuid();
        store->saveCurrentConversation(first, conversation(u"第一段对话 "_s, 6));
        store->saveCurrentConversation(second, conversation(u"second "_s, 4));
        QVERIFY(settings->lastWriteSucceeded());
        const ConversationMap before = store->conversations();

        QVERIFY(fill(filler) > 0);
        const QUuid big = QUuid::createUuid();
        store->saveCurrentConversation(big, conversation(QString(12000, u'满'), 4));
        QVERIFY(!settings->lastWriteSucceeded());
        QCOMPARE(log.count(u"设置写入失败: conversations "_s), 1);
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
        store->saveCurrentConversation(after, conversation(u"after "_s, 2));
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
        const QString path = m_folder + u"/settings.sqlite"_s;
        const QUuid id = QUuid::createUuid();
        {
            SettingsStore settings(path);
            ConversationStore store(&settings);
            store.saveCurrentConversation(id, conversation(u"kept "_s, 3));
            settings.set(u"isLoggedIn"_s, true);
        }
        QVERIFY(fill(m_folder + u"/filler"_s) > 0);

        SettingsStore settings(path);
        ConversationStore store(&settings);
        QCOMPARE(store.conversations().value(id).size(), 3);
        QCOMPARE(settings.getBool(u"isLoggedIn"_s, false), true);
        QVERIFY(movedAside(m_folder).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestStorage)
#include "tst_storage.moc"
