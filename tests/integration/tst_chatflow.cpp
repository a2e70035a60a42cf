#include "chatharness.h"
#include "logcapture.h"

#include <QAbstractItemModelTester>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

// A controller with no view, against a fake backend: every answer lands where it belongs, with
// its log lines and charges, and nothing that was answered is lost from the store. (Failed and
// hostile answers are in tst_hostileanswers.)
class TestChatFlow : public QObject {
    Q_OBJECT

    using Response = FakeHttpServer::Response;

    static constexpr int kWait = 15000;

    // Stored unchanged, so any bytes do.
    static QByteArray png() { return QByteArrayLiteral("\x89PNG\r\n\x1a\n picture bytes"); }

    static QStringList rows(const MessageList &list)
    {
        QStringList out;
        for (const Message &m : list)
            out.append(Message::idText(m.id) + u' ' + m.content + (m.isLoading ? "…" : ""));
        return out;
    }

    static void waitUntilSettled(ChatController &c)
    {
        QTRY_VERIFY_WITH_TIMEOUT(c.pendingSends() == 0, kWait);
    }

    static Response delayed(const QByteArray &body, int ms)
    {
        Response r(200, body);
        r.delayMs = ms;
        return r;
    }

private slots:
    void answerLands_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("answer");

        // An answer with no text says so, instead of an empty bubble that looks like a hang.
        const QString nothing = QStringLiteral("（模型没有返回内容）");
        const QByteArray openAI = ChatHarness::openAIBody({"**Hel**", "lo ```py\nx=1\n``` end"});
        const QString openAIText = QStringLiteral("Hello<code>x=1</code>end");
        const QByteArray claude =
            "event: content_block_delta\r\n"
            "data: {\"type\":\"content_block_delta\",\"delta\":{\"text\":\"## 你好\"}}\r\n\r\n"
            "data: {\"type\":\"content_block_delta\",\"delta\":{\"text\":\"，世界\"}}\r\n";
        const QByteArray oa = "/api/proxy_openai2";
        const QByteArray cl = "/api/proxy_claude2";
        const QByteArray gm = "/api/proxy_gemini2";
        // The other models, and each reply family in pieces, are in tst_streaming.
        QTest::newRow("gpt-3.5") << "gpt-3.5-turbo-0125" << oa << 200 << openAI << openAIText;
        QTest::newRow("claude-3.5") << "claude-3-5-sonnet-20240620" << cl << 200 << claude
                                    << QStringLiteral("  你好，世界");
        // The status is not judged: an error page is read like any answer.
        QTest::newRow("500 with a body")
            << "gpt-4o" << oa << 500 << QByteArray("Internal Server Error") << nothing;
        QTest::newRow("not UTF-8")
            << "gpt-4o" << oa << 200
            << QByteArray("data: {\"choices\":[{\"delta\":{\"content\":\"\xc3\x28\"}}]}\n")
            << nothing;
        QTest::newRow("empty body") << "gemini-1.5-pro" << gm << 200 << QByteArray() << nothing;

        QStringList many;
        for (int i = 0; i < 180000; ++i)
            many.append(QStringLiteral("片段%1 the quick brown fox ").arg(i % 10));
        const QByteArray big = ChatHarness::openAIBody(many);
        QVERIFY(big.size() > 10 * 1000 * 1000);
        QTest::newRow("10 MB body") << "gpt-4o" << oa << 200 << big << many.join(QString());
    }

    void answerLands()
    {
        QFETCH(QString, model);
        QFETCH(QByteArray, path);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, answer);

        ChatHarness h;
        Response response(status, body);
        response.contentType = "text/event-stream";
        h.server.on(path, response);
        auto c = h.controller();
        QAbstractItemModelTester tester(c->messages(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy changes(c->messages(), &QAbstractItemModel::dataChanged);
        LogCapture log;

        ChatHarness::send(*c, model, QStringLiteral("问题 one"));
        const QString context = ChatController::buildContext(c->messageList(), 1000);
        waitUntilSettled(*c);

        QCOMPARE(c->messages()->count(), 2);
        const Message &reply = c->messageList().last();
        QCOMPARE(reply.content, answer);
        QVERIFY(!reply.isLoading && !reply.isUserMessage);
        // Only one row changes at a time (the placeholder's, and the question's "last" flag).
        for (const auto &signal : changes)
            QVERIFY(signal.at(0).value<QModelIndex>() == signal.at(1).value<QModelIndex>());
        QCOMPARE(rows(h.stored(*c)), rows(c->messageList()));

        const auto request = h.server.requestsTo(path).first();
        QCOMPARE(request.headers.value("content-type"), QByteArray("application/json"));
        QCOMPARE(QJsonDocument::fromJson(request.body).object(),
                 (QJsonObject{{"model", model},
                              {"userMessage", QStringLiteral("问题 one")},
                              {"systemMessage", ""},
                              {"context", context}}));

        // The question and the answer are charged; an answer with no text is not.
        QList<double> expected{QuotaService::inputCharge(model, "问题 one", context)};
        if (answer != QStringLiteral("（模型没有返回内容）"))
            expected.append(QuotaService::outputCharge(model, answer));
        QTRY_COMPARE_WITH_TIMEOUT(h.charges().size(), expected.size(), kWait);
        QList<double> charged = h.charges();
        std::sort(expected.begin(), expected.end());
        std::sort(charged.begin(), charged.end());
        QCOMPARE(charged, expected);
        QTRY_COMPARE_WITH_TIMEOUT(log.count(QStringLiteral("扣减配额成功")), expected.size(),
                                  kWait);
        QCOMPARE(log.all().first(), QStringLiteral("userPhone +8613800000000"));
        // The "+" of the stored phone number arrives as "%2B", so the server reads it back.
        QCOMPARE(h.server.requestsTo("/api/check_quota").first().query.query(QUrl::FullyEncoded),
                 QStringLiteral("phone=%2B8613800000000"));
    }

    void modelWithoutAddress()
    {
        ChatHarness h;
        auto c = h.controller();
        LogCapture log;
        ChatHarness::send(*c, QStringLiteral("gpt-5"), QStringLiteral("ab"));
        waitUntilSettled(*c);
        QCOMPARE(log.count(QStringLiteral("无效的模型或URL")), 1);
        QCOMPARE(c->messageList().last().content, QStringLiteral("无效的模型，请重新选择"));
        QTRY_COMPARE_WITH_TIMEOUT(h.charges().size(), 1, kWait);
        QVERIFY(qAbs(h.charges().first() - 4 * 0.007) < 1e-12); // "ab" twice, high tier
    }

    void pictureLandsUnderItsOwnName()
    {
        ChatHarness h;
        h.server.on("/api/generate_image",
                    Response{200, "{\"created\":1,\"image_url\":\"" + h.server.origin().toUtf8() +
                                      "/files/a%20b.png?sig=1#x\"}"});
        h.server.on("/files/a%20b.png", Response{200, png()});
        auto c = h.controller();
        LogCapture log;

        for (int i = 0; i < 2; ++i) {
            ChatHarness::send(*c, QStringLiteral("dall-e-3"), QStringLiteral("猫"));
            waitUntilSettled(*c);
        }
        QCOMPARE(c->messages()->count(), 4);
        const QString folder = h.images.documentsFolder();
        const QStringList paths{*c->messageList().at(1).cachedImagePath,
                                *c->messageList().at(3).cachedImagePath};
        QCOMPARE(paths, (QStringList{folder + "/a b.png", folder + "/a b (2).png"}));
        for (const QString &p : paths) {
            QFile f(p);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), png());
        }
        QCOMPARE(log.count(QStringLiteral("Image saved at: ")), 2);
        const MessageList stored = h.stored(*c);
        QCOMPARE(stored.size(), 4);
        QCOMPARE(stored.at(3).cachedImagePath, paths.at(1));
        QVERIFY(stored.at(3).content.isEmpty() && !stored.at(3).imageURL);
        QTRY_COMPARE_WITH_TIMEOUT(h.charges(), (QList<double>{100, 100}), kWait);
    }

    void pictureNeverTakesANewerPlaceholder()
    {
        ChatHarness h;
        h.server.on(
            "/api/generate_image",
            delayed("{\"image_url\":\"" + h.server.origin().toUtf8() + "/files/p.png\"}", 400));
        h.server.on("/files/p.png", Response{200, png()});
        h.server.on("/api/proxy_openai2", Response{200, ChatHarness::openAIBody({"text"})});
        auto c = h.controller();

        ChatHarness::send(*c, QStringLiteral("dall-e-3"), QStringLiteral("画"));
        ChatHarness::send(*c, QStringLiteral("gpt-4o"), QStringLiteral("说"));
        waitUntilSettled(*c);
        const MessageList &list = c->messageList();
        QCOMPARE(list.size(), 4);
        QVERIFY(list.at(1).cachedImagePath.has_value());
        QCOMPARE(list.at(2).content, QStringLiteral("说"));
        QCOMPARE(list.at(3).content, QStringLiteral("text"));
        QCOMPARE(h.stored(*c).size(), 4);
    }

    // The user leaves the conversation and comes back while its answer is on its way.
    // (Leaving for good is in tst_streaming.)
    void lateReplyLandsInItsConversation()
    {
        ChatHarness h;
        h.server.on("/api/proxy_openai2", delayed(ChatHarness::openAIBody({"late"}), 300));
        auto c = h.controller();
        const QUuid other = QUuid::createUuid();
        h.conversations.saveCurrentConversation(other, {Message("old q", true)});

        ChatHarness::send(*c, QStringLiteral("gpt-4o"), QStringLiteral("q"));
        const QUuid asked = c->currentConversationUuid();
        c->selectConversation(other);
        // Stored when sent: it opens with the question, its answer still on its way.
        c->selectConversation(asked);
        QCOMPARE(c->messages()->count(), 2);
        QVERIFY(c->messageList().last().isLoading);
        QVERIFY(c->isGenerating());
        waitUntilSettled(*c);

        const MessageList stored = h.stored(*c);
        QCOMPARE(stored.size(), 2);
        QCOMPARE(stored.at(1).content, QStringLiteral("late"));
        QVERIFY(!stored.at(1).isLoading);
        QCOMPARE(rows(c->messageList()), rows(stored));
        QCOMPARE(h.conversations.conversations().value(other).size(), 1);
    }

    // The main window and the popover can have the same conversation open; a save by one must
    // not wipe out what the other stored.
    void twoViewsOfOneConversationKeepEachOthersAnswers_data()
    {
        QTest::addColumn<int>("firstDelayMs");  // the main view's answer
        QTest::addColumn<int>("secondDelayMs"); // the popover's, asked before the first lands
        QTest::addColumn<bool>("overlapping");
        QTest::newRow("one after the other") << 0 << 0 << false;
        QTest::newRow("both waiting, second lands first") << 400 << 0 << true;
        QTest::newRow("both waiting, first lands first") << 0 << 400 << true;
    }

    void twoViewsOfOneConversationKeepEachOthersAnswers()
    {
        QFETCH(int, firstDelayMs);
        QFETCH(int, secondDelayMs);
        QFETCH(bool, overlapping);
        ChatHarness h;
        h.server.on("/api/proxy_openai2", [&](const FakeHttpServer::Request &request) {
            const bool first =
                QJsonDocument::fromJson(request.body)["userMessage"].toString() == u"q1";
            return delayed(ChatHarness::openAIBody({first ? "a1" : "a2"}),
                           first ? firstDelayMs : secondDelayMs);
        });
        auto mainView = h.controller();
        auto popover = h.controller();
        const QUuid shared = QUuid::createUuid();
        h.conversations.saveCurrentConversation(shared,
                                                {Message("old q", true), Message("old a", false)});
        mainView->selectConversation(shared);
        popover->selectConversation(shared);

        ChatHarness::send(*mainView, QStringLiteral("gpt-4o"), QStringLiteral("q1"));
        if (!overlapping)
            waitUntilSettled(*mainView);
        ChatHarness::send(*popover, QStringLiteral("gpt-4o"), QStringLiteral("q2"));
        waitUntilSettled(*mainView);
        waitUntilSettled(*popover);

        QStringList stored;
        for (const Message &m : h.stored(*mainView))
            stored.append(m.content);
        QCOMPARE(stored.size(), 6);
        for (const char *content : {"old q", "old a", "q1", "a1", "q2", "a2"})
            QVERIFY2(stored.contains(QLatin1String(content)), content);
        if (!overlapping)
            QCOMPARE(stored, QStringList({"old q", "old a", "q1", "a1", "q2", "a2"}));
        // Both views show what is stored.
        QCOMPARE(rows(mainView->messageList()), rows(h.stored(*mainView)));
        QCOMPARE(rows(popover->messageList()), rows(mainView->messageList()));
    }

    void regeneratedReplyIsDropped()
    {
        ChatHarness h;
        int calls = 0;
        h.server.on("/api/proxy_openai2", [&](const FakeHttpServer::Request &) {
            const bool first = ++calls == 1;
            return delayed(ChatHarness::openAIBody({first ? "old" : "new"}), first ? 400 : 0);
        });
        auto c = h.controller();
        LogCapture log;
        ChatHarness::send(*c, QStringLiteral("gpt-4o"), QStringLiteral("q"));
        c->retryMessage(c->messageList().last().id);
        waitUntilSettled(*c);
        QTest::qWait(600);

        QCOMPARE(c->messages()->count(), 2);
        QCOMPARE(c->messageList().last().content, QStringLiteral("new"));
        QCOMPARE(log.count(QStringLiteral("回复已丢弃")), 1);
        QCOMPARE(rows(h.stored(*c)), rows(c->messageList()));
    }
};

QTEST_GUILESS_MAIN(TestChatFlow)
#include "tst_chatflow.moc"
