#include "chatharness.h"
#include "logcapture.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

Q_DECLARE_METATYPE(FakeHttpServer::Response)

// A controller with no view, against a fake backend: every send ends in the state it should,
// with its log lines, and nothing that was answered is lost from the store.
class TestChatFlow : public QObject {
    Q_OBJECT

    using B = FakeHttpServer::Behaviour;
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

    static void send(ChatController &c, const QString &model, const QString &question)
    {
        c.setSelectedModel(model);
        c.setMessageText(question);
        c.sendMessage();
    }

    static QByteArray claudeBody()
    {
        return "event: message_start\r\ndata: {\"type\":\"message_start\"}\r\n\r\n"
               "event: content_block_delta\r\n"
               "data: {\"type\":\"content_block_delta\",\"delta\":{\"text\":\"## 你好\"}}\r\n\r\n"
               "data: {\"type\":\"content_block_delta\",\"delta\":{\"text\":\"，世界\"}}\r\n\r\n"
               "data: {\"type\":\"message_delta\",\"delta\":{\"stop_reason\":\"end_turn\"}}\r\n"
               "data: {\"type\":\"message_stop\"}\r\n";
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
        QTest::newRow("gpt-3.5") << "gpt-3.5-turbo-0125" << QByteArray("/api/proxy_openai2") << 200
                                 << openAI << openAIText;
        QTest::newRow("gpt-4o") << "gpt-4o" << QByteArray("/api/proxy_openai2") << 200 << openAI
                                << openAIText;
        QTest::newRow("claude-3") << "claude-3-haiku-20240307" << QByteArray("/api/proxy_claude2")
                                  << 200 << claudeBody() << QStringLiteral("  你好，世界");
        QTest::newRow("claude-3.5")
            << "claude-3-5-sonnet-20240620" << QByteArray("/api/proxy_claude2") << 200
            << claudeBody() << QStringLiteral("  你好，世界");
        QTest::newRow("gemini") << "gemini-1.5-pro" << QByteArray("/api/proxy_gemini2") << 200
                                << QByteArray("data: Hello\ndata:  world\n")
                                << QStringLiteral("Hello world");
        // The status is not judged: an error page is read like any answer.
        QTest::newRow("500 with a body") << "gpt-4o" << QByteArray("/api/proxy_openai2") << 500
                                         << QByteArray("Internal Server Error") << nothing;
        QTest::newRow("not UTF-8") << "gpt-4o" << QByteArray("/api/proxy_openai2") << 200
                                   << QByteArray("data: {\"choices\":[{\"delta\":{\"content\":"
                                                 "\"\xc3\x28\"}}]}\n")
                                   << nothing;
        QTest::newRow("empty body") << "gemini-1.5-pro" << QByteArray("/api/proxy_gemini2") << 200
                                    << QByteArray() << nothing;

        QStringList many;
        for (int i = 0; i < 180000; ++i)
            many.append(QStringLiteral("片段%1 the quick brown fox ").arg(i % 10));
        const QByteArray big = ChatHarness::openAIBody(many);
        QVERIFY(big.size() > 10 * 1000 * 1000);
        QTest::newRow("10 MB body")
            << "gpt-4o" << QByteArray("/api/proxy_openai2") << 200 << big << many.join(QString());
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
        QSignalSpy rows(c->messages(), &QAbstractItemModel::dataChanged);
        LogCapture log;

        send(*c, model, QStringLiteral("问题 one"));
        const QString context = ChatController::buildContext(c->messageList(), 1000);
        waitUntilSettled(*c);

        QCOMPARE(c->messages()->count(), 2);
        const Message &reply = c->messageList().last();
        QCOMPARE(reply.content, answer);
        QVERIFY(!reply.isLoading && !reply.isUserMessage);
        // Only the placeholder's row changed (and the question's "last" flag on append).
        for (const auto &signal : rows) {
            const auto top = signal.at(0).value<QModelIndex>();
            QVERIFY(top == signal.at(1).value<QModelIndex>());
        }
        // Saved, question and answer.
        const MessageList stored =
            h.conversations.conversations().value(c->currentConversationUuid());
        QCOMPARE(stored.size(), 2);
        QCOMPARE(stored.last().content, answer);
        QVERIFY(!stored.last().isLoading);

        const auto request = h.server.requestsTo(path).first();
        QCOMPARE(request.headers.value("content-type"), QByteArray("application/json"));
        const QJsonObject sent = QJsonDocument::fromJson(request.body).object();
        QCOMPARE(sent.size(), 4);
        QCOMPARE(sent.value("model").toString(), model);
        QCOMPARE(sent.value("userMessage").toString(), QStringLiteral("问题 one"));
        QCOMPARE(sent.value("systemMessage").toString(), QString());
        QCOMPARE(sent.value("context").toString(), context);

        // The question and the answer are charged; an answer with no text is not.
        const bool empty = answer == QStringLiteral("（模型没有返回内容）");
        QList<double> expected{QuotaService::inputCharge(model, "问题 one", context)};
        if (!empty)
            expected.append(QuotaService::outputCharge(model, answer));
        QTRY_COMPARE_WITH_TIMEOUT(h.charges().size(), expected.size(), kWait);
        QList<double> charged = h.charges();
        std::sort(expected.begin(), expected.end());
        std::sort(charged.begin(), charged.end());
        QCOMPARE(charged, expected);
        QTRY_COMPARE_WITH_TIMEOUT(log.count(QStringLiteral("扣减配额成功")), expected.size(),
                                  kWait);
        QCOMPARE(log.all().first(), QStringLiteral("userPhone +8613800000000"));
    }

    void failureEndsTheWait_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<Response>("response");
        QTest::addColumn<QString>("notice");
        QTest::addColumn<QString>("logLine");

        const QString network = QStringLiteral("网络请求失败，请稍后重试");
        const QString picture = QStringLiteral("图片生成失败，请稍后重试");
        const QByteArray chat = "/api/proxy_openai2";
        const QByteArray image = "/api/generate_image";
        const QByteArray file = "/files/p.png";

        QTest::newRow("chat stalls past the idle time-out")
            << "gpt-4o" << chat << Response::with(B::Stall) << network << QString();
        QTest::newRow("chat connection reset")
            << "gpt-4o" << chat << Response::with(B::Reset) << network << QString();
        QTest::newRow("chat answers garbage")
            << "claude-3-haiku-20240307" << QByteArray("/api/proxy_claude2")
            << Response::with(B::Garbage) << network << QString();
        QTest::newRow("chat body cut short before any text")
            << "gemini-1.5-pro" << QByteArray("/api/proxy_gemini2") << Response{200, "data:partial"}
            << network << QString();
        QTest::newRow("image answer reset")
            << "dall-e-3" << image << Response::with(B::Reset) << network << QString();
        QTest::newRow("image answer not JSON")
            << "dall-e-3" << image << Response{200, "<html>busy</html>"} << picture
            << "DALL-E JSON解析失败: ";
        QTest::newRow("image answer without image_url")
            << "dall-e-3" << image << Response{200, "{\"url\":\"x\"}"} << picture
            << "无法解析DALL-E的响应";
        QTest::newRow("image_url naming a local file")
            << "dall-e-3" << image << Response{200, "{\"image_url\":\"file:///etc/passwd\"}"}
            << picture << "无法解析DALL-E的响应";
        QTest::newRow("picture download stalls")
            << "dall-e-3" << file << Response::with(B::Stall) << network << "下载图片失败: ";
        QTest::newRow("picture not found") << "dall-e-3" << file << Response{404, "not found"}
                                           << picture << "下载图片失败: HTTP 404";
        QTest::newRow("picture empty")
            << "dall-e-3" << file << Response{200, ""} << picture << "下载图片失败: 未知错误";
    }

    void failureEndsTheWait()
    {
        QFETCH(QString, model);
        QFETCH(QByteArray, path);
        QFETCH(Response, response);
        QFETCH(QString, notice);
        QFETCH(QString, logLine);

        ChatHarness h;
        h.http.setIdleTimeout(std::chrono::milliseconds(300));
        h.server.on(
            "/api/generate_image",
            Response{200, "{\"image_url\":\"" + h.server.origin().toUtf8() + "/files/p.png\"}"});
        h.server.on("/files/p.png", Response{200, png()});
        if (path == "/api/proxy_gemini2")
            response.behaviour = B::Truncated;
        h.server.on(path, response);
        auto c = h.controller();
        LogCapture log;

        send(*c, model, QStringLiteral("画一只猫"));
        waitUntilSettled(*c);
        QCOMPARE(c->messages()->count(), 2);
        const Message &last = c->messageList().last();
        QCOMPARE(last.content, notice);
        QVERIFY(!last.isLoading && !last.isUserMessage && !last.cachedImagePath);
        // Stored as shown: the question was kept when it was sent, and the notice ended it.
        const MessageList stored =
            h.conversations.conversations().value(c->currentConversationUuid());
        QCOMPARE(stored.size(), 2);
        QCOMPARE(stored.last().content, notice);
        if (!logLine.isEmpty())
            QVERIFY2(log.count(logLine) == 1, qPrintable(log.all().join(u'|')));
        // The question was charged before the failure; no answer charge follows.
        QTRY_COMPARE_WITH_TIMEOUT(h.charges().size(), 1, kWait);
        QDir documents(h.images.documentsFolder());
        QVERIFY(documents.entryList(QDir::Files).isEmpty());
    }

    void quotaVerdicts_data()
    {
        QTest::addColumn<Response>("answer");
        QTest::addColumn<QString>("notice");
        QTest::addColumn<bool>("alert");

        QTest::newRow("refused") << Response{200, "{\"hasQuota\":false}"}
                                 << QStringLiteral("请升级会员后再次访问") << true;
        QTest::newRow("error page counts as refused")
            << Response{500, "<html/>"} << QStringLiteral("请升级会员后再次访问") << true;
        QTest::newRow("no answer at all")
            << Response::with(B::Reset) << QStringLiteral("网络请求失败，请稍后重试") << false;
    }

    void quotaVerdicts()
    {
        QFETCH(Response, answer);
        QFETCH(QString, notice);
        QFETCH(bool, alert);

        ChatHarness h;
        h.server.on("/api/check_quota", answer);
        auto c = h.controller();
        QSignalSpy alerts(c.get(), &ChatController::upgradeAlertRequested);
        send(*c, QStringLiteral("gpt-4o"), QStringLiteral("hi"));
        waitUntilSettled(*c);
        QCOMPARE(c->messageList().last().content, notice);
        QVERIFY(!c->messageList().last().isLoading);
        QCOMPARE(alerts.count(), alert ? 1 : 0);
        QTest::qWait(50);
        QVERIFY(h.server.requestsTo("/api/proxy_openai2").isEmpty());
        QVERIFY(h.charges().isEmpty());
        QCOMPARE(h.conversations.conversations().value(c->currentConversationUuid()).last().content,
                 notice);
    }

    void modelWithoutAddress()
    {
        ChatHarness h;
        auto c = h.controller();
        LogCapture log;
        send(*c, QStringLiteral("gpt-5"), QStringLiteral("ab"));
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
            send(*c, QStringLiteral("dall-e-3"), QStringLiteral("猫"));
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
        const MessageList stored =
            h.conversations.conversations().value(c->currentConversationUuid());
        QCOMPARE(stored.size(), 4);
        QCOMPARE(stored.at(3).cachedImagePath, paths.at(1));
        QVERIFY(stored.at(3).content.isEmpty() && !stored.at(3).imageURL);
        QTRY_COMPARE_WITH_TIMEOUT(h.charges(), (QList<double>{100, 100}), kWait);
    }

    void pictureNeverTakesANewerPlaceholder()
    {
        ChatHarness h;
        Response slow(200, "{\"image_url\":\"" + h.server.origin().toUtf8() + "/files/p.png\"}");
        slow.delayMs = 400;
        h.server.on("/api/generate_image", slow);
        h.server.on("/files/p.png", Response{200, png()});
        h.server.on("/api/proxy_openai2", Response{200, ChatHarness::openAIBody({"text"})});
        auto c = h.controller();

        send(*c, QStringLiteral("dall-e-3"), QStringLiteral("画"));
        send(*c, QStringLiteral("gpt-4o"), QStringLiteral("说"));
        waitUntilSettled(*c);
        const MessageList &list = c->messageList();
        QCOMPARE(list.size(), 4);
        QVERIFY(list.at(1).cachedImagePath.has_value());
        QCOMPARE(list.at(2).content, QStringLiteral("说"));
        QCOMPARE(list.at(3).content, QStringLiteral("text"));
        QCOMPARE(h.conversations.conversations().value(c->currentConversationUuid()).size(), 4);
    }

    void lateReplyLandsInItsConversation_data()
    {
        QTest::addColumn<QString>("move"); // what the user does while the reply is on its way
        QTest::newRow("new conversation") << "new";
        QTest::newRow("another stored conversation") << "select";
        QTest::newRow("away and back") << "back";
    }

    void lateReplyLandsInItsConversation()
    {
        QFETCH(QString, move);
        ChatHarness h;
        Response slow(200, ChatHarness::openAIBody({"late"}));
        slow.delayMs = 300;
        h.server.on("/api/proxy_openai2", slow);
        auto c = h.controller();
        const QUuid other = QUuid::createUuid();
        h.conversations.saveCurrentConversation(other,
                                                {Message("old q", true), Message("old a", false)});

        send(*c, QStringLiteral("gpt-4o"), QStringLiteral("q"));
        const QUuid asked = c->currentConversationUuid();
        if (move == u"new") {
            c->newConversation();
        } else if (move == u"select") {
            c->selectConversation(other);
        } else {
            c->selectConversation(other);
            // Stored when sent: it opens with the question, its answer still on its way.
            c->selectConversation(asked);
            QCOMPARE(c->messages()->count(), 2);
            QVERIFY(c->messageList().last().isLoading);
            QVERIFY(c->isGenerating());
        }
        waitUntilSettled(*c);

        const MessageList stored = h.conversations.conversations().value(asked);
        QCOMPARE(stored.size(), 2);
        QCOMPARE(stored.at(0).content, QStringLiteral("q"));
        QCOMPARE(stored.at(1).content, QStringLiteral("late"));
        QVERIFY(!stored.at(1).isLoading);
        QCOMPARE(h.conversations.conversations().value(other).size(), 2);
        if (move == u"new")
            QCOMPARE(c->messages()->count(), 0);
        else if (move == u"select")
            QCOMPARE(c->messageList().last().content, QStringLiteral("old a"));
        else
            QCOMPARE(rows(c->messageList()), rows(stored));
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
                QJsonDocument::fromJson(request.body).object().value("userMessage").toString() ==
                u"q1";
            Response r(200, ChatHarness::openAIBody({first ? "a1" : "a2"}));
            r.delayMs = first ? firstDelayMs : secondDelayMs;
            return r;
        });
        auto mainView = h.controller();
        auto popover = h.controller();
        const QUuid shared = QUuid::createUuid();
        h.conversations.saveCurrentConversation(shared,
                                                {Message("old q", true), Message("old a", false)});
        mainView->selectConversation(shared);
        popover->selectConversation(shared);

        send(*mainView, QStringLiteral("gpt-4o"), QStringLiteral("q1"));
        if (!overlapping)
            waitUntilSettled(*mainView);
        send(*popover, QStringLiteral("gpt-4o"), QStringLiteral("q2"));
        waitUntilSettled(*mainView);
        waitUntilSettled(*popover);

        QStringList stored;
        for (const Message &m : h.conversations.conversations().value(shared))
            stored.append(m.content);
        QCOMPARE(stored.size(), 6);
        for (const char *content : {"old q", "old a", "q1", "a1", "q2", "a2"})
            QVERIFY2(stored.contains(QLatin1String(content)), content);
        if (!overlapping)
            QCOMPARE(stored, QStringList({"old q", "old a", "q1", "a1", "q2", "a2"}));
        // Both views show what is stored.
        QCOMPARE(rows(mainView->messageList()),
                 rows(h.conversations.conversations().value(shared)));
        QCOMPARE(rows(popover->messageList()), rows(mainView->messageList()));
    }

    void regeneratedReplyIsDropped()
    {
        ChatHarness h;
        int calls = 0;
        h.server.on("/api/proxy_openai2", [&](const FakeHttpServer::Request &) {
            Response r(200, ChatHarness::openAIBody({++calls == 1 ? "old" : "new"}));
            r.delayMs = calls == 1 ? 400 : 0;
            return r;
        });
        auto c = h.controller();
        LogCapture log;
        send(*c, QStringLiteral("gpt-4o"), QStringLiteral("q"));
        c->retryMessage(c->messageList().last().id);
        waitUntilSettled(*c);
        QTest::qWait(600);

        QCOMPARE(c->messages()->count(), 2);
        QCOMPARE(c->messageList().last().content, QStringLiteral("new"));
        QCOMPARE(log.count(QStringLiteral("回复已丢弃")), 1);
        const MessageList stored =
            h.conversations.conversations().value(c->currentConversationUuid());
        QCOMPARE(rows(stored), rows(c->messageList()));
    }
};

QTEST_GUILESS_MAIN(TestChatFlow)
#include "tst_chatflow.moc"
