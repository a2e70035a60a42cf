#include "conversation/conversationstore.h"
#include "core/settingsstore.h"
#include "logcapture.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QByteArray kGoodMessage =
    "{\"id\":\"0F8FAD5B-D9CB-469F-A165-70867728950E\",\"content\":\"hi\","
    "\"isUserMessage\":true,\"timestamp\":3.25,\"isLoading\":false}";
const QByteArray kConvA = "\"A0000000-0000-0000-0000-00000000000A\"";
} // namespace

class TestConversationStore : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<SettingsStore> m_settings;

    SettingsStore &freshSettings()
    {
        m_settings.reset();
        QDir(m_dir.path()).removeRecursively();
        QDir().mkpath(m_dir.path());
        m_settings = std::make_unique<SettingsStore>(m_dir.filePath(QStringLiteral("s.sqlite")));
        return *m_settings;
    }
    QStringList backups() const
    {
        return QDir(m_dir.path()).entryList({QStringLiteral("conversations-unreadable-*")});
    }

private slots:
    void unreadableBlobLoadsEmptyAndIsKeptByteExact_data()
    {
        QTest::addColumn<QByteArray>("blob");
        QTest::newRow("not JSON") << QByteArray("{{{not json");
        QTest::newRow("trailing garbage") << "[" + kConvA + ",[" + kGoodMessage + "]] x";
        QTest::newRow("malformed unknown member")
            << "[" + kConvA + ",[" + QByteArray(kGoodMessage).replace("}", ",\"x\":[1,}") + "]]";
        QTest::newRow("empty bytes") << QByteArray("");
        QTest::newRow("object") << QByteArray("{\"a\":1}");
        QTest::newRow("odd length") << "[" + kConvA + "]";
        QTest::newRow("bad id") << "[\"nope\",[" + kGoodMessage + "]]";
        QTest::newRow("id not a string") << "[5,[" + kGoodMessage + "]]";
        QTest::newRow("list not an array") << "[" + kConvA + ",{}]";
        QTest::newRow("bad message") << "[" + kConvA + ",[{\"id\":1}]]";
        QTest::newRow("truncated") << ("[" + kConvA + ",[" + kGoodMessage + "]]").left(60);
        QTest::newRow("invalid UTF-8")
            << "[" + kConvA + ",[" + QByteArray(kGoodMessage).replace("hi", "h\xff\xfe") + "]]";
        QTest::newRow("cut inside a character")
            << ("[" + kConvA + ",[" + QByteArray(kGoodMessage).replace("hi", "你好") + "]]")
                   .left(kConvA.size() + 3 + 57); // after the first byte of 你
        QTest::newRow("message without isLoading")
            << "[" + kConvA + ",[" + QByteArray(kGoodMessage).replace(",\"isLoading\":false", "") +
                   "]]";
        QTest::newRow("invalid imageURL")
            << "[" + kConvA + ",[" +
                   QByteArray(kGoodMessage).replace("}", ",\"imageURL\":\"http://[::1\"}") + "]]";
        QTest::newRow("timestamp out of range")
            << "[" + kConvA + ",[" + QByteArray(kGoodMessage).replace("3.25", "1e400") + "]]";
        QTest::newRow("string at top") << QByteArray("\"[]\"");
        QTest::newRow("null at top") << QByteArray("null");
        QTest::newRow("message not an object") << "[" + kConvA + ",[1]]";
        QTest::newRow("lists nested once more") << "[" + kConvA + ",[[" + kGoodMessage + "]]]";
        QTest::newRow("deep nesting") << QByteArray(5000, '[') + QByteArray(5000, ']');
        QTest::newRow("NUL after the array") << "[" + kConvA + ",[" + kGoodMessage + "]]" + '\0';
    }

    void unreadableBlobLoadsEmptyAndIsKeptByteExact()
    {
        QFETCH(QByteArray, blob);
        SettingsStore &settings = freshSettings();
        settings.set(QStringLiteral("conversations"), blob);

        LogCapture log;
        ConversationStore store(&settings);
        QVERIFY(store.conversations().isEmpty());
        QVERIFY(backups().isEmpty()); // nothing is written until something would replace it
        QCOMPARE(settings.getData(QStringLiteral("conversations")), blob);

        store.saveCurrentConversation(QUuid::createUuid(), {Message(QStringLiteral("q"), true)});
        QCOMPARE(backups().size(), 1);
        QFile kept(m_dir.filePath(backups().first()));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), blob);
        QCOMPARE(store.backupPath(), kept.fileName());
        QCOMPARE(log.count(QStringLiteral("无法读取的历史记录已保存到 ") + kept.fileName()), 1);

        // Kept once: later saves do not write more copies.
        store.saveConversations();
        QCOMPARE(backups().size(), 1);
    }

    void valueOfAnotherTypeIsKeptByteExact_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QByteArray>("kept");
        const QByteArray good = "[" + kConvA + ",[" + kGoodMessage + "]]";
        // Even a valid history stored as text is not read as one: types are kept apart.
        QTest::newRow("text") << "string" << QVariant(QString::fromUtf8(good)) << good;
        QTest::newRow("integer") << "int" << QVariant(42) << QByteArray("42");
        QTest::newRow("unknown type") << "json" << QVariant(good) << good;
        QTest::newRow("blob type, no value") << "blob" << QVariant() << QByteArray();
    }

    void valueOfAnotherTypeIsKeptByteExact()
    {
        QFETCH(QString, type);
        QFETCH(QVariant, value);
        QFETCH(QByteArray, kept);
        freshSettings();
        const QString path = m_settings->path();
        m_settings.reset();
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), type);
            db.setDatabaseName(path);
            QVERIFY(db.open());
            QSqlQuery q(db);
            q.prepare(QStringLiteral("INSERT INTO settings (key, type, value) VALUES (?, ?, ?)"));
            q.addBindValue(QStringLiteral("conversations"));
            q.addBindValue(type);
            q.addBindValue(value);
            QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
        }
        QSqlDatabase::removeDatabase(type);

        SettingsStore settings(path);
        ConversationStore store(&settings);
        QVERIFY(store.conversations().isEmpty());
        store.saveCurrentConversation(QUuid::createUuid(), {Message(QStringLiteral("q"), true)});
        QCOMPARE(backups().size(), 1);
        QFile file(m_dir.filePath(backups().first()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), kept);
        QCOMPARE(ConversationStore(&settings).conversations().size(), 1);
    }

    void unreadableBlobIsKeptWhateverWritesFirst_data()
    {
        // The history is read on first use; a write that comes before any read must still
        // find the unreadable bytes and keep them before replacing them.
        QTest::addColumn<QString>("write");
        QTest::newRow("save one") << "save one";
        QTest::newRow("save all") << "save all";
        QTest::newRow("remove messages") << "remove messages";
        QTest::newRow("clear") << "clear";
    }

    void unreadableBlobIsKeptWhateverWritesFirst()
    {
        QFETCH(QString, write);
        const QByteArray blob("[\"not\",\"a history\"]");
        SettingsStore &settings = freshSettings();
        settings.set(QStringLiteral("conversations"), blob);
        ConversationStore store(&settings);
        if (write == u"save one")
            store.saveCurrentConversation(QUuid::createUuid(),
                                          {Message(QStringLiteral("q"), true)});
        else if (write == u"save all")
            store.saveConversations();
        else if (write == u"remove messages")
            store.removeMessages(QUuid::createUuid(), QUuid::createUuid(), QUuid::createUuid());
        else
            store.clearHistory();

        QCOMPARE(backups().size(), 1);
        QFile kept(m_dir.filePath(backups().first()));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), blob);
        QVERIFY(settings.getData(QStringLiteral("conversations")) != blob);
        QCOMPARE(store.conversations().size(), write == u"save one" ? 1 : 0);
    }

    void encodedTextIsJsonThatReadsBackTheSame_data()
    {
        QTest::addColumn<QString>("content");
        QTest::newRow("quotes and backslashes") << QStringLiteral("say \"hi\" \\ C:\\dir\\");
        QTest::newRow("control characters") << QString::fromUtf16(u"a\u0001\u001f\t\r\n\b\f z");
        QTest::newRow("CJK and emoji")
            << QStringLiteral("你好，世界 👨‍👩‍👧‍👦 🇨🇳");
        QTest::newRow("json-looking text") << QStringLiteral("[\"A0000000\",{\"id\":1}]");
        QTest::newRow("empty") << QString();
    }

    void encodedTextIsJsonThatReadsBackTheSame()
    {
        QFETCH(QString, content);
        Message m(content, false);
        m.timestamp = 0.1 + 0.2; // needs all 17 digits
        m.cachedImagePath = QStringLiteral("/tmp/\"x\".png");
        const QUuid id = QUuid::createUuid();
        const QByteArray text = ConversationCodec::encode({{id, {m}}});

        // A standard parser agrees with ours on every value.
        QJsonParseError error;
        const QJsonArray standard = QJsonDocument::fromJson(text, &error).array();
        QCOMPARE(error.error, QJsonParseError::NoError);
        const QJsonObject object = standard.at(1).toArray().at(0).toObject();
        QCOMPARE(object.value(QLatin1String("content")).toString(), content);
        QCOMPARE(object.value(QLatin1String("timestamp")).toDouble(), 0.1 + 0.2);
        QCOMPARE(object.size(), 6);

        const auto back = ConversationCodec::decode(text);
        QVERIFY(back);
        QCOMPARE(back->value(id).first().content, content);
        QCOMPARE(back->value(id).first().timestamp, 0.1 + 0.2);
        QCOMPARE(back->value(id).first().cachedImagePath, m.cachedImagePath);
        QCOMPARE(ConversationCodec::encode(*back), text);
    }

    void storedFormRoundTripsAndLaterPairWins()
    {
        SettingsStore &settings = freshSettings();
        QByteArray later = kGoodMessage;
        later.replace("\"hi\"", "\"later\"");
        settings.set(QStringLiteral("conversations"), "[" + kConvA + ",[" + kGoodMessage + "]," +
                                                          kConvA.toLower() + ",[" + later + "]]");
        ConversationStore store(&settings);
        QCOMPARE(store.conversations().size(), 1);
        QCOMPARE(store.conversations().cbegin()->first().content, QStringLiteral("later"));

        store.saveConversations();
        const QJsonArray saved =
            QJsonDocument::fromJson(*settings.getData(QStringLiteral("conversations"))).array();
        QCOMPARE(saved.size(), 2);
        QCOMPARE(saved.at(0).toString(), QStringLiteral("A0000000-0000-0000-0000-00000000000A"));
        QCOMPARE(saved.at(1).toArray().at(0).toObject().value(QLatin1String("timestamp")), 3.25);
        QVERIFY(backups().isEmpty());
    }

    void emptyListIsNeverStored()
    {
        SettingsStore &settings = freshSettings();
        ConversationStore store(&settings);
        const QUuid id = QUuid::createUuid();
        store.saveCurrentConversation(id, {});
        QVERIFY(!settings.getData(QStringLiteral("conversations")));

        store.saveCurrentConversation(id, {Message(QStringLiteral("q"), true)});
        store.saveCurrentConversation(id, {});
        QCOMPARE(store.conversations().value(id).size(), 1);
    }

    void clearThenSaveStoresTheOpenConversationAgain()
    {
        SettingsStore &settings = freshSettings();
        ConversationStore store(&settings);
        const QUuid open = QUuid::createUuid();
        MessageList messages{Message(QStringLiteral("q"), true)};
        store.saveCurrentConversation(QUuid::createUuid(), messages);
        store.saveCurrentConversation(open, messages);

        LogCapture log;
        QSignalSpy changed(&store, &ConversationStore::conversationsChanged);
        store.clearHistory();
        QCOMPARE(log.all(), QStringList{QStringLiteral("历史记录已清除")});
        QVERIFY(!settings.getData(QStringLiteral("conversations")));
        QVERIFY(store.conversations().isEmpty());
        QCOMPARE(changed.count(), 1);

        messages.append(Message(QStringLiteral("a"), false));
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
        const Message keep(QStringLiteral("keep"), true);
        const Message question(QStringLiteral("q"), true);
        const Message answer(QStringLiteral("a"), false);
        store.saveCurrentConversation(id, {keep, question, answer});

        store.removeMessages(id, question.id, answer.id);
        ConversationStore reloaded(&settings);
        QCOMPARE(reloaded.conversations().value(id).size(), 1);
        QCOMPARE(reloaded.conversations().value(id).first().id, keep.id);

        // A conversation left with nothing is not kept as an empty entry.
        store.removeMessages(id, keep.id, QUuid());
        QVERIFY(!ConversationStore(&settings).conversations().contains(id));
    }

    void twoViewsNeverDropEachOthersConversations()
    {
        // Both chat views save through the one store of the process.
        SettingsStore &settings = freshSettings();
        ConversationStore store(&settings);
        const QUuid mainView = QUuid::createUuid();
        const QUuid popover = QUuid::createUuid();
        store.saveCurrentConversation(mainView, {Message(QStringLiteral("main"), true)});
        store.saveCurrentConversation(popover, {Message(QStringLiteral("popover"), true)});
        store.saveCurrentConversation(mainView, {Message(QStringLiteral("main 2"), true)});

        ConversationStore afterRestart(&settings);
        QCOMPARE(afterRestart.conversations().size(), 2);
        QCOMPARE(afterRestart.conversations().value(popover).first().content,
                 QStringLiteral("popover"));
    }

    void loadingPlaceholderSurvivesAReload()
    {
        SettingsStore &settings = freshSettings();
        ConversationStore store(&settings);
        Message placeholder(QString(), false);
        placeholder.isLoading = true;
        const QUuid id = QUuid::createUuid();
        store.saveCurrentConversation(id, {Message(QStringLiteral("q"), true), placeholder});
        QCOMPARE(ConversationStore(&settings).conversations().value(id).last().isLoading, true);
    }
};

QTEST_GUILESS_MAIN(TestConversationStore)
#include "tst_conversationstore.moc"
