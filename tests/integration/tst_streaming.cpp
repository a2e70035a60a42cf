#include "chatharness.h"
#include "logcapture.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

// Answers that arrive in pieces, against a fake backend that sends each piece when the test
// says so: the bubble grows, a stop or a broken connection keeps what arrived, and every ending
// is stored and charged once.
class TestStreaming : public QObject {
    Q_OBJECT

    using B = FakeHttpServer::Behaviour;
    using Response = FakeHttpServer::Response;

    static constexpr int kWait = 15000;
    static QByteArray openAIPath() { return QByteArrayLiteral("/api/proxy_openai2"); }

    static QByteArray openAIPiece(const QString &text)
    {
        return ChatHarness::openAIBody({text}).chopped(int(strlen("data: [DONE]\n\n")));
    }

    // A controller whose answers come from a stream the test feeds.
    struct Streamed {
        ChatHarness h;
        std::unique_ptr<ChatController> c = h.controller();
        QStringList shown; // every text the answer's row showed, in order

        explicit Streamed(const QByteArray &path = openAIPath())
        {
            h.server.on(path, Response::with(B::Stream));
            QObject::connect(c->messages(), &QAbstractItemModel::dataChanged, c.get(),
                             [this](const QModelIndex &top) {
                                 shown.append(c->messageList().at(top.row()).content);
                             });
        }
        void ask(const QString &model, const QString &question)
        {
            ChatHarness::send(*c, model, question);
        }
        const Message &last() const { return c->messageList().last(); }
        // Asks, and waits until the first piece of the answer is in its bubble.
        void askAndShowFirstPiece(const QString &piece)
        {
            ask(QStringLiteral("gpt-4o"), QStringLiteral("问"));
            QTRY_COMPARE_WITH_TIMEOUT(h.server.openStreams(), 1, kWait);
            h.server.sendPiece(openAIPiece(piece));
            QTRY_COMPARE_WITH_TIMEOUT(last().content, piece, kWait);
        }
        MessageList stored() const { return h.stored(*c); }
    };

    static void waitForStreams(const Streamed &s, int n)
    {
        QTRY_COMPARE_WITH_TIMEOUT(s.h.server.openStreams(), n, kWait);
    }

private slots:
    void answerGrowsInItsBubble_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<QStringList>("shownAfter"); // what the bubble shows after each piece
        QTest::addColumn<QString>("answer");

        QTest::newRow("OpenAI, bold marks arriving apart")
            << "gpt-4o" << openAIPath()
            << QList<QByteArray>{openAIPiece("Hel"), openAIPiece("lo **wor"),
                                 openAIPiece("ld**") + "data: [DONE]\n\n"}
            << QStringList{"Hel", "Hello wor", "Hello world"} << "Hello world";
        // (Lines and characters split across reads at every byte are in tst_replyreader.)
        QTest::newRow("OpenAI, a code block shows as code while it arrives")
            << "gpt-4o" << openAIPath()
            << QList<QByteArray>{openAIPiece("看：\n```py\nx = 1\n"), openAIPiece("y = 2\n```\n完")}
            << QStringList{"看：<code>x = 1</code>", "看：<code>x = 1\ny = 2</code>完"}
            << "看：<code>x = 1\ny = 2</code>完";
        QTest::newRow("Claude")
            << "claude-3-haiku-20240307" << QByteArray("/api/proxy_claude2")
            << QList<QByteArray>{"event: content_block_delta\ndata: {\"type\":\"content_block_"
                                 "delta\",\"delta\":{\"text\":\"你好\"}}\n\n",
                                 "data: {\"type\":\"content_block_delta\",\"delta\":{\"text\":"
                                 "\"，世界\"}}\n\n"}
            << QStringList{"你好", "你好，世界"} << "你好，世界";
        // "你" is E4 BD A0: the first read ends inside it.
        QTest::newRow("plain data, a character split across reads")
            << "gemini-1.5-pro" << QByteArray("/api/proxy_gemini2")
            << QList<QByteArray>{"data: Hi \xe4\xbd", "\xa0\n", "data: 好\n"}
            << QStringList{"Hi", "Hi 你", "Hi 你好"} << "Hi 你好";
    }

    void answerGrowsInItsBubble()
    {
        QFETCH(QString, model);
        QFETCH(QByteArray, path);
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(QStringList, shownAfter);
        QFETCH(QString, answer);

        Streamed s(path);
        QAbstractItemModelTester tester(s.c->messages(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        s.ask(model, QStringLiteral("问"));
        waitForStreams(s, 1);
        QVERIFY(s.c->isGenerating());
        for (int i = 0; i < pieces.size(); ++i) {
            s.h.server.sendPiece(pieces.at(i));
            // The bubble's text as the user reads it: prose blocks are shown trimmed.
            QTRY_COMPARE_WITH_TIMEOUT(s.last().content.trimmed(), shownAfter.at(i), kWait);
            QVERIFY(!s.last().isLoading);
            QVERIFY(s.c->isGenerating());
        }
        // While the answer is on its way, the question is stored, and in the answer's place what
        // a quit would leave: the network notice, not the text so far.
        QCOMPARE(s.stored().size(), 2);
        QCOMPARE(s.stored().last().content, QStringLiteral("网络请求失败，请稍后重试"));

        s.h.server.endStreams();
        QTRY_COMPARE_WITH_TIMEOUT(s.c->pendingSends(), 0, kWait);
        QCOMPARE(s.last().content, answer);
        QVERIFY(!s.c->isGenerating());
        QCOMPARE(s.stored().size(), 2);
        QCOMPARE(s.stored().last().content, answer);
        QTRY_COMPARE_WITH_TIMEOUT(s.h.charges().size(), 2, kWait);
        QCOMPARE(s.h.charges().last(), QuotaService::outputCharge(model, answer));
        for (const QString &text : std::as_const(s.shown))
            QVERIFY2(!text.contains(QChar::ReplacementCharacter), qPrintable(text));
    }

    void stopKeepsWhatArrived()
    {
        Streamed s;
        LogCapture log;
        s.ask(QStringLiteral("gpt-4o"), QStringLiteral("讲个长故事"));
        waitForStreams(s, 1);
        s.h.server.sendPiece(openAIPiece("从前有座山，") + openAIPiece("**山里"));
        QTRY_COMPARE_WITH_TIMEOUT(s.last().content, QStringLiteral("从前有座山，山里"), kWait);
        // Half a line that never gets its line end is not part of the answer.
        s.h.server.sendPiece(openAIPiece("有座庙").left(25));
        QTest::qWait(50);

        s.c->stopGenerating();
        QCOMPARE(s.c->pendingSends(), 0);
        QVERIFY(!s.c->isGenerating());
        const QString kept = QStringLiteral("从前有座山，山里");
        QCOMPARE(s.last().content, kept);
        QVERIFY(!s.last().isLoading);
        QCOMPARE(s.stored().size(), 2);
        QCOMPARE(s.stored().last().content, kept);
        QCOMPARE(log.count(QStringLiteral("用户停止生成")), 1);
        // The request is given up: the backend sees the connection close.
        QTRY_COMPARE_WITH_TIMEOUT(s.h.server.openStreams(), 0, kWait);
        QTRY_COMPARE_WITH_TIMEOUT(s.h.charges().size(), 2, kWait);
        QCOMPARE(s.h.charges().last(), QuotaService::outputCharge("gpt-4o", kept));

        // A second stop has nothing to stop.
        s.c->stopGenerating();
        QCOMPARE(log.count(QStringLiteral("用户停止生成")), 1);
    }

    void stopBeforeAnyText_data()
    {
        QTest::addColumn<bool>("quotaAnswers");
        QTest::addColumn<int>("charges");
        QTest::newRow("while the quota is being asked") << false << 0;
        QTest::newRow("before the answer's first text") << true << 1;
    }

    void stopBeforeAnyText()
    {
        QFETCH(bool, quotaAnswers);
        QFETCH(int, charges);

        Streamed s;
        if (!quotaAnswers)
            s.h.server.on("/api/check_quota", Response::with(B::Stall));
        LogCapture log;
        s.ask(QStringLiteral("gpt-4o"), QStringLiteral("算了"));
        if (quotaAnswers) {
            waitForStreams(s, 1);
            s.h.server.sendPiece("event: ping\n\n");
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(s.h.server.requestsTo("/api/check_quota").size(), 1, kWait);
        }
        QVERIFY(s.c->isGenerating());
        s.c->stopGenerating();

        // The question stays, and is kept; the empty placeholder is gone.
        QCOMPARE(s.c->messages()->count(), 1);
        QVERIFY(s.last().isUserMessage);
        QCOMPARE(s.stored().size(), 1);
        QCOMPARE(s.stored().first().content, QStringLiteral("算了"));
        QVERIFY(!s.c->isGenerating());
        QCOMPARE(log.count(QStringLiteral("用户停止生成")), 1);
        QTRY_COMPARE_WITH_TIMEOUT(s.h.server.openStreams(), 0, kWait);
        QTest::qWait(100);
        QCOMPARE(s.h.charges().size(), charges);
        QCOMPARE(s.h.server.requestsTo(openAIPath()).isEmpty(), charges == 0);
    }

    void brokenConnectionKeepsTextWithNotice()
    {
        Streamed s;
        s.askAndShowFirstPiece(QStringLiteral("一半"));
        s.h.server.resetStreams();

        QTRY_COMPARE_WITH_TIMEOUT(s.c->pendingSends(), 0, kWait);
        const QString expected = QStringLiteral("一半\n网络请求失败，请稍后重试");
        QCOMPARE(s.last().content, expected);
        QVERIFY(!s.last().isLoading);
        QCOMPARE(s.stored().last().content, expected);
        // Only the text that arrived is charged, not the notice.
        QTRY_COMPARE_WITH_TIMEOUT(s.h.charges().size(), 2, kWait);
        QCOMPARE(s.h.charges().last(),
                 QuotaService::outputCharge("gpt-4o", QStringLiteral("一半")));
    }

    void twoAnswersStreamAtOnce()
    {
        Streamed s;
        s.ask(QStringLiteral("gpt-4o"), QStringLiteral("first"));
        s.ask(QStringLiteral("gpt-4o"), QStringLiteral("second"));
        waitForStreams(s, 2);
        const auto questionOf = [&](int stream) {
            return QJsonDocument::fromJson(s.h.server.streamRequest(stream).body)["userMessage"]
                .toString();
        };
        for (int stream : {1, 0, 1})
            s.h.server.sendPiece(openAIPiece(questionOf(stream).left(3)), stream);
        s.h.server.endStreams();
        QTRY_COMPARE_WITH_TIMEOUT(s.c->pendingSends(), 0, kWait);

        const MessageList list = s.c->messageList();
        QCOMPARE(list.size(), 4);
        QCOMPARE(list.at(1).content, QStringLiteral("fir"));
        QCOMPARE(list.at(3).content, QStringLiteral("secsec"));
        QCOMPARE(s.stored().size(), 4);
    }

    void answerOfAConversationNoLongerOpen_data()
    {
        QTest::addColumn<bool>("viaNewConversation");
        QTest::newRow("left for a new conversation") << true;
        QTest::newRow("left for another stored one") << false;
    }

    void answerOfAConversationNoLongerOpen()
    {
        QFETCH(bool, viaNewConversation);

        Streamed s;
        const QUuid other = QUuid::createUuid();
        s.h.conversations.saveCurrentConversation(other, {Message(QStringLiteral("旧的"), true)});
        s.askAndShowFirstPiece(QStringLiteral("答"));
        const QUuid asked = s.c->currentConversationUuid();

        if (viaNewConversation)
            s.c->newConversation();
        else
            s.c->selectConversation(other);
        QVERIFY(!s.c->isGenerating());
        const MessageList open = s.c->messageList();
        s.h.server.sendPiece(openAIPiece("案"));
        s.h.server.endStreams();
        QTRY_COMPARE_WITH_TIMEOUT(s.c->pendingSends(), 0, kWait);

        // The open conversation is untouched; the answer went to the one that asked.
        QCOMPARE(s.c->messageList().size(), open.size());
        const MessageList stored = s.h.conversations.conversations().value(asked);
        QCOMPARE(stored.size(), 2);
        QCOMPARE(stored.first().content, QStringLiteral("问"));
        QCOMPARE(stored.last().content, QStringLiteral("答案"));
        QVERIFY(!stored.last().isLoading);
    }

    // The chat view closes (its controller goes) while an answer streams: the request is given
    // up at once, and what still arrives lands nowhere.
    void senderGoneMidAnswer()
    {
        Streamed s;
        s.askAndShowFirstPiece(QStringLiteral("一半"));
        s.c.reset();
        s.h.server.sendPiece(openAIPiece("另一半"));
        QTRY_COMPARE_WITH_TIMEOUT(s.h.server.openStreams(), 0, kWait);
        QTest::qWait(50);
        // Only the question was charged: no answer was settled.
        QCOMPARE(s.h.charges().size(), 1);
    }

    void manyDeltasBecomeFewRowUpdates()
    {
        Streamed s;
        s.ask(QStringLiteral("gpt-4o"), QStringLiteral("问"));
        waitForStreams(s, 1);
        const QUuid placeholder = s.last().id;
        QSignalSpy changes(s.c->messages(), &QAbstractItemModel::dataChanged);

        for (int i = 0; i < 2000; ++i)
            s.c->appendPartialText(placeholder, QStringLiteral("字"));
        QTRY_COMPARE_WITH_TIMEOUT(s.last().content, QString(2000, u'字'), kWait);

        // One refresh for the whole burst, of the text of that one row only.
        QVERIFY2(changes.size() <= 2, qPrintable(QString::number(changes.size())));
        const int row = s.c->messages()->count() - 1;
        for (const auto &change : std::as_const(changes)) {
            QCOMPARE(change.at(0).value<QModelIndex>().row(), row);
            QCOMPARE(change.at(1).value<QModelIndex>().row(), row);
            QCOMPARE(change.at(2).value<QList<int>>(), QList<int>{MessageListModel::ContentRole});
        }
        s.c->stopGenerating();
    }
};

QTEST_GUILESS_MAIN(TestStreaming)
#include "tst_streaming.moc"
