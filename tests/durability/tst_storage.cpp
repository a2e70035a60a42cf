#include "chat/conversationlistmodel.h"
#include "chat/historydates.h"
#include "chat/openconversation.h"
#include "chat/searchresultsmodel.h"
#include "conversation/conversationcodec.h"
#include "conversation/conversationstore.h"
#include "conversation/historydatabase.h"
#include "conversation/historytransfer.h"
#include "conversation/searchtext.h"
#include "core/settingkeys.h"
#include "core/settingsstore.h"
#include "logcapture.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
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
Message at(Message message, double timestamp)
{
    message.timestamp = timestamp;
    return message;
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
        SettingsStore settings(path);
        ConversationStore store(&settings);
        if (!store.isAvailable())
            return u"the history cannot be read"_s;
        for (auto it = m_completed.cbegin(); it != m_completed.cend(); ++it) {
            const qsizetype stored = store.messages(QUuid::fromString(it.key())).size();
            if (stored < it.value())
                return u"conversation %1 has %2 of %3 messages"_s.arg(it.key()).arg(stored).arg(
                    it.value());
        }
        // The index holds exactly the questions and answers there are, however the write
        // before the kill ended.
        if (!sql(path, u"INSERT INTO search_index (search_index) VALUES ('integrity-check')"_s))
            return u"the search index does not match its text"_s;
        if (!sql(path, u"SELECT CASE WHEN (SELECT COUNT(*) FROM messages m WHERE kind IN "
                       "('question', 'answer') AND content <> '' AND NOT EXISTS (SELECT 1 FROM "
                       "search_text WHERE message = m.id) AND NOT EXISTS (SELECT 1 FROM "
                       "search_backlog WHERE message = m.id)) > 0 THEN "
                       "abs(-9223372036854775807 - 1) END"_s))
            return u"a stored message is neither in the search index nor listed for it"_s;
        return {};
    }

    // Writes until the filesystem refuses; returns the bytes written.
    static qint64 fill(const QString &path)
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return -1;
        qint64 total = 0;
        for (qint64 n = 1; n > 0 && total < (32 << 20); total += qMax<qint64>(n, 0))
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

    // Each conversation a fresh start reads from `path`, with its messages.
    static QHash<QUuid, MessageList> storedMap(const QString &path)
    {
        SettingsStore settings(path);
        QHash<QUuid, MessageList> map;
        for (const StoredConversation &c :
             ConversationStore(&settings).allConversations().value_or(QList<StoredConversation>()))
            map.insert(c.id, c.messages);
        return map;
    }

    // Takes the history tables at `path` back to what version 1 made: no search index, no
    // parents, no columns of later versions.
    static bool asVersion1LeftIt(const QString &path)
    {
        for (const QString &undo : {u"DROP TABLE search_backlog"_s, u"DROP TABLE search_index"_s,
                                    u"DROP TABLE search_text"_s, u"DROP INDEX messages_by_parent"_s,
                                    u"ALTER TABLE messages DROP COLUMN shown_at"_s,
                                    u"ALTER TABLE messages DROP COLUMN asked_characters"_s,
                                    u"ALTER TABLE messages DROP COLUMN asked_amount"_s,
                                    u"UPDATE messages SET parent = NULL"_s,
                                    u"DELETE FROM history_schema WHERE version > 1"_s}) {
            if (!sql(path, undo)) {
                qWarning("%s", qPrintable(undo));
                return false;
            }
        }
        return true;
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
        store.saveMessage(id, Message(u"q"_s, true));
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

    // A history of earlier versions that cannot be read is kept byte for byte in a file of its
    // own when the store opens, and the key is gone: the history starts empty, never half read.
    void unreadableBlobIsKeptByteExact_data()
    {
        QTest::addColumn<QByteArray>("blob");
        const auto row = [](const char *name, const QByteArray &blob) {
            QTest::newRow(name) << blob;
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
    }

    void unreadableBlobIsKeptByteExact()
    {
        QFETCH(QByteArray, blob);
        SettingsStore &settings = freshSettings(blob);
        LogCapture log;
        ConversationStore store(&settings);
        QCOMPARE(keptCopy(), blob);
        QCOMPARE(store.conversationCount(), 0);
        QVERIFY(!settings.storedBytes(SettingKeys::conversations));
        QCOMPARE(store.backupPath(), m_dir.filePath(movedAside(m_dir.path()).first()));
        QCOMPARE(log.count(u"无法读取的历史记录已保存到 "_s + store.backupPath()), 1);

        // Kept once: later starts and writes make no more copies.
        saveQuestion(store);
        QCOMPARE(ConversationStore(&settings).conversationCount(), 1);
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
        QCOMPARE(store.conversationCount(), 0);
        QCOMPARE(keptCopy(), kept);
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

        // And through the history's rows.
        ConversationStore store(&freshSettings());
        QVERIFY(store.saveMessage(id, m));
        const Message r = store.messages(id).first();
        QCOMPARE(r.id, m.id);
        QCOMPARE(r.content, content);
        QCOMPARE(r.timestamp, timestamp);
        QCOMPARE(r.cachedImagePath, m.cachedImagePath);
        QCOMPARE(r.avatarURL, m.avatarURL);
        QCOMPARE(r.imageURL, m.imageURL);
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

    // The first start of this version finds the old blob: every message becomes a row with the
    // same fields, of the kind it was, marked as already tidied; the blob's bytes are kept in a
    // dated file and the key is gone. A later pair of the same id wins, as it always did.
    void legacyHistoryBecomesRowsFieldByField()
    {
        const auto object = [](Message m, bool loading = false) {
            m.isLoading = loading;
            return ConversationCodec::encodeMessage(m);
        };
        Message question(u"问题"_s, true);
        question.timestamp = 10.125;
        Message answer(u"<code>int x;</code>结果"_s, false);
        answer.timestamp = 11.5;
        answer.avatarURL = u"https://example.com/a.png"_s;
        answer.imageURL = u"https://example.com/i.png"_s;
        Message notice(u"请升级会员后再次访问"_s, false);
        Message picture(QString(), false);
        picture.cachedImagePath = u"/home/u/Documents/p.png"_s;
        Message waiting(QString(), false);
        const QByteArray a = Message::idText(QUuid::createUuid()).toLatin1();
        const QByteArray b = Message::idText(QUuid::createUuid()).toLatin1();
        const QByteArray blob = "[\"" + a + "\",[" + object(Message(u"被覆盖"_s, true)) + "],\"" +
                                b.toLower() + "\",[" + object(at(Message(u"后来的"_s, true), 20)) +
                                "],\"" + a + "\",[" + object(question) + "," + object(answer) +
                                "," + object(notice) + "," + object(picture) + "," +
                                object(waiting, true) + "]]";

        SettingsStore &settings = freshSettings(blob);
        LogCapture log;
        ConversationStore store(&settings);
        QVERIFY(!settings.storedBytes(SettingKeys::conversations));
        QVERIFY(QFileInfo(store.backupPath()).fileName().startsWith(u"conversations-backup-"_s));
        QCOMPARE(readAll(store.backupPath()), blob);
        QCOMPARE(log.count(u"历史记录已转为数据表，原数据已保存到 "_s + store.backupPath()), 1);

        const MessageList rows = store.messages(QUuid::fromString(QString::fromLatin1(a)));
        const MessageList was{question, answer, notice, picture, waiting};
        QCOMPARE(rows.size(), was.size());
        const QList<MessageKind> kinds{MessageKind::Question, MessageKind::Answer,
                                       MessageKind::Notice, MessageKind::Picture,
                                       MessageKind::Arriving};
        for (int i = 0; i < rows.size(); ++i) {
            QCOMPARE(rows[i].id, was[i].id);
            QCOMPARE(rows[i].content, was[i].content);
            QCOMPARE(rows[i].isUserMessage, was[i].isUserMessage);
            QCOMPARE(rows[i].timestamp, was[i].timestamp);
            QCOMPARE(rows[i].avatarURL, was[i].avatarURL);
            QCOMPARE(rows[i].imageURL, was[i].imageURL);
            QCOMPARE(rows[i].cachedImagePath, was[i].cachedImagePath);
            QCOMPARE(rows[i].kind, kinds[i]);
            QCOMPARE(rows[i].preformatted, !was[i].isUserMessage);
        }
        // Started later, listed first; each row titled by its last message.
        const QList<HistoryRow> list = store.historyRows(0, 10);
        QCOMPARE(list.size(), 2);
        QCOMPARE(Message::idText(list[0].id).toLatin1(), b);
        QCOMPARE(list[0].text, u"后来的"_s);
        QCOMPARE(list[1].text, u"网络请求失败，请稍后重试"_s);
        QCOMPARE(list[1].started, 10.125);
    }

    // What the history list shows for a conversation: its last message as plain text.
    void rowTextIsTheLastMessageAsPlainText_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("content");
        QTest::addColumn<bool>("preformatted");
        QTest::addColumn<QString>("shown");
        const auto row = [](const char *name, MessageKind kind, const QString &content,
                            bool preformatted, const QString &shown) {
            QTest::newRow(name) << int(kind) << content << preformatted << shown;
        };
        row("question", MessageKind::Question, u"**不是** 标记"_s, false, u"**不是** 标记"_s);
        row("answer's marks", MessageKind::Answer, u"## 标题\n\n**粗体** 和 `代码`"_s, false,
            u"标题\n粗体 和 代码"_s);
        row("answer's code block", MessageKind::Answer, u"看：\n```cpp\nint x;\n```"_s, false,
            u"看：\nint x;"_s);
        row("tidied answer", MessageKind::Answer, u"看：<code>int x;</code>"_s, true,
            u"看：int x;"_s);
        row("picture", MessageKind::Picture, QString(), false, u"【图片】"_s);
        row("still arriving", MessageKind::Arriving, QString(), false,
            u"网络请求失败，请稍后重试"_s);
        row("empty answer", MessageKind::Answer, QString(), false, QString());
        row("long", MessageKind::Question, QString(400, u'长'), false, QString(300, u'长'));
    }

    void rowTextIsTheLastMessageAsPlainText()
    {
        QFETCH(int, kind);
        QFETCH(QString, content);
        QFETCH(bool, preformatted);
        QFETCH(QString, shown);
        ConversationStore store(&freshSettings());
        Message last(content, kind == int(MessageKind::Question));
        last.kind = MessageKind(kind);
        last.preformatted = preformatted;
        if (last.kind == MessageKind::Picture)
            last.cachedImagePath = u"/p.png"_s;
        const QUuid id = QUuid::createUuid();
        QVERIFY(store.saveMessages(id, {Message(u"q"_s, true), last}));
        QCOMPARE(store.historyRows(0, 1).first().text, shown);
    }

    // Each write changes only its rows: an update keeps a message's place, a removal keeps the
    // others, the conversation's start follows its first message, and a conversation left with
    // nothing is gone.
    void writesChangeOnlyTheirRows()
    {
        ConversationStore store(&freshSettings());
        const QUuid id = QUuid::createUuid();
        QVERIFY(store.saveMessages(id, {}));
        QCOMPARE(store.conversationCount(), 0); // an empty list is never stored

        Message keep = at(Message(u"keep"_s, true), 1);
        Message question = at(Message(u"q"_s, true), 2);
        Message answer = at(Message(QString(), false), 3);
        answer.kind = MessageKind::Arriving;
        QVERIFY(store.saveMessages(id, {keep, question, answer}));
        const QUuid other = QUuid::createUuid();
        QVERIFY(store.saveMessages(other, {at(Message(u"other"_s, true), 0)}));

        answer.kind = MessageKind::Answer;
        answer.content = u"答"_s;
        answer.chargedCharacters = 1;
        answer.chargedAmount = 0.02;
        QVERIFY(store.saveMessage(id, answer));
        MessageList now = store.messages(id);
        QCOMPARE(now.size(), 3);
        QCOMPARE(now.last().content, u"答"_s);
        QCOMPARE(now.last().chargedAmount, 0.02);
        QCOMPARE(now.last().chargedCharacters, 1);

        QVERIFY(store.removeMessages(id, {keep.id}));
        QCOMPARE(store.historyRows(0, 2).first().started, 2.0);
        QVERIFY(store.removeMessages(id, {question.id, answer.id}));
        QVERIFY(!store.contains(id));
        QCOMPARE(store.messages(other).size(), 1);
    }

    // After the history is cleared, the next change of a conversation still open stores all of
    // it, so it comes back in the history whole.
    void clearThenNextChangeStoresTheOpenConversationAgain()
    {
        ConversationStore store(&freshSettings());
        const QUuid id = QUuid::createUuid();
        store.saveMessages(QUuid::createUuid(), {Message(u"elsewhere"_s, true)});
        OpenConversation open(id, &store);
        open.append({Message(u"q"_s, true), Message(u"a"_s, false)});

        QSignalSpy changed(&store, &ConversationStore::historyChanged);
        LogCapture log;
        QVERIFY(store.clearHistory());
        QCOMPARE(store.conversationCount(), 0);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(log.all(), QStringList{u"历史记录已清除"_s});

        open.append({Message(u"q2"_s, true)});
        QCOMPARE(store.conversationCount(), 1);
        QCOMPARE(store.messages(id).size(), 3);
    }

    // The list reads a page at a time, newest start first, however recent a conversation's
    // last message is.
    void historyListPagesInStartOrder()
    {
        ConversationStore store(&freshSettings());
        for (int i = 0; i < 120; ++i) {
            store.saveMessages(QUuid::createUuid(), {at(Message(QString::number(i), true), i),
                                                     at(Message(u"a"_s, false), 1000 - i)});
        }
        ConversationListModel model;
        model.setStore(&store);
        QCOMPARE(model.rowCount(), ConversationListModel::kPageSize);
        QVERIFY(model.canFetchMore({}));
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        while (model.canFetchMore({}))
            model.fetchMore({});
        QCOMPARE(model.rowCount(), 120);
        for (int row = 0; row < 120; ++row) {
            const QUuid id = QUuid::fromString(
                model.data(model.index(row), ConversationListModel::ConversationIdRole).toString());
            QCOMPARE(store.messages(id).first().content, QString::number(119 - row));
        }
    }

    // A history to search: questions and answers in Chinese, Latin and full-width forms,
    // Markdown, and a notice. Each is saved at its own time, so results come newest first.
    static QHash<QString, QUuid> searchableHistory(ConversationStore &store)
    {
        const struct {
            const char *name;
            MessageKind kind;
            QString text;
        } messages[] = {
            {"park question", MessageKind::Question, u"我们去公园吧"_s},
            {"park answer", MessageKind::Answer, u"## 公园\n**北京**的颐和园是一个很大的公园。"_s},
            {"python question", MessageKind::Question, u"Python 的列表推导式怎么写"_s},
            {"python answer", MessageKind::Answer,
             u"```python\nsquares = [x * x for x in range(10)]\n```\n这样就行"_s},
            {"notice", MessageKind::Notice, u"网络请求失败，请稍后重试"_s},
            {"full-width question", MessageKind::Question, u"ＡＢＣ１２３全角字母"_s},
            {"marked answer", MessageKind::Answer, u"这是**粗体**文字，见[文档](https://x.cn)"_s},
        };
        QHash<QString, QUuid> ids;
        const QUuid first = QUuid::createUuid(), second = QUuid::createUuid();
        double time = 100;
        for (const auto &m : messages) {
            Message message = at(Message(m.text, m.kind == MessageKind::Question), time++);
            message.kind = m.kind;
            store.saveMessage(time < 103 ? first : second, message);
            ids.insert(QString::fromLatin1(m.name), message.id);
        }
        return ids;
    }
    // The names of the messages `query` finds, in the order found.
    static QStringList found(ConversationStore &store, const QHash<QString, QUuid> &ids,
                             const QString &query)
    {
        QStringList names;
        for (const SearchHit &hit : store.search(query, 50))
            names.append(ids.key(hit.message, u"?"_s));
        return names;
    }

    void searchFindsEveryWordAsShown_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("expected");
        const auto names = [](std::initializer_list<const char *> list) {
            QStringList out;
            for (const char *name : list)
                out.append(QString::fromLatin1(name));
            return out;
        };
        QTest::newRow("two Chinese characters, a scan")
            << u"公园"_s << names({"park answer", "park question"});
        QTest::newRow("one character") << u"园"_s << names({"park answer", "park question"});
        QTest::newRow("three characters, the index") << u"颐和园"_s << names({"park answer"});
        QTest::newRow("five characters") << u"列表推导式"_s << names({"python question"});
        QTest::newRow("mixed Chinese and Latin") << u"python 列表"_s << names({"python question"});
        QTest::newRow("Latin case ignored") << u"PYTHON"_s << names({"python question"});
        QTest::newRow("code in an answer") << u"squares"_s << names({"python answer"});
        QTest::newRow("full-width letters found by half-width")
            << u"abc"_s << names({"full-width question"});
        QTest::newRow("half-width digits found by full-width")
            << u"１２３"_s << names({"full-width question"});
        QTest::newRow("full-width space between words")
            << u"公园　北京"_s << names({"park answer"});
        QTest::newRow("every word must appear") << u"公园 北京"_s << names({"park answer"});
        QTest::newRow("one word missing") << u"公园 上海"_s << QStringList();
        QTest::newRow("short and long words") << u"园 颐和"_s << names({"park answer"});
        QTest::newRow("notices take no part") << u"网络请求"_s << QStringList();
        QTest::newRow("Markdown marks do not count") << u"粗体文字"_s << names({"marked answer"});
        QTest::newRow("marks are not text") << u"**"_s << QStringList();
        QTest::newRow("link target is not shown") << u"x.cn"_s << QStringList();
        QTest::newRow("query syntax is plain text") << u"\"公园 OR"_s << QStringList();
        QTest::newRow("blank query") << u"   "_s << QStringList();
    }
    // Questions and answers are found by what they show: Chinese words of any length, Latin
    // in any case, full-width and half-width forms alike, every word required; notices never.
    void searchFindsEveryWordAsShown()
    {
        QFETCH(QString, query);
        QFETCH(QStringList, expected);
        ConversationStore store(&freshSettings());
        const QHash<QString, QUuid> ids = searchableHistory(store);
        QCOMPARE(found(store, ids, query), expected);
    }

    void searchTextIsWhatTheBubbleShows_data()
    {
        QTest::addColumn<QString>("markdown");
        QTest::addColumn<QString>("shown");
        QTest::newRow("heading, emphasis, code ticks")
            << u"## 标题\n**粗** __体__ ~~删~~ `代码`"_s << u"标题\n粗 体 删 代码"_s;
        QTest::newRow("a fence keeps its code, not its language")
            << u"```python\nx = a ** 2  # __init__\n```"_s << u"x = a ** 2  # __init__"_s;
        QTest::newRow("links and pictures keep their text")
            << u"见[文档](https://x.cn/a)和![图](p.png)"_s << u"见文档和图"_s;
        QTest::newRow("a table without its rule and pipes")
            << u"| 项 | 价 |\n|:--|--:|\n| 茶 | 12 |"_s << u"项  价\n茶  12"_s;
        QTest::newRow("quotes and list marks") << u"> 引文\n- 甲\n2. 乙"_s << u"引文\n甲\n乙"_s;
    }
    // Markdown marks are not searched; what the bubble shows is.
    void searchTextIsWhatTheBubbleShows()
    {
        QFETCH(QString, markdown);
        QFETCH(QString, shown);
        QCOMPARE(SearchText::plain(markdown), shown);
    }

    // Search results follow every write: an edited answer is found by its new words only, a
    // removed message or conversation no longer, a restored one again, and nothing after a
    // clear.
    void searchFollowsEditsAndDeletes()
    {
        ConversationStore store(&freshSettings());
        const QUuid id = QUuid::createUuid();
        Message question = at(Message(u"长城有多长"_s, true), 1);
        Message answer = at(Message(u"大约两万一千公里"_s, false), 2);
        store.saveMessages(id, {question, answer});
        QCOMPARE(store.search(u"两万一千"_s, 10).size(), 1);

        answer.content = u"约 21196 公里"_s;
        QVERIFY(store.saveMessage(id, answer));
        QCOMPARE(store.search(u"两万一千"_s, 10).size(), 0);
        QCOMPARE(store.search(u"21196"_s, 10).size(), 1);

        QVERIFY(store.removeMessages(id, {answer.id}));
        QCOMPARE(store.search(u"21196"_s, 10).size(), 0);
        QCOMPARE(store.search(u"长城"_s, 10).size(), 1);

        const std::optional<RemovedConversation> removed = store.removeConversation(id);
        QVERIFY(removed);
        QCOMPARE(store.search(u"长城"_s, 10).size(), 0);
        QVERIFY(store.restoreConversation(*removed));
        QCOMPARE(store.search(u"长城有多"_s, 10).size(), 1);

        // Still open in a window: its next change stores it whole again, not just the change.
        OpenConversation open(id, &store);
        QVERIFY(store.removeConversation(id));
        open.append({Message(u"长城在哪"_s, true)});
        QCOMPARE(store.messages(id).size(), 2);

        QVERIFY(store.clearHistory());
        QCOMPARE(store.search(u"长城"_s, 10).size(), 0);
        QCOMPARE(store.search(u"长城有多"_s, 10).size(), 0);
    }

    // A result shows about 60 characters around the match on one line, the match marked.
    void snippetShowsTheMatchInItsContext()
    {
        const QString shown = QString(100, u'前') + u"\n找到ＴＡＬ了"_s + QString(100, u'后');
        const SearchHit hit = HistorySearch::snippet(shown, HistorySearch::words(u"tal"_s));
        QVERIFY(hit.snippet.startsWith(u"…"_s));
        QVERIFY(hit.snippet.endsWith(u"…"_s));
        QCOMPARE(hit.snippet.size(), HistorySearch::kSnippetLength + 2);
        QVERIFY(!hit.snippet.contains(u'\n'));
        QCOMPARE(hit.marks.size(), 1);
        QCOMPARE(hit.snippet.mid(hit.marks.first().first, hit.marks.first().second), u"ＴＡＬ"_s);

        ConversationStore store(&freshSettings());
        store.saveMessage(QUuid::createUuid(), Message(u"a <b> & 公园"_s, true));
        SearchResultsModel results;
        results.setStore(&store);
        results.setQuery(u"公园"_s);
        results.search();
        QCOMPARE(results.rowCount(), 1);
        QCOMPARE(results.data(results.index(0), SearchResultsModel::SnippetMarkupRole).toString(),
                 u"a &lt;b&gt; &amp; <b>公园</b>"_s);
    }

    // A history kept before the index existed, or in the old blob, is indexed behind the
    // window, newest first: searches meanwhile find what is indexed already, and the window's
    // own writes go on while the worker indexes (none fails for the lock it holds).
    void upgradeIndexesTheMessagesAlreadyThere_data()
    {
        QTest::addColumn<bool>("fromBlob");
        QTest::newRow("rows from before the index") << false;
        QTest::newRow("the old blob") << true;
    }

    void upgradeIndexesTheMessagesAlreadyThere()
    {
        QFETCH(bool, fromBlob);
        ConversationMap history;
        for (int c = 0; c < 60; ++c) {
            MessageList list = conversation(u"升级之前的问题"_s, 50);
            for (int i = 0; i < list.size(); ++i)
                list[i].timestamp = 1000 + c * 100 + i;
            history.insert(QUuid::createUuid(), list);
        }
        const QString path =
            freshSettings(fromBlob ? std::optional(ConversationCodec::encode(history))
                                   : std::nullopt)
                .path();
        if (!fromBlob) {
            {
                ConversationStore store(m_settings.get());
                for (auto it = history.cbegin(); it != history.cend(); ++it)
                    QVERIFY(store.saveMessages(it.key(), it.value()));
            }
            m_settings.reset();
            QVERIFY(asVersion1LeftIt(path));
        }
        m_settings.reset();
        SettingsStore settings(path);
        ConversationStore store(&settings);
        QVERIFY(store.isAvailable());
        QVERIFY(!store.isSearchComplete());
        QCOMPARE(store.search(u"升级之前"_s, 10).size(), 0);

        QSignalSpy completed(&store, &ConversationStore::searchCompleteChanged);
        store.completeSearchIndex();
        const QUuid added = QUuid::createUuid();
        int writes = 0;
        for (; completed.isEmpty() && writes < 10'000; ++writes) {
            QVERIFY(store.saveMessage(added, Message(u"升级之后的问题 %1"_s.arg(writes), true)));
            QCoreApplication::processEvents();
        }
        QVERIFY(!completed.isEmpty() || completed.wait(60000));
        QVERIFY(store.isSearchComplete());
        QCOMPARE(store.search(u"升级之后"_s, 20'000).size(), writes);
        // Every message once, the newest first.
        const QList<SearchHit> found = store.search(u"升级之前"_s, 10'000);
        QCOMPARE(found.size(), 60 * 50);
        QCOMPARE(found.first().timestamp, 1000 + 59 * 100 + 49.0);
        QVERIFY(sql(path, u"INSERT INTO search_index (search_index) VALUES ('integrity-check')"_s));
        // Nothing is left for the next start.
        SettingsStore again(path);
        QVERIFY(ConversationStore(&again).isSearchComplete());
    }

    // A name, a pin and a delete undone each hold after a restart; a deleted conversation
    // comes back with its messages, name, pin and place.
    void renamePinAndUndoneDeleteSurviveARestart()
    {
        const QString path = freshSettings().path();
        const QUuid older = QUuid::createUuid(), newer = QUuid::createUuid();
        MessageList olderMessages{at(Message(u"旧问题"_s, true), 10),
                                  at(Message(u"旧回答"_s, false), 11)};
        {
            ConversationStore store(m_settings.get());
            store.saveMessages(older, olderMessages);
            store.saveMessages(newer, {at(Message(u"新问题"_s, true), 20)});
            ConversationListModel model;
            model.setStore(&store);
            const QString olderId = Message::idText(older);
            model.rename(olderId, u"  我的对话  "_s);
            model.setPinned(olderId, true);
            QCOMPARE(model.data(model.index(0), ConversationListModel::TitleRole).toString(),
                     u"我的对话"_s);
            QVERIFY(model.remove(olderId));
            QCOMPARE(model.rowCount(), 1);
            QVERIFY(model.canUndo());
            model.undoRemove();
            QVERIFY(!model.canUndo());
            QVERIFY(model.remove(Message::idText(newer)));
        }
        m_settings.reset();
        SettingsStore settings(path);
        ConversationStore store(&settings);
        const QList<HistoryRow> rows = store.historyRows(0, 10);
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.first().id, older);
        QCOMPARE(rows.first().text, u"我的对话"_s);
        QVERIFY(rows.first().pinned);
        QCOMPARE(rows.first().started, 10.0);
        const MessageList back = store.messages(older);
        QCOMPARE(back.size(), 2);
        QCOMPARE(back.at(0).id, olderMessages.at(0).id);
        QCOMPARE(back.at(1).content, u"旧回答"_s);
        QCOMPARE(store.search(u"旧回答"_s, 10).size(), 1);

        // An empty name gives the automatic row text back; unpinning moves it back among
        // the others by start.
        QVERIFY(store.renameConversation(older, u"  "_s));
        QVERIFY(store.setPinned(older, false));
        store.saveMessage(newer, at(Message(u"更新"_s, true), 30));
        const QList<HistoryRow> after = store.historyRows(0, 10);
        QCOMPARE(after.size(), 2);
        QCOMPARE(after.at(0).id, newer);
        QCOMPARE(after.at(1).text, u"旧回答"_s);
        QVERIFY(!after.at(1).pinned);
    }

    void historyGroupsAndShortDates_data()
    {
        QTest::addColumn<QDateTime>("when");
        QTest::addColumn<QString>("group");
        QTest::addColumn<QString>("date");
        const QDateTime now(QDate(2026, 3, 10), QTime(9, 30));
        QTest::newRow("earlier today") << now.addSecs(-3600) << u"今天"_s << u"08:30"_s;
        QTest::newRow("just after midnight")
            << QDateTime(QDate(2026, 3, 10), QTime(0, 1)) << u"今天"_s << u"00:01"_s;
        QTest::newRow("yesterday late")
            << QDateTime(QDate(2026, 3, 9), QTime(23, 59)) << u"昨天"_s << u"昨天"_s;
        QTest::newRow("two days ago") << now.addDays(-2) << u"过去 7 天"_s << u"3月8日"_s;
        QTest::newRow("six days ago") << now.addDays(-6) << u"过去 7 天"_s << u"3月4日"_s;
        QTest::newRow("seven days ago") << now.addDays(-7) << u"更早"_s << u"3月3日"_s;
        QTest::newRow("last year") << now.addYears(-1) << u"更早"_s << u"2025/3/10"_s;
        QTest::newRow("a clock set ahead") << now.addDays(1) << u"今天"_s << u"09:30"_s;
    }
    void historyGroupsAndShortDates()
    {
        QFETCH(QDateTime, when);
        QFETCH(QString, group);
        QFETCH(QString, date);
        const QDateTime now(QDate(2026, 3, 10), QTime(9, 30));
        QCOMPARE(HistoryDates::group(when, now), group);
        QCOMPARE(HistoryDates::shortDate(when, now), date);
    }

    // The history to a file and back: an export imported into an empty profile is the same
    // history (an answer still arriving becomes the notice a restart shows), importing it again
    // adds nothing, and a file that is not a history changes nothing.
    void exportThenImportGivesTheSameHistory()
    {
        ConversationStore store(&freshSettings());
        Message raw(u"## 标题\n```python\nreturn 3.14 * r ** 2\n```"_s, false);
        raw.model = u"gpt-4o"_s;
        Message tidied(u"<code>x</code>"_s, false);
        tidied.preformatted = true;
        Message picture(QString(), false);
        picture.kind = MessageKind::Picture;
        picture.cachedImagePath = u"/p.png"_s;
        Message arriving(QString(), false);
        arriving.kind = MessageKind::Arriving;
        const QUuid first = QUuid::createUuid(), second = QUuid::createUuid();
        store.saveMessages(first, {Message(u"问"_s, true), raw, Message(u"再问"_s, true), tidied});
        store.saveMessages(second, {Message(u"画"_s, true), picture, Message(u"又问"_s, true),
                                    Message::notice(u"请升级会员后再次访问"_s),
                                    Message(u"断了"_s, true), arriving});
        const QString file = m_dir.filePath(u"export.json"_s);
        QVERIFY(HistoryTransfer::exportTo(store, file).ok);
        const auto before = store.allConversations();

        QTemporaryDir other;
        SettingsStore settings(other.filePath(u"settings.sqlite"_s));
        ConversationStore empty(&settings);
        const HistoryTransfer::Result imported = HistoryTransfer::importFrom(empty, file);
        QVERIFY2(imported.ok, qPrintable(imported.error));
        QCOMPARE(imported.messages, 10);
        for (const StoredConversation &c : *before) {
            const MessageList back = empty.messages(c.id);
            QCOMPARE(back.size(), c.messages.size());
            for (int i = 0; i < back.size(); ++i) {
                const Message &m = c.messages[i];
                const bool arrived = m.kind == MessageKind::Arriving;
                QCOMPARE(back[i].id, m.id);
                QCOMPARE(back[i].kind, arrived ? MessageKind::Notice : m.kind);
                QCOMPARE(back[i].content, arrived ? u"网络请求失败，请稍后重试"_s : m.content);
                QCOMPARE(back[i].timestamp, m.timestamp);
                QCOMPARE(back[i].preformatted, m.preformatted);
                QCOMPARE(back[i].cachedImagePath, m.cachedImagePath);
            }
        }
        QCOMPARE(HistoryTransfer::importFrom(empty, file).messages, 0);

        const QString bad = m_dir.filePath(u"bad.json"_s);
        QFile out(bad);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write("[\"" + Message::idText(QUuid::createUuid()).toLatin1() + "\",[" + good() +
                  "],\"x\"]");
        out.close();
        const HistoryTransfer::Result refused = HistoryTransfer::importFrom(empty, bad);
        QVERIFY(!refused.ok && refused.error.contains(u"不是有效的历史记录文件"_s));
        QCOMPARE(empty.conversationCount(), 2);
    }

    // A history written before messages had parents: the upgrade gives each message the one
    // before it, so the whole conversation stays in view, and new variants branch from it.
    void historyOfAnEarlierVersionStaysOneLine()
    {
        const QString path = emptyFolder();
        const QUuid id = QUuid::createUuid();
        const MessageList was{Message(u"q1"_s, true), Message(u"a1"_s, false),
                              Message(u"q2"_s, true), Message(u"a2"_s, false)};
        {
            SettingsStore settings(path);
            ConversationStore store(&settings);
            QVERIFY(store.saveMessages(id, was));
            QVERIFY(store.removeMessages(id, {}));
        }
        QVERIFY(asVersion1LeftIt(path));

        SettingsStore settings(path);
        ConversationStore store(&settings);
        const MessageList rows = store.messages(id);
        QCOMPARE(rows.size(), 4);
        QCOMPARE(rows.first().parentId, std::nullopt);
        for (int i = 1; i < 4; ++i)
            QCOMPARE(rows.at(i).parentId, std::optional(was.at(i - 1).id));
        QCOMPARE(store.shownMessages(id).size(), 4);
        OpenConversation open(id, &store);
        QCOMPARE(open.messages().size(), 4);
        QCOMPARE(open.variantOf(was.at(2).id), std::pair(1, 1));
    }

    // Every branch goes to the file, each message naming what it follows; an import restores
    // them, and the same branch is in view. A reader of the older form reads one line.
    void branchesSurviveExportAndImport()
    {
        ConversationStore store(&freshSettings());
        const auto follows = [](Message m, const Message &parent, double time) {
            m.parentId = parent.id;
            m.timestamp = time;
            return m;
        };
        const Message q1 = at(Message(u"q1"_s, true), 1);
        const Message a1 = follows(Message(u"a1"_s, false), q1, 2);
        const Message q2 = follows(Message(u"q2"_s, true), a1, 3);
        const Message a2 = follows(Message(u"a2"_s, false), q2, 4);
        const Message edited = follows(Message(u"q2 改"_s, true), a1, 5);
        Message answer = follows(Message(u"答"_s, false), edited, 6);
        // The older branch was switched back into view after the edit.
        Message back = a2;
        back.shownAt = 7;
        const QUuid id = QUuid::createUuid();
        QVERIFY(store.saveMessages(id, {q1, a1, q2, back, edited, answer}));
        QCOMPARE(store.shownMessages(id).last().content, u"a2"_s);
        QCOMPARE(store.historyRows(0, 1).first().text, u"a2"_s);

        const QString file = m_dir.filePath(u"branches.json"_s);
        QVERIFY(HistoryTransfer::exportTo(store, file).ok);
        QFile written(file);
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QJsonArray form = QJsonDocument::fromJson(written.readAll()).array();
        const QJsonArray messages = form.at(1).toArray();
        QCOMPARE(messages.size(), 6);
        QVERIFY(!messages.at(0).toObject().contains(u"parentId"_s));
        QCOMPARE(messages.at(4).toObject().value(u"parentId"_s).toString(), Message::idText(a1.id));

        QTemporaryDir other;
        SettingsStore settings(other.filePath(u"settings.sqlite"_s));
        ConversationStore empty(&settings);
        QVERIFY(HistoryTransfer::importFrom(empty, file).ok);
        const MessageList imported = empty.messages(id);
        QCOMPARE(imported.size(), 6);
        for (int i = 0; i < 6; ++i)
            QCOMPARE(imported.at(i).parentId,
                     (MessageList{q1, a1, q2, a2, edited, answer}).at(i).parentId);
        // The choice of view is this machine's; the file restores the branches, and the newest
        // is in view.
        QStringList shown;
        for (const Message &m : empty.shownMessages(id))
            shown.append(m.content);
        QCOMPARE(shown, (QStringList{u"q1"_s, u"a1"_s, u"q2 改"_s, u"答"_s}));
    }

    // The same through the program, beside nothing running: no window, status 0, and a clear
    // message with a non-zero status for a file that is not a history.
    void historyCommandsRunWithoutAWindow()
    {
        QTemporaryDir home;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"XDG_CONFIG_HOME"_s, home.path());
        env.remove(u"DISPLAY"_s);
        env.insert(u"QT_QPA_PLATFORM"_s, u"nothing-here"_s);
        const auto run = [&](const QStringList &args, QByteArray *err = nullptr) {
            QProcess p;
            p.setProcessEnvironment(env);
            p.start(QStringLiteral(TALVORO_APP), args);
            p.waitForFinished(30000);
            if (err)
                *err = p.readAllStandardError();
            return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        };
        const QString file = home.filePath(u"h.json"_s);
        {
            SettingsStore settings(home.filePath(u"Talvoro/Talvoro/settings.sqlite"_s));
            ConversationStore(&settings).saveMessages(QUuid::createUuid(), {Message(u"q"_s, true)});
        }
        QCOMPARE(run({u"--export-history"_s, file}), 0);
        QCOMPARE(ConversationCodec::decode(readAll(file))->size(), 1);
        QCOMPARE(run({u"--import-history"_s, file}), 0);
        QByteArray err;
        QCOMPARE(run({u"--import-history"_s, home.filePath(u"missing.json"_s)}, &err), 1);
        QVERIFY(err.contains("missing.json"));
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

    // A start killed while it converts the old blob leaves the blob as it was or the rows
    // complete, never half; the next start finishes the job, with one kept copy of the blob.
    void migrationKilledPartWayIsFinishedByTheNextStart()
    {
        const QString child = QCoreApplication::applicationDirPath() + u"/savechild"_s;
        ConversationMap history;
        for (int c = 0; c < 400; ++c)
            history.insert(QUuid::createUuid(), conversation(QString(300, u'史'), 20));
        const QByteArray blob = ConversationCodec::encode(history);
        QRandomGenerator random(QRandomGenerator::global()->generate());
        int finishedBeforeKill = 0;
        for (int run = 0; run < 12; ++run) {
            const QString path = freshSettings(blob).path();
            m_settings.reset();
            QProcess process;
            process.start(child, {path, u"0"_s, u"migrate"_s});
            QVERIFY(process.waitForStarted(10000));
            QThread::usleep(random.bounded(400000));
            process.kill();
            QVERIFY(process.waitForFinished(10000));
            finishedBeforeKill += process.exitStatus() == QProcess::NormalExit ? 1 : 0;

            SettingsStore settings(path);
            ConversationStore store(&settings);
            QCOMPARE(store.conversationCount(), 400);
            QCOMPARE(store.messages(history.cbegin().key()).size(), 20);
            QVERIFY(!settings.storedBytes(SettingKeys::conversations));
            const QStringList kept =
                QDir(m_dir.path()).entryList({u"conversations-backup-*"_s}, QDir::Files);
            QCOMPARE(kept.size(), 1);
            QCOMPARE(readAll(m_dir.filePath(kept.first())), blob);
        }
        qInfo("runs that finished before the kill: %d of 12", finishedBeforeKill);
    }

    // Every full-disk test gets a fresh 16 MiB tmpfs; without root there is none, and it is
    // skipped.
    void init()
    {
        if (!QByteArray(QTest::currentTestFunction()).contains("FullDisk"))
            return;
        if (::geteuid() != 0)
            QSKIP("needs root to mount a size-limited tmpfs for a full disk");
        m_folder = m_dir.filePath(QUuid::createUuid().toString(QUuid::Id128));
        QDir().mkpath(m_folder);
        m_mounted = ::mount("tmpfs", QFile::encodeName(m_folder), "tmpfs", 0, "size=16m") == 0;
        if (!m_mounted)
            QSKIP(qPrintable(u"cannot mount a 16 MiB tmpfs: "_s +
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
        QVERIFY(store->saveMessages(first, conversation(u"第一段对话 "_s, 6)));
        QVERIFY(store->saveMessages(second, conversation(u"second "_s, 4)));
        const auto before = storedMap(path);

        QVERIFY(fill(filler) > 0);
        auto open = std::make_unique<OpenConversation>(QUuid::createUuid(), store.get());
        open->append(conversation(QString(12000, u'满'), 4));
        QCOMPARE(log.count(u"历史记录写入失败: "_s), 1);
        // The running program still has the answer it could not store.
        QCOMPARE(open->messages().size(), 4);

        // What was saved before is what a fresh start reads, even while the disk is full.
        const auto onDisk = storedMap(path);
        QCOMPARE(onDisk.keys().size(), 2);
        for (const QUuid &id : {first, second}) {
            QCOMPARE(onDisk.value(id).size(), before.value(id).size());
            QCOMPARE(onDisk.value(id).last().content, before.value(id).last().content);
        }
        QVERIFY(movedAside(m_folder).isEmpty());

        // Once there is room, the conversation's next change stores what could not be stored.
        QVERIFY(QFile::remove(filler));
        open->append({Message(u"after"_s, true)});
        const QUuid big = open->id();
        open.reset();
        store.reset();
        settings.reset();

        const auto restarted = storedMap(path);
        for (const QUuid &id : {first, second, big})
            QVERIFY(restarted.contains(id));
        QCOMPARE(restarted.value(big).size(), 5);
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
            store.saveMessages(id, conversation(u"kept "_s, 3));
            settings.set(u"isLoggedIn"_s, true);
        }
        QVERIFY(fill(m_folder + u"/filler"_s) > 0);

        SettingsStore settings(path);
        ConversationStore store(&settings);
        QCOMPARE(store.messages(id).size(), 3);
        QCOMPARE(settings.getBool(u"isLoggedIn"_s, false), true);
        QVERIFY(movedAside(m_folder).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestStorage)
#include "tst_storage.moc"
