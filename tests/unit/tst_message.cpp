#include "conversation/conversationcodec.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

class TestMessage : public QObject {
    Q_OBJECT

    static QJsonObject parse(const QByteArray &json)
    {
        return QJsonDocument::fromJson(json).object();
    }
    static QJsonObject encoded(const Message &m)
    {
        return parse(ConversationCodec::encodeMessage(m));
    }

private slots:
    void encodesFiveMembersUnlessOptionalsArePresent()
    {
        Message m(QStringLiteral("你好"), true);
        QCOMPARE(encoded(m).size(), 5);
        QVERIFY(!encoded(m).contains(QLatin1String("imageURL")));
        m.cachedImagePath = QStringLiteral("/home/u/Documents/a.png");
        m.content.clear();
        QCOMPARE(encoded(m).size(), 6);
        const auto back = ConversationCodec::decodeMessage(ConversationCodec::encodeMessage(m));
        QVERIFY(back);
        QCOMPARE(back->cachedImagePath, m.cachedImagePath);
        QCOMPARE(back->content, QString());
    }

    void roundTripThroughTextIsExact()
    {
        Message m(QStringLiteral("line\n\"quoted\" / 🙂"), false);
        m.timestamp = 786297600.123456789; // a fraction no decimal rounding may lose
        m.isLoading = true;
        m.avatarURL = QStringLiteral("https://example.com/a.png");
        m.imageURL = QStringLiteral("https://example.com/i.png?x=1");
        const QByteArray text = ConversationCodec::encodeMessage(m);
        const auto back = ConversationCodec::decodeMessage(text);
        QVERIFY(back);
        QCOMPARE(back->id, m.id);
        QCOMPARE(back->content, m.content);
        QCOMPARE(back->timestamp, m.timestamp); // bit-exact, not fuzzy
        QCOMPARE(back->isLoading, true);
        QCOMPARE(back->avatarURL, m.avatarURL);
        QCOMPARE(back->imageURL, m.imageURL);
        QCOMPARE(ConversationCodec::encodeMessage(*back), text);
    }

    // Whatever timestamp a decoded message holds must be written as text that reads back: a
    // whole number past 2^64 written out digit by digit is refused by the reader, and with it
    // the whole history on the next start.
    void everyTimestampReadsBack_data()
    {
        QTest::addColumn<double>("timestamp");
        QTest::newRow("found by fuzzing") << 7.390000333333333e20;
        QTest::newRow("2^64") << 18446744073709551616.0;
        QTest::newRow("2^63") << 9223372036854775808.0;
        QTest::newRow("just under 2^53") << 9007199254740991.0;
        QTest::newRow("largest double") << 1.7976931348623157e308;
        QTest::newRow("negative, huge") << -1e300;
        QTest::newRow("smallest subnormal") << 5e-324;
        QTest::newRow("zero") << 0.0;
        QTest::newRow("negative zero (found by fuzzing)") << -0.0;
    }

    void everyTimestampReadsBack()
    {
        QFETCH(double, timestamp);
        Message m(QStringLiteral("x"), true);
        m.timestamp = timestamp;
        const QByteArray text = ConversationCodec::encodeMessage(m);
        const auto back = ConversationCodec::decodeMessage(text);
        QVERIFY2(back, text.constData());
        QCOMPARE(back->timestamp, timestamp);
        QCOMPARE(ConversationCodec::encodeMessage(*back), text);
    }

    void decode_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("ok");

        const QByteArray id = "\"id\":\"0f8fad5b-d9cb-469f-a165-70867728950e\"";
        const QByteArray base = id + ",\"content\":\"x\",\"isUserMessage\":true,\"timestamp\":1.5";
        QTest::newRow("upper-case id")
            << QByteArray("{\"id\":\"0F8FAD5B-D9CB-469F-A165-70867728950E\",\"content\":\"x\","
                          "\"isUserMessage\":true,\"timestamp\":1.5,\"isLoading\":false}")
            << true;
        QTest::newRow("lower-case id") << "{" + base + ",\"isLoading\":false}" << true;
        QTest::newRow("escaped slash and extra member")
            << "{" + base + ",\"isLoading\":false,\"cachedImagePath\":\"a\\/b\",\"x\":[1]}" << true;
        QTest::newRow("null optionals")
            << "{" + base + ",\"isLoading\":false,\"imageURL\":null,\"avatarURL\":null}" << true;
        QTest::newRow("integral timestamp")
            << "{" + id +
                   ",\"content\":\"\",\"isUserMessage\":false,\"timestamp\":0,"
                   "\"isLoading\":true}"
            << true;
        QTest::newRow("missing isLoading") << "{" + base + "}" << false;
        QTest::newRow("isLoading as number") << "{" + base + ",\"isLoading\":0}" << false;
        QTest::newRow("timestamp as text")
            << "{" + id +
                   ",\"content\":\"x\",\"isUserMessage\":true,\"timestamp\":\"1\","
                   "\"isLoading\":false}"
            << false;
        QTest::newRow("content null")
            << "{" + id +
                   ",\"content\":null,\"isUserMessage\":true,\"timestamp\":1,"
                   "\"isLoading\":false}"
            << false;
        QTest::newRow("id with braces")
            << QByteArray("{\"id\":\"{0f8fad5b-d9cb-469f-a165-70867728950e}\",\"content\":\"x\","
                          "\"isUserMessage\":true,\"timestamp\":1,\"isLoading\":false}")
            << false;
        QTest::newRow("id not a uuid")
            << QByteArray("{\"id\":\"0f8fad5b-d9cb-469f-a165-70867728950g\",\"content\":\"x\","
                          "\"isUserMessage\":true,\"timestamp\":1,\"isLoading\":false}")
            << false;
        QTest::newRow("bad imageURL")
            << "{" + base + ",\"isLoading\":false,\"imageURL\":\"http://exa mple.com/%zz\"}"
            << false;
        QTest::newRow("empty imageURL")
            << "{" + base + ",\"isLoading\":false,\"imageURL\":\"\"}" << false;
        QTest::newRow("not an object") << QByteArray("[1]") << false;
        QTest::newRow("avatarURL as number")
            << "{" + base + ",\"isLoading\":false,\"avatarURL\":5}" << false;
    }

    void decode()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, ok);
        const auto m = ConversationCodec::decodeMessage(json);
        QCOMPARE(m.has_value(), ok);
        if (ok) {
            QCOMPARE(Message::idText(m->id),
                     QStringLiteral("0F8FAD5B-D9CB-469F-A165-70867728950E"));
            QCOMPARE(encoded(*m).value(QLatin1String("id")).toString(), Message::idText(m->id));
            QVERIFY(!encoded(*m).contains(QLatin1String("x")));
        }
    }
};

QTEST_GUILESS_MAIN(TestMessage)
#include "tst_message.moc"
