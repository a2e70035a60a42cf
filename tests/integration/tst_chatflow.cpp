#include "account/accountbalance.h"
#include "chat/answercost.h"
#include "chat/answerdisplay.h"
#include "chat/conversationlistmodel.h"
#include "chat/openconversation.h"
#include "chatharness.h"
#include "core/settingkeys.h"
#include "logcapture.h"
#include "service/chargerules.h"

#include <QAbstractItemModelTester>
#include <QDirIterator>
#include <QSignalSpy>
#include <QTest>
#include <numeric>

using namespace Qt::StringLiterals;

using namespace std::chrono_literals;

// A controller with no view, against a fake backend. First its own rules: the context sent
// along, refused sends, retry, switching conversations. Then every answer lands where it belongs,
// with its log lines and charges, and nothing that was answered is lost from the store. Answers
// that arrive in pieces come from a stream the test feeds: the bubble grows, a stop or a broken
// connection keeps what arrived, and every ending is stored and charged once. Failed and
// hostile answers, last, leave nothing waiting and nothing outside the Documents folder.
class TestChatFlow : public QObject {
    Q_OBJECT

    using B = FakeHttpServer::Behaviour;
    using Response = FakeHttpServer::Response;

    static constexpr int kWait = 20000;

    static Message text(const QString &t, bool user = false) { return Message(t, user); }

    static QStringList rows(const MessageList &list)
    {
        QStringList out;
        for (const Message &m : list)
            out.append(Message::idText(m.id) + u' ' + m.content + (m.isLoading ? "…" : ""));
        return out;
    }

    static inline const QByteArray kOpenAI = "/api/proxy_openai2";
    // An answer with no text says so, instead of an empty bubble that looks like a hang.
    static inline const QString nothing = u"（模型没有返回内容）"_s;

    // A controller whose answers come from a stream the test feeds.
    struct Streamed : ChatHarness {
        QStringList shown; // every text the answer's row showed, in order

        explicit Streamed(const QByteArray &path = kOpenAI, int status = 200)
        {
            Response streamed = Response::with(B::Stream);
            streamed.status = status;
            server.on(path, streamed);
            MessageListModel *model = c->messages();
            QObject::connect(model, &QAbstractItemModel::dataChanged, c.get(),
                             [this, model](const QModelIndex &top) {
                                 shown.append(model->at(top.row()).content);
                             });
        }
        // What the bubble of the last message shows.
        QString shownLast() const
        {
            const MessageListModel *m = c->messages();
            return m->data(m->index(m->count() - 1), MessageListModel::ContentRole).toString();
        }
        // Asks, and waits until the first piece of the answer is in its bubble.
        void askAndShowFirstPiece(const QString &piece)
        {
            ask(u"gpt-4o"_s, u"问"_s);
            QTRY_COMPARE_WITH_TIMEOUT(server.openStreams(), 1, kWait);
            server.sendPiece(openAIPiece(piece));
            QTRY_COMPARE_WITH_TIMEOUT(last().content, piece, kWait);
        }
    };

    // The content of a message that shows a stored picture.
    static inline const QString kPicture = u"<picture>"_s;

    static Response redirect(const QByteArray &to)
    {
        Response r(302);
        r.headers.append({"Location", to});
        return r;
    }
    static Response stream(const QByteArray &body)
    {
        Response r(200, body);
        r.contentType = "text/event-stream";
        return r;
    }
    static Response chunked(const QByteArray &chunks)
    {
        return Response::with(B::Raw, "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
                                      "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n" +
                                          chunks);
    }

    // "{origin}" and "{other}" stand for the backend's origin and another server's.
    static Response resolve(Response r, const FakeHttpServer &main, const FakeHttpServer &other)
    {
        const auto fill = [&](QByteArray &text) {
            text.replace("{origin}", main.origin().toUtf8())
                .replace("{other}", other.origin().toUtf8().replace("127.0.0.1", "localhost"));
        };
        fill(r.body);
        for (auto &header : r.headers)
            fill(header.second);
        return r;
    }

    // Files under `root` other than the settings database and what is in `documents`.
    static QStringList filesOutside(const QString &root, const QString &documents)
    {
        QStringList out;
        QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (!path.startsWith(documents + u'/') && !it.fileName().startsWith(u"settings.db"))
                out.append(path);
        }
        return out;
    }

    static void add(const char *name, const QByteArray &path, const Response &response,
                    const QString &content, const QString &log = {})
    {
        QTest::newRow(name) << path << response << content << log;
    }

private slots:
    void buildContext_data()
    {
        QTest::addColumn<MessageList>("list");
        QTest::addColumn<QString>("expected");

        const Message placeholder = text(QString());
        QTest::newRow("empty") << MessageList{} << "";
        QTest::newRow("only the placeholder") << MessageList{placeholder} << "";
        QTest::newRow("exactly the limit")
            << MessageList{text(QString(990, u'x')), text("0123456789", true), placeholder}
            << QString(990, u'x') + "\n0123456789";
        QTest::newRow("one over the limit")
            << MessageList{text("y" + QString(990, u'x')), text("0123456789", true), placeholder}
            << QString(990, u'x') + "\n0123456789";
        QTest::newRow("limit reached: older messages add nothing")
            << MessageList{text("old"), text(QString(1000, u'x'), true), placeholder}
            << QString(1000, u'x');
        QTest::newRow("counted in user-perceived characters")
            << MessageList{text(u"👨‍👩‍👧"_s.repeated(1200)), text("0123456789", true),
                           placeholder}
            << u"👨‍👩‍👧"_s.repeated(990) + "\n0123456789";
        QTest::newRow("a picture gives an empty line")
            << MessageList{text("a", true), text(QString()), text("b", true), placeholder}
            << "a\n\nb";
        QTest::newRow("trimmed at both ends")
            << MessageList{text("  \n a", true), text("b \n "), placeholder} << "a\nb";
    }

    void buildContext()
    {
        QFETCH(MessageList, list);
        QFETCH(QString, expected);
        QCOMPARE(ChatController::buildContext(list, ChatController::kContextLimit), expected);
    }

    // The label reads the amounts kept with the messages; the tier's rates only name the parts.
    void costLabels_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<std::optional<qint64>>("asked"); // characters charged, question
        QTest::addColumn<std::optional<double>>("askedAmount");
        QTest::addColumn<std::optional<qint64>>("answered"); // characters charged, answer
        QTest::addColumn<std::optional<double>>("answeredAmount");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("parts");

        using C = std::optional<qint64>;
        using A = std::optional<double>;
        QTest::newRow("gpt-3.5") << u"gpt-3.5-turbo-0125"_s << C(1000) << A(0.7) << C(500)
                                 << A(1.05) << u"消耗 1.75 积分"_s
                                 << u"提问 1000 字 × 0.0007 + 回答 500 字 × 0.0021"_s;
        QTest::newRow("claude-3") << u"claude-3-haiku-20240307"_s << C(10) << A(0.007) << C(3)
                                  << A(0.0063) << u"消耗 0.01 积分"_s
                                  << u"提问 10 字 × 0.0007 + 回答 3 字 × 0.0021"_s;
        QTest::newRow("gpt-4o") << u"gpt-4o"_s << C(30) << A(0.21) << C(10) << A(0.21)
                                << u"消耗 0.42 积分"_s
                                << u"提问 30 字 × 0.007 + 回答 10 字 × 0.021"_s;
        QTest::newRow("claude-3.5")
            << u"claude-3-5-sonnet-20240620"_s << C(3) << A(0.021) << C(1) << A(0.021)
            << u"消耗 0.04 积分"_s << u"提问 3 字 × 0.007 + 回答 1 字 × 0.021"_s;
        QTest::newRow("gemini") << u"gemini-1.5-pro"_s << C(1001) << A(7.007) << C(4762)
                                << A(100.002) << u"消耗 107.01 积分"_s
                                << u"提问 1001 字 × 0.007 + 回答 4762 字 × 0.021"_s;
        QTest::newRow("dall-e-3, a picture's flat charge")
            << u"dall-e-3"_s << C() << A(100) << C() << A() << u"消耗 100.00 积分"_s
            << u"图片每张 100 积分"_s;
        QTest::newRow("under half a hundredth")
            << u"gpt-3.5-turbo-0125"_s << C(2) << A(0.0014) << C(1) << A(0.0021)
            << u"消耗 <0.01 积分"_s << u"提问 2 字 × 0.0007 + 回答 1 字 × 0.0021"_s;
        QTest::newRow("just over half a hundredth")
            << u"gpt-3.5-turbo-0125"_s << C(5) << A(0.0035) << C(1) << A(0.0021)
            << u"消耗 0.01 积分"_s << u"提问 5 字 × 0.0007 + 回答 1 字 × 0.0021"_s;
        QTest::newRow("an answer with no text is not charged")
            << u"gpt-4o"_s << C(3) << A(0.021) << C() << A() << u"消耗 0.02 积分"_s
            << u"提问 3 字 × 0.007"_s;
        QTest::newRow("kept from before charges were recorded")
            << u"gpt-4o"_s << C() << A() << C() << A() << QString() << QString();
        QTest::newRow("no model recorded: the dearer tier names the rates")
            << QString() << C(1) << A(0.007) << C(1) << A(0.021) << u"消耗 0.03 积分"_s
            << u"提问 1 字 × 0.007 + 回答 1 字 × 0.021"_s;
    }

    void costLabels()
    {
        QFETCH(QString, model);
        QFETCH(std::optional<qint64>, asked);
        QFETCH(std::optional<double>, askedAmount);
        QFETCH(std::optional<qint64>, answered);
        QFETCH(std::optional<double>, answeredAmount);
        QFETCH(QString, label);
        QFETCH(QString, parts);

        Message question = text("问", true);
        question.model = model;
        question.chargedCharacters = asked;
        question.chargedAmount = askedAmount;
        Message answer = text("答");
        answer.model = model;
        answer.chargedCharacters = answered;
        answer.chargedAmount = answeredAmount;
        if (model == u"dall-e-3"_s) {
            answer.kind = MessageKind::Picture;
            answer.cachedImagePath = u"/nowhere.png"_s;
        }
        MessageListModel m;
        m.setMessages({text("更早的回答"), question, answer});
        QCOMPARE(m.data(m.index(2), MessageListModel::CostRole).toString(), label);
        QCOMPARE(m.data(m.index(2), MessageListModel::CostPartsRole).toString(), parts);
        // Questions and what came before them show no cost.
        QCOMPARE(m.data(m.index(0), MessageListModel::CostRole).toString(), QString());
        QCOMPARE(m.data(m.index(1), MessageListModel::CostRole).toString(), QString());
    }

    // What the send button says a question will cost is what it is charged, context included.
    void questionCostIsTheChargeMade_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<MessageList>("earlier");
        QTest::addColumn<QString>("question");

        QTest::newRow("first question") << u"gpt-4o"_s << MessageList{} << u"你好 world"_s;
        QTest::newRow("context of earlier messages")
            << u"gpt-3.5-turbo-0125"_s
            << MessageList{text("q1", true), text(u"**粗体** 和 ```py\nx = 1\n```"_s)}
            << u" 再问 "_s;
        QTest::newRow("the context is cut at the limit")
            << u"claude-3-5-sonnet-20240620"_s
            << MessageList{text("q1", true), text(QString(1200, u'答'))} << u"0123456789"_s;
        QTest::newRow("a question over the limit is its own context")
            << u"gemini-1.5-pro"_s << MessageList{text("q1", true), text("a1")}
            << QString(1001, u'问');
        QTest::newRow("a question of exactly the limit")
            << u"gpt-4o"_s << MessageList{text("q1", true), text("a1")} << QString(1000, u'问');
        QTest::newRow("a picture is a flat charge")
            << u"dall-e-3"_s << MessageList{text("q1", true), text("a1")} << u"画一只猫"_s;
    }

    void questionCostIsTheChargeMade()
    {
        QFETCH(QString, model);
        QFETCH(MessageList, earlier);
        QFETCH(QString, question);

        ChatHarness h;
        h.server.on(kOpenAI, Response::with(B::Stall));
        h.server.on("/api/proxy_claude2", Response::with(B::Stall));
        h.server.on("/api/proxy_gemini2", Response::with(B::Stall));
        h.server.on("/api/generate_image", Response::with(B::Stall));
        const QUuid id = QUuid::createUuid();
        if (!earlier.isEmpty())
            h.conversations.saveMessages(id, earlier);
        h.c->selectConversation(id);
        h.c->setSelectedModel(model);
        QCOMPARE(h.c->questionCost(), QString());
        QSignalSpy changed(h.c.get(), &ChatController::questionCostChanged);
        h.c->setMessageText(question);
        QVERIFY(!changed.isEmpty());
        const QString predicted = h.c->questionCost();
        const QString context = h.c->contextFor(question.trimmed());

        h.c->sendMessage();
        QCOMPARE(context, ChatController::buildContext(h.c->messageList(), 1000));
        QTRY_COMPARE_WITH_TIMEOUT(h.charges().size(), 1, kWait);
        QCOMPARE(predicted, u"本次提问将消耗 %1 积分（回答另计）"_s.arg(
                                AnswerCost::amountText(h.charges().first())));
    }

    // The toolbar's balance: read after a send settles (a burst of them reads once), kept and
    // greyed when a read fails, and low once the newest answers' average cost leaves fewer than
    // ten questions; that is told once per sign-in.
    void balanceFollowsTheAccount()
    {
        static const QByteArray info = "/api/macos_account_info";
        ChatHarness h;
        h.settings.set(u"isLoggedIn"_s, true);
        h.server.on(kOpenAI, Response{200, ChatHarness::openAIBody({"答"})});
        h.server.on(info, Response{200, R"({"chat_quota": 123.456, "state": "免费"})"});
        AccountBalance balance(&h.settings, &h.http, &h.conversations);
        QObject::connect(h.c.get(), &ChatController::sendSettled, &balance,
                         &AccountBalance::sendSettled);
        QSignalSpy notices(&balance, &AccountBalance::lowBalanceNoticeRequested);
        QCOMPARE(balance.text(), QString());

        h.ask(u"gpt-4o"_s, u"一"_s);
        QTRY_COMPARE_WITH_TIMEOUT(balance.text(), u"积分 123.46"_s, kWait);
        QCOMPARE(h.server.requestsTo(info).first().query.query(), u"userid=u1"_s);
        // Costs of about 0.04 a question: thousands left, nothing to warn about.
        QVERIFY(balance.estimate() > 1000);
        QVERIFY(!balance.low());
        QCOMPARE(balance.estimateText(), u"约可再提问 %1 次"_s.arg(*balance.estimate()));
        h.ask(u"gpt-4o"_s, u"二"_s);
        QTRY_COMPARE_WITH_TIMEOUT(h.c->pendingSends(), 0, kWait);
        QCOMPARE(h.server.requestsTo(info).size(), 1); // the second read waits its turn

        h.server.on(info, Response::with(B::Reset));
        balance.refresh();
        QTRY_VERIFY_WITH_TIMEOUT(balance.offline(), kWait);
        QCOMPARE(balance.text(), u"积分 123.46"_s);

        // Ten answers of 20 each: 150 pays for 7 more.
        MessageList costly;
        for (int i = 0; i < 10; ++i) {
            Message q = text(u"问"_s, true);
            q.chargedAmount = 5;
            Message a = text(u"答"_s);
            a.chargedAmount = 15;
            a.timestamp = q.timestamp = Message::referenceNow() + 100 + i;
            costly << q << a;
        }
        h.conversations.saveMessages(QUuid::createUuid(), costly);
        h.server.on(info, Response{200, R"({"chat_quota": 150, "state": "黄金"})"});
        balance.refresh();
        QTRY_COMPARE_WITH_TIMEOUT(balance.text(), u"积分 150.00"_s, kWait);
        QVERIFY(!balance.offline());
        QCOMPARE(balance.estimateText(), u"约可再提问 7 次"_s);
        QVERIFY(balance.low());
        QCOMPARE(notices.size(), 1);
        QCOMPARE(notices.first().at(1).toString(), u"续费会员"_s);
        balance.refresh();
        QTRY_COMPARE_WITH_TIMEOUT(h.server.requestsTo(info).size(), 4, kWait);
        QTest::qWait(50);
        QCOMPARE(notices.size(), 1);

        // Signing out forgets the account; the next sign-in is told again.
        h.settings.set(u"isLoggedIn"_s, false);
        QCOMPARE(balance.text(), QString());
        h.settings.set(u"isLoggedIn"_s, true);
        QTRY_COMPARE_WITH_TIMEOUT(notices.size(), 2, kWait);
    }

    void sendIsRefused_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("logLine");

        const QString empty = u"发送消息失败：未选择模型或消息为空"_s;
        const QString blank = u"消息仅包含空格或为空，无法发送"_s;
        QTest::newRow("empty") << QString() << u"gpt-4o"_s << empty;
        QTest::newRow("no model") << u"hello"_s << QString() << empty;
        QTest::newRow("line breaks and ideographic space")
            << u"\n\t\u3000\n"_s << u"gpt-4o"_s << blank;
    }

    void sendIsRefused()
    {
        QFETCH(QString, input);
        QFETCH(QString, model);
        QFETCH(QString, logLine);
        ChatHarness h;
        h.c->setSelectedModel(model);
        h.c->setMessageText(input);
        LogCapture log;
        h.c->sendMessage();
        QCOMPARE(log.all(), QStringList{logLine});
        QCOMPARE(h.c->messageText(), input);
        QCOMPARE(h.c->messages()->count(), 0);
        QVERIFY(h.server.requests().isEmpty());
    }

    void sendAppendsQuestionAndPlaceholder()
    {
        ChatHarness h;
        QSignalSpy scroll(h.c.get(), &ChatController::scrollToBottomTriggerChanged);
        h.c->setMessageText(u"  你好 \n"_s);
        h.c->sendMessage();
        QCOMPARE(h.c->messageText(), QString());
        QCOMPARE(h.c->messages()->count(), 2);
        const Message &q = h.c->messageList().at(0);
        const Message &p = h.c->messageList().at(1);
        QCOMPARE(q.content, u"你好"_s);
        QVERIFY(q.isUserMessage && !q.isLoading);
        QVERIFY(!p.isUserMessage && p.isLoading && p.content.isEmpty());
        QCOMPARE(scroll.count(), 1);
        QCOMPARE(h.c->messages()->data(h.c->messages()->index(1), MessageListModel::IsLastRole),
                 QVariant(true));
        QCOMPARE(h.c->messages()->data(h.c->messages()->index(0), MessageListModel::IsLastRole),
                 QVariant(false));
        // The question is on disk once sent, its answer as one still arriving, which a restart
        // shows as the notice it stands for.
        const MessageList stored = h.stored();
        QCOMPARE(stored.size(), 2);
        QCOMPARE(stored.first().id, q.id);
        QCOMPARE(stored.last().id, p.id);
        QCOMPARE(stored.last().kind, MessageKind::Arriving);
        const MessageList restarted =
            OpenConversation(h.c->currentConversationUuid(), &h.conversations).messages();
        QCOMPARE(restarted.last().content, u"网络请求失败，请稍后重试"_s);
        QVERIFY(!restarted.last().isLoading && restarted.last().isNotice());
    }

    void retryGuards_data()
    {
        QTest::addColumn<MessageList>("list");
        QTest::addColumn<int>("target"); // index into list, -1 for an unknown id

        const MessageList qa{text("q1", true), text("a1"), text("q2", true), text("a2")};
        QTest::newRow("empty list") << MessageList{} << -1;
        QTest::newRow("no question") << MessageList{text("a"), text("b")} << 1;
        QTest::newRow("unknown id") << qa << -1;
        QTest::newRow("the last question itself") << qa << 2;
    }

    void retryGuards()
    {
        QFETCH(MessageList, list);
        QFETCH(int, target);
        ChatHarness h;
        const QUuid id = QUuid::createUuid();
        h.conversations.saveMessages(id, list);
        h.c->selectConversation(id);
        h.c->setMessageText(u"draft"_s);

        h.c->retryMessage(target < 0 ? QUuid::createUuid() : list.at(target).id);
        QCOMPARE(h.c->messages()->count(), list.size());
        QCOMPARE(h.c->messageText(), u"draft"_s);
        QCOMPARE(h.stored().size(), list.size());
        QVERIFY(h.server.requests().isEmpty());
    }

    // Answers kept as variants: each regeneration adds one beside the others and shows it; a
    // switch shows another and is kept; the one in view is what the next question's context
    // holds, after a restart too.
    void regenerateKeepsEveryAnswer()
    {
        ChatHarness h;
        int calls = 0;
        h.server.on(kOpenAI, [&](const FakeHttpServer::Request &) {
            return Response(200, ChatHarness::openAIBody({u"答%1"_s.arg(++calls)}));
        });
        h.ask(u"gpt-4o"_s, u"问"_s);
        QTRY_COMPARE_WITH_TIMEOUT(h.c->pendingSends(), 0, kWait);
        for (int i = 0; i < 2; ++i) {
            h.c->setMessageText(u"草稿"_s);
            h.c->retryMessage(h.last().id);
            QCOMPARE(h.c->messageText(), u"草稿"_s); // the draft is not the question
            QTRY_COMPARE_WITH_TIMEOUT(h.c->pendingSends(), 0, kWait);
        }
        const auto shown = [&] {
            QStringList out;
            for (const Message &m : h.c->messageList())
                out.append(m.content);
            return out;
        };
        const auto variant = [&](int row) {
            MessageListModel *m = h.c->messages();
            return std::pair(m->data(m->index(row), MessageListModel::VariantIndexRole).toInt(),
                             m->data(m->index(row), MessageListModel::VariantCountRole).toInt());
        };
        QCOMPARE(shown(), (QStringList{u"问"_s, u"答3"_s}));
        QCOMPARE(variant(1), std::pair(3, 3));
        QCOMPARE(variant(0), std::pair(1, 1));
        QCOMPARE(h.stored().size(), 4); // one question, three answers

        // Each regeneration asked the question again and was charged for it, as a send is;
        // each answer shows its own charges, and the question keeps its first.
        QTRY_COMPARE_WITH_TIMEOUT(h.charges().size(), 6, kWait);
        const QList<double> charges = h.charges();
        const double ask = ChargeRules::inputCharge(u"gpt-4o"_s, u"问"_s, u"问"_s);
        QCOMPARE(charges.count(ask), 3);
        QCOMPARE(h.c->messageList().first().chargedAmount, ask);
        const double answer = ChargeRules::outputCharge(u"gpt-4o"_s, u"答3"_s);
        QCOMPARE(h.c->messages()->data(h.c->messages()->index(1), MessageListModel::CostRole),
                 u"消耗 %1 积分"_s.arg(AnswerCost::amountText(ask + answer)));
        // The history row's tooltip: everything deducted in the conversation, every variant.
        ConversationListModel history;
        history.setStore(&h.conversations);
        QCOMPARE(history.data(history.index(0), ConversationListModel::CostRole).toString(),
                 u"本对话共消耗 %1 积分"_s.arg(AnswerCost::amountText(
                     std::accumulate(charges.cbegin(), charges.cend(), 0.0))));

        h.c->switchVariant(Message::idText(h.last().id), 1); // there is no fourth
        QCOMPARE(variant(1), std::pair(3, 3));
        h.c->switchVariant(Message::idText(h.last().id), -1);
        QCOMPARE(shown(), (QStringList{u"问"_s, u"答2"_s}));
        QCOMPARE(variant(1), std::pair(2, 3));

        // A restart shows the chosen one; the history row tells of it.
        OpenConversation reopened(h.c->currentConversationUuid(), &h.conversations);
        QCOMPARE(reopened.messages().last().content, u"答2"_s);
        QCOMPARE(h.conversations.historyRows(0, 1).first().text, u"答2"_s);
        QCOMPARE(h.conversations.shownMessages(h.c->currentConversationUuid()).last().content,
                 u"答2"_s);
        h.ask(u"gpt-4o"_s, u"再问"_s);
        QTRY_COMPARE_WITH_TIMEOUT(h.c->pendingSends(), 0, kWait);
        const auto request = h.server.requestsTo(kOpenAI).last();
        QCOMPARE(QJsonDocument::fromJson(request.body).object().value("context").toString(),
                 u"问\n答2\n再问"_s);
    }

    // An older answer regenerated: the new one replaces what followed in view; the old
    // continuation stays with the old answer and comes back with it.
    void regeneratingAnOlderAnswerBranches()
    {
        ChatHarness h;
        h.server.on(kOpenAI, Response{200, ChatHarness::openAIBody({"新"})});
        const MessageList list{text("q1", true), text("a1"), text("q2", true), text("a2")};
        const QUuid id = QUuid::createUuid();
        h.conversations.saveMessages(id, list);
        h.c->selectConversation(id);

        h.c->retryMessage(list.at(1).id);
        QCOMPARE(h.c->messages()->count(), 2);
        QVERIFY(h.last().isLoading);
        QTRY_COMPARE_WITH_TIMEOUT(h.c->pendingSends(), 0, kWait);
        QCOMPARE(h.last().content, u"新"_s);
        QCOMPARE(h.stored().size(), 5);

        h.c->switchVariant(Message::idText(h.last().id), -1);
        QCOMPARE(rows(h.c->messageList()), rows(list));
        h.c->switchVariant(Message::idText(list.at(1).id), 1);
        QCOMPARE(h.c->messageList().last().content, u"新"_s);
        QCOMPARE(OpenConversation(id, &h.conversations).messages().size(), 2);
    }

    // A middle question edited: a new version beside it with its own answer, and everything
    // after the old version stays with it.
    void editingAMiddleQuestionBranches()
    {
        ChatHarness h;
        h.server.on(kOpenAI, Response{200, ChatHarness::openAIBody({"改后的回答"})});
        const MessageList list{text("q1", true), text("a1"),       text("q2", true),
                               text("a2"),       text("q3", true), text("a3")};
        const QUuid id = QUuid::createUuid();
        h.conversations.saveMessages(id, list);
        h.c->selectConversation(id);

        h.c->editQuestion(list.at(2).id, u"   "_s); // blank: refused
        QCOMPARE(h.c->messages()->count(), 6);
        h.c->editQuestion(list.at(2).id, u" q2 改 "_s);
        QTRY_COMPARE_WITH_TIMEOUT(h.c->pendingSends(), 0, kWait);
        const MessageList edited = h.c->messageList();
        QCOMPARE(edited.size(), 4);
        QCOMPARE(edited.at(2).content, u"q2 改"_s);
        QCOMPARE(edited.at(3).content, u"改后的回答"_s);
        MessageListModel *m = h.c->messages();
        QCOMPARE(m->data(m->index(2), MessageListModel::VariantIndexRole).toInt(), 2);
        QCOMPARE(m->data(m->index(2), MessageListModel::VariantCountRole).toInt(), 2);
        // The request carried the branch's context, not the old version's continuation.
        const auto request = h.server.requestsTo(kOpenAI).last();
        QCOMPARE(QJsonDocument::fromJson(request.body).object().value("context").toString(),
                 u"q1\na1\nq2 改"_s);

        h.c->switchVariant(Message::idText(edited.at(2).id), -1);
        QCOMPARE(rows(h.c->messageList()), rows(list));
        QCOMPARE(h.conversations.historyRows(0, 1).first().text, u"a3"_s);
        h.c->switchVariant(Message::idText(list.at(2).id), 1);
        QCOMPARE(rows(h.c->messageList()), rows(edited));
        QCOMPARE(h.stored().size(), 8);
    }

    void newConversation()
    {
        ChatHarness h;
        h.c->hideWelcomeView();
        const QString first = h.c->currentConversationID();
        h.c->newConversation();
        QVERIFY(h.conversations.conversationCount() == 0); // nothing to store
        QVERIFY(h.c->showWelcomeView());
        QCOMPARE(h.settings.getBool(u"hasSeenWelcome"_s, true), false);
        QVERIFY(h.c->currentConversationID() != first);
    }

    void selectConversationLogs()
    {
        ChatHarness h;
        const QUuid id = QUuid::createUuid();
        h.conversations.saveMessages(id, {text("q", true)});
        LogCapture log;
        h.c->selectConversation(Message::idText(id).toLower());
        QCOMPARE(h.c->messages()->count(), 1);
        QCOMPARE(log.all().size(), 2);
        QCOMPARE(log.all().at(0), "currentConversationID " + Message::idText(id));
        QVERIFY(log.all().at(1).startsWith("messages [{"));
    }

    // (A chosen model surviving a restart is checked through the dropdown, in tst_chatviews.)
    void welcomeAndModelSettings()
    {
        ChatHarness h;
        QVERIFY(h.c->showWelcomeView());
        QCOMPARE(h.c->selectedModel(), u"gpt-3.5-turbo-0125"_s);

        // Refused sends still hide the welcome view for good.
        h.c->submitInput();
        QVERIFY(!h.c->showWelcomeView());
        QCOMPARE(h.settings.getBool(u"hasSeenWelcome"_s, false), true);
        h.settings.set(u"hasSeenWelcome"_s, false);
        h.c->onAppear();
        QVERIFY(h.c->showWelcomeView());

        h.c->setSelectedModel(u"dall-e-3"_s);
        QVERIFY(h.c->isImageModel());
        h.c->setSelectedModel(QString()); // no choice: the stored one stays
        QCOMPARE(h.settings.getString(u"selectedModel"_s), u"dall-e-3"_s);
        QCOMPARE(h.c->selectedModelIconName(), u"questionmark.circle"_s);
    }

    void answerLands_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<QStringList>("shownAfter"); // what the bubble shows after each piece
        QTest::addColumn<QString>("answer");

        using Pieces = QList<QByteArray>;
        QTest::newRow("gpt-3.5, whole")
            << "gpt-3.5-turbo-0125" << kOpenAI << 200
            << Pieces{ChatHarness::openAIBody({"**Hel**", "lo ```py\nx=1\n``` end"})}
            << QStringList() << u"Hello<code>x=1</code>end"_s;
        QTest::newRow("claude-3.5, whole")
            << "claude-3-5-sonnet-20240620" << QByteArray("/api/proxy_claude2") << 200
            << Pieces{ProviderStreams::anthropicText("## 你好") +
                      ProviderStreams::anthropicText("，世界")}
            << QStringList() << u"  你好，世界"_s;
        QTest::newRow("gpt-4o, a code block shows as code while it arrives")
            << "gpt-4o" << kOpenAI << 200
            << Pieces{openAIPiece("看：\n```py\nx = 1\n"), openAIPiece("y = 2\n```\n完")}
            << QStringList{"看：<code>x = 1</code>", "看：<code>x = 1\ny = 2</code>完"}
            << u"看：<code>x = 1\ny = 2</code>完"_s;
        // "你" is E4 BD A0: the first read ends inside it.
        QTest::newRow("gemini, a character split across reads")
            << "gemini-1.5-pro" << QByteArray("/api/proxy_gemini2") << 200
            << Pieces{"data: Hi \xe4\xbd", "\xa0\n", "data: 好\n"}
            << QStringList{"Hi", "Hi 你", "Hi 你好"} << u"Hi 你好"_s;
        // The status is not judged: an error page is read like any answer.
        QTest::newRow("500 with a body")
            << "gpt-4o" << kOpenAI << 500 << Pieces{"Internal Server Error"} << QStringList()
            << nothing;

        QStringList many;
        for (int i = 0; i < 180000; ++i)
            many.append(u"片段%1 the quick brown fox "_s.arg(i % 10));
        const QByteArray big = ChatHarness::openAIBody(many);
        QVERIFY(big.size() > 10 * 1000 * 1000);
        QTest::newRow("10 MB body")
            << "gpt-4o" << kOpenAI << 200 << Pieces{big} << QStringList() << many.join(QString());
    }

    void answerLands()
    {
        QFETCH(QString, model);
        QFETCH(QByteArray, path);
        QFETCH(int, status);
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(QStringList, shownAfter);
        QFETCH(QString, answer);

        Streamed s(path, status);
        QAbstractItemModelTester tester(s.c->messages(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy changes(s.c->messages(), &QAbstractItemModel::dataChanged);
        LogCapture log;
        s.ask(model, u"问题 one"_s);
        const QString context = ChatController::buildContext(s.c->messageList(), 1000);
        QTRY_COMPARE_WITH_TIMEOUT(s.server.openStreams(), 1, kWait);
        for (int i = 0; i < pieces.size(); ++i) {
            s.server.sendPiece(pieces.at(i));
            if (i >= shownAfter.size())
                continue;
            // The bubble's text as the user reads it: prose blocks are shown trimmed.
            QTRY_COMPARE_WITH_TIMEOUT(s.shownLast().trimmed(), shownAfter.at(i), kWait);
            QVERIFY(!s.last().isLoading);
            QVERIFY(s.c->isGenerating());
        }
        // While the answer is on its way, the question is stored, and in the answer's place one
        // still arriving (which a restart shows as the network notice), not the text so far.
        QCOMPARE(s.stored().size(), 2);
        QCOMPARE(s.stored().last().kind, MessageKind::Arriving);
        QVERIFY(s.stored().last().content.isEmpty());

        s.server.endStreams();
        QTRY_COMPARE_WITH_TIMEOUT(s.c->pendingSends(), 0, kWait);
        QCOMPARE(s.c->messages()->count(), 2);
        // Kept as the model wrote it; copied, sent and charged tidied, as answers always were.
        QCOMPARE(AnswerDisplay::tidied(s.last()), answer);
        QCOMPARE(s.last().kind, answer == nothing ? MessageKind::Notice : MessageKind::Answer);
        QVERIFY(!s.last().isLoading && !s.last().isUserMessage && !s.c->isGenerating());
        for (const QString &text : std::as_const(s.shown))
            QVERIFY2(!text.contains(QChar::ReplacementCharacter), qPrintable(text));
        // Only one row changes at a time (the placeholder's, and the question's "last" flag).
        for (const auto &signal : changes)
            QVERIFY(signal.at(0).value<QModelIndex>() == signal.at(1).value<QModelIndex>());
        QCOMPARE(rows(s.stored()), rows(s.c->messageList()));

        const auto request = s.server.requestsTo(path).first();
        QCOMPARE(request.headers.value("content-type"), QByteArray("application/json"));
        QCOMPARE(QJsonDocument::fromJson(request.body).object(),
                 (QJsonObject{{"model", model},
                              {"userMessage", u"问题 one"_s},
                              {"systemMessage", ""},
                              {"context", context}}));

        // The question and the answer are charged; an answer with no text is not.
        QList<double> expected{ChargeRules::inputCharge(model, "问题 one", context)};
        if (answer != nothing)
            expected.append(ChargeRules::outputCharge(model, answer));
        QTRY_COMPARE_WITH_TIMEOUT(s.charges().size(), expected.size(), kWait);
        // Each message keeps what was deducted for it.
        QCOMPARE(s.stored().first().chargedAmount, expected.first());
        QCOMPARE(s.stored().last().chargedAmount,
                 answer == nothing ? std::nullopt : std::optional(expected.last()));
        // The answer shows what was deducted for it and its question.
        const double deducted = std::accumulate(expected.cbegin(), expected.cend(), 0.0);
        QCOMPARE(s.c->messages()->data(s.c->messages()->index(1), MessageListModel::CostRole),
                 u"消耗 %1 积分"_s.arg(AnswerCost::amountText(deducted)));
        QList<double> charged = s.charges();
        std::sort(expected.begin(), expected.end());
        std::sort(charged.begin(), charged.end());
        QCOMPARE(charged, expected);

        // A restart shows the same: the answer's Markdown, and its code blocks' languages.
        OpenConversation reopened(s.c->currentConversationUuid(), &s.conversations);
        const auto shown = [](MessageListModel *m, int role) {
            return m->data(m->index(1), role);
        };
        for (const int role : {MessageListModel::ContentRole, MessageListModel::CodeLanguagesRole})
            QCOMPARE(shown(reopened.model(), role), shown(s.c->messages(), role));
        QCOMPARE(shown(reopened.model(), MessageListModel::CodeLanguagesRole).toStringList(),
                 answer.contains(u"<code>"_s) ? QStringList{u"py"_s} : QStringList());
        QTRY_COMPARE_WITH_TIMEOUT(log.count(u"扣减配额成功"_s), expected.size(), kWait);
        QCOMPARE(log.all().first(), u"userPhone +8613800000000"_s);
        // The "+" of the stored phone number arrives as "%2B", so the server reads it back.
        QCOMPARE(s.server.requestsTo("/api/check_quota").first().query.query(QUrl::FullyEncoded),
                 u"phone=%2B8613800000000"_s);
    }

    void pictureNeverTakesANewerPlaceholder()
    {
        ChatHarness h;
        h.server.on("/api/generate_image",
                    Response(200,
                             "{\"image_url\":\"" + h.server.origin().toUtf8() + "/files/p.png\"}",
                             400));
        h.server.on("/files/p.png", Response{200, ChatHarness::png()});
        h.server.on("/api/proxy_openai2", Response{200, ChatHarness::openAIBody({"text"})});

        h.ask(u"dall-e-3"_s, u"画"_s);
        h.ask(u"gpt-4o"_s, u"说"_s);
        QTRY_COMPARE_WITH_TIMEOUT(h.c->pendingSends(), 0, kWait);
        const MessageList &list = h.c->messageList();
        QCOMPARE(list.size(), 4);
        QVERIFY(list.at(1).cachedImagePath.has_value());
        QCOMPARE(list.at(2).content, u"说"_s);
        QCOMPARE(list.at(3).content, u"text"_s);
        QCOMPARE(h.stored().size(), 4);
        QCOMPARE(h.c->messages()->data(h.c->messages()->index(1), MessageListModel::CostRole),
                 u"消耗 100.00 积分"_s);
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
            return Response(200, ChatHarness::openAIBody({first ? "a1" : "a2"}),
                            first ? firstDelayMs : secondDelayMs);
        });
        auto popover = h.controller();
        const QUuid shared = QUuid::createUuid();
        h.conversations.saveMessages(shared, {text("old q", true), text("old a")});
        h.c->selectConversation(shared);
        popover->selectConversation(shared);

        h.ask(u"gpt-4o"_s, u"q1"_s);
        if (!overlapping)
            QTRY_COMPARE_WITH_TIMEOUT(h.c->pendingSends(), 0, kWait);
        h.ask(u"gpt-4o"_s, u"q2"_s, popover.get());
        QTRY_COMPARE_WITH_TIMEOUT(h.c->pendingSends(), 0, kWait);
        QTRY_COMPARE_WITH_TIMEOUT(popover->pendingSends(), 0, kWait);

        QStringList stored;
        for (const Message &m : h.stored())
            stored.append(m.content);
        QCOMPARE(stored.size(), 6);
        for (const char *content : {"old q", "old a", "q1", "a1", "q2", "a2"})
            QVERIFY2(stored.contains(QLatin1String(content)), content);
        if (!overlapping)
            QCOMPARE(stored, QStringList({"old q", "old a", "q1", "a1", "q2", "a2"}));
        // Both views show what is stored.
        QCOMPARE(rows(h.c->messageList()), rows(h.stored()));
        QCOMPARE(rows(popover->messageList()), rows(h.c->messageList()));
    }

    // The main window and the popover on one conversation draw the same answer as it arrives.
    void twoViewsShowTheAnswerAsItArrives()
    {
        Streamed s;
        auto popover = s.controller();
        popover->selectConversation(s.c->currentConversationUuid());
        s.askAndShowFirstPiece(u"一起"_s);
        QVERIFY(popover->isGenerating());
        QCOMPARE(popover->messages(), s.c->messages());
        s.server.sendPiece(openAIPiece("看"));
        s.server.endStreams();
        QTRY_COMPARE_WITH_TIMEOUT(s.c->pendingSends(), 0, kWait);
        QCOMPARE(popover->messageList().last().content, u"一起看"_s);
        QVERIFY(!popover->isGenerating());
    }

    // Regenerating while the answer still arrives: both land, each in its own variant.
    void regeneratingWhileAnsweringKeepsBoth()
    {
        ChatHarness h;
        int calls = 0;
        h.server.on("/api/proxy_openai2", [&](const FakeHttpServer::Request &) {
            const bool first = ++calls == 1;
            return Response(200, ChatHarness::openAIBody({first ? "old" : "new"}), first ? 400 : 0);
        });
        h.ask(u"gpt-4o"_s, u"q"_s);
        h.c->retryMessage(h.c->messageList().last().id);
        QTRY_COMPARE_WITH_TIMEOUT(h.c->pendingSends(), 0, kWait);

        QCOMPARE(h.c->messages()->count(), 2);
        QCOMPARE(h.c->messageList().last().content, u"new"_s);
        h.c->switchVariant(Message::idText(h.last().id), -1);
        QCOMPARE(h.c->messageList().last().content, u"old"_s);
        QCOMPARE(h.stored().size(), 3);
    }

    // A stop or a broken connection ends the answer with what arrived: not a half line that
    // never got its line end, and only the text is charged, not a notice under it.
    void endingMidAnswerKeepsWhatArrived_data()
    {
        QTest::addColumn<bool>("stop");
        QTest::addColumn<QString>("kept");
        QTest::newRow("stopped") << true << u"从前有座山，山里"_s;
        QTest::newRow("connection broken")
            << false << u"从前有座山，山里\n网络请求失败，请稍后重试"_s;
    }

    void endingMidAnswerKeepsWhatArrived()
    {
        QFETCH(bool, stop);
        QFETCH(QString, kept);
        Streamed s;
        LogCapture log;
        const QString text = u"从前有座山，山里"_s;
        s.askAndShowFirstPiece(text);
        s.server.sendPiece(openAIPiece("有座庙").left(25));
        QTest::qWait(50);

        if (stop) {
            s.c->stopGenerating();
            QCOMPARE(s.c->pendingSends(), 0);
        } else {
            s.server.resetStreams();
            QTRY_COMPARE_WITH_TIMEOUT(s.c->pendingSends(), 0, kWait);
        }
        QVERIFY(!s.c->isGenerating());
        QCOMPARE(s.last().content, kept);
        QVERIFY(!s.last().isLoading);
        QCOMPARE(s.stored().size(), 2);
        QCOMPARE(s.stored().last().content, kept);
        // A stop after the end has nothing to stop.
        s.c->stopGenerating();
        QCOMPARE(log.count(u"用户停止生成"_s), stop ? 1 : 0);
        // The request is given up: the backend sees the connection close.
        QTRY_COMPARE_WITH_TIMEOUT(s.server.openStreams(), 0, kWait);
        QTRY_COMPARE_WITH_TIMEOUT(s.charges().size(), 2, kWait);
        QCOMPARE(s.charges().last(), ChargeRules::outputCharge("gpt-4o", text));
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
            s.server.on("/api/check_quota", Response::with(B::Stall));
        LogCapture log;
        s.ask(u"gpt-4o"_s, u"算了"_s);
        if (quotaAnswers) {
            QTRY_COMPARE_WITH_TIMEOUT(s.server.openStreams(), 1, kWait);
            s.server.sendPiece("event: ping\n\n");
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(s.server.requestsTo("/api/check_quota").size(), 1, kWait);
        }
        QVERIFY(s.c->isGenerating());
        s.c->stopGenerating();

        // The question stays, and is kept; the empty placeholder is gone.
        QCOMPARE(s.c->messages()->count(), 1);
        QVERIFY(s.last().isUserMessage);
        QCOMPARE(s.stored().size(), 1);
        QCOMPARE(s.stored().first().content, u"算了"_s);
        QVERIFY(!s.c->isGenerating());
        QCOMPARE(log.count(u"用户停止生成"_s), 1);
        QTRY_COMPARE_WITH_TIMEOUT(s.server.openStreams(), 0, kWait);
        QTest::qWait(100);
        QCOMPARE(s.charges().size(), charges);
        QCOMPARE(s.server.requestsTo(kOpenAI).isEmpty(), charges == 0);
    }

    void twoAnswersStreamAtOnce()
    {
        Streamed s;
        s.ask(u"gpt-4o"_s, u"first"_s);
        s.ask(u"gpt-4o"_s, u"second"_s);
        QTRY_COMPARE_WITH_TIMEOUT(s.server.openStreams(), 2, kWait);
        const auto questionOf = [&](int stream) {
            return QJsonDocument::fromJson(s.server.streamRequest(stream).body)["userMessage"]
                .toString();
        };
        for (int stream : {1, 0, 1})
            s.server.sendPiece(openAIPiece(questionOf(stream).left(3)), stream);
        s.server.endStreams();
        QTRY_COMPARE_WITH_TIMEOUT(s.c->pendingSends(), 0, kWait);

        const MessageList list = s.c->messageList();
        QCOMPARE(list.size(), 4);
        QCOMPARE(list.at(1).content, u"fir"_s);
        QCOMPARE(list.at(3).content, u"secsec"_s);
        QCOMPARE(s.stored().size(), 4);
    }

    // The user leaves the conversation while its answer is on its way, and may come back.
    void answerOfAConversationLeft_data()
    {
        QTest::addColumn<QString>("leaveFor");
        QTest::newRow("a new conversation") << "new";
        QTest::newRow("another stored one") << "other";
        QTest::newRow("another one, and back") << "back";
    }

    void answerOfAConversationLeft()
    {
        QFETCH(QString, leaveFor);

        Streamed s;
        const QUuid other = QUuid::createUuid();
        s.conversations.saveMessages(other, {Message(u"旧的"_s, true)});
        s.askAndShowFirstPiece(u"答"_s);
        const QUuid asked = s.c->currentConversationUuid();

        if (leaveFor == u"new")
            s.c->newConversation();
        else
            s.c->selectConversation(other);
        QVERIFY(!s.c->isGenerating());
        if (leaveFor == u"back") {
            // Stored when sent: it opens with the question, its answer still on its way.
            s.c->selectConversation(asked);
            QCOMPARE(s.c->messages()->count(), 2);
            QVERIFY(s.c->isGenerating());
        }
        const MessageList open = s.c->messageList();
        s.server.sendPiece(openAIPiece("案"));
        s.server.endStreams();
        QTRY_COMPARE_WITH_TIMEOUT(s.c->pendingSends(), 0, kWait);

        // The answer went to the one that asked; any other open conversation is untouched.
        const MessageList stored = s.conversations.messages(asked);
        QCOMPARE(stored.size(), 2);
        QCOMPARE(stored.first().content, u"问"_s);
        QCOMPARE(stored.last().content, u"答案"_s);
        QVERIFY(!stored.last().isLoading);
        if (leaveFor == u"back")
            QCOMPARE(s.last().content, u"答案"_s);
        else
            QCOMPARE(s.c->messageList().size(), open.size());
        QCOMPARE(s.conversations.messages(other).size(), 1);
    }

    // The chat view closes (its controller goes) while an answer streams: the request is given
    // up at once, and what still arrives lands nowhere.
    void senderGoneMidAnswer()
    {
        Streamed s;
        s.askAndShowFirstPiece(u"一半"_s);
        s.c.reset();
        s.server.sendPiece(openAIPiece("另一半"));
        QTRY_COMPARE_WITH_TIMEOUT(s.server.openStreams(), 0, kWait);
        QTest::qWait(50);
        // Only the question was charged: no answer was settled.
        QCOMPARE(s.charges().size(), 1);
    }

    void manyDeltasBecomeFewRowUpdates()
    {
        Streamed s;
        s.askAndShowFirstPiece(u"字"_s);
        QSignalSpy changes(s.c->messages(), &QAbstractItemModel::dataChanged);

        QByteArray burst;
        for (int i = 1; i < 2000; ++i)
            burst += openAIPiece("字");
        s.server.sendPiece(burst);
        QTRY_COMPARE_WITH_TIMEOUT(s.last().content, QString(2000, u'字'), kWait);

        // One refresh for the whole burst, of the text of that one row only.
        QVERIFY2(changes.size() <= 2, qPrintable(QString::number(changes.size())));
        const int row = s.c->messages()->count() - 1;
        for (const auto &change : std::as_const(changes)) {
            QCOMPARE(change.at(0).value<QModelIndex>().row(), row);
            QCOMPARE(change.at(1).value<QModelIndex>().row(), row);
            QCOMPARE(change.at(2).value<QList<int>>(),
                     (QList<int>{MessageListModel::ContentRole, MessageListModel::CodeLanguagesRole,
                                 MessageListModel::CopyTextRole}));
        }
        s.c->stopGenerating();
    }

    // Failed, malformed and hostile answers on every endpoint a send touches: wrong types, huge and
    // deeply nested bodies, invalid UTF-8, cut and broken chunked bodies, stalls, resets, redirects
    // elsewhere, picture addresses that are no web address. Whatever comes, the program does not
    // crash, no placeholder keeps waiting, what is shown is what is stored, no file lands outside
    // the Documents folder, and the log says what happened.
    void hostileAnswers_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<Response>("response");
        QTest::addColumn<QString>("content");
        QTest::addColumn<QString>("log");

        const QByteArray cl = "/api/proxy_claude2", gm = "/api/proxy_gemini2",
                         gen = "/api/generate_image", file = "/files/p.png",
                         quota = "/api/check_quota";
        const QString network = u"网络请求失败，请稍后重试"_s,
                      unusable = u"图片生成失败，请稍后重试"_s, refused = u"请升级会员后再次访问"_s,
                      noImage = u"无法解析DALL-E的响应"_s,
                      imageNotJson = u"DALL-E JSON解析失败: "_s,
                      downloadFailed = u"下载图片失败: "_s;
        const QByteArray notHttp("\x00\xff garbage that is not HTTP\r\n\r\n", 32);
        const Response reset = Response::with(B::Reset);
        const auto image = [](const QByteArray &address) {
            return Response(200, "{\"image_url\":\"" + address + "\"}");
        };

        add("openai: escaped NUL in the text", kOpenAI,
            stream("data: {\"choices\":[{\"delta\":{\"content\":\"a\\u0000b\"}}]}"),
            u"a"_s + QChar(0) + u'b');
        add("openai: 3 MB body over the cap", kOpenAI, stream("data: " + QByteArray(3 << 20, 'x')),
            network);
        add("openai: chunked body cut inside a chunk", kOpenAI,
            chunked("40\r\ndata: {\"choices\":[{\"delta\":{\"content\":\"cut"), network);
        // Qt reads a chunk size it cannot parse as the last chunk: an empty answer.
        add("openai: chunk size that is not hexadecimal", kOpenAI,
            chunked("zz\r\ndata: x\r\n0\r\n\r\n"), nothing);
        add("openai: reset", kOpenAI, reset, network);
        add("openai: redirect to another host", kOpenAI, redirect("{other}/api/proxy_openai2"),
            network);
        add("openai: redirect to a local file", kOpenAI, redirect("file:///etc/passwd"), network);

        add("claude: invalid UTF-8", cl,
            stream(
                "data: {\"type\":\"content_block_delta\",\"delta\":{\"text\":\"\xed\xa0\x80\"}}"),
            nothing);
        add("claude: not HTTP", cl, Response::with(B::Raw, notHttp), network);

        add("gemini: NUL and CR LF", gm, stream(QByteArray("data: a\0b\r\ndata: c", 18)),
            u"a"_s + QChar(0) + u"bc"_s);
        add("gemini: body cut short before any text", gm,
            Response::with(B::Truncated, "data:partial"), network);

        add("image: answer reset", gen, reset, network);
        add("image: answer a JSON array", gen,
            Response(200, "[{\"image_url\":\"{origin}/files/p.png\"}]"), unusable, noImage);
        add("image: image_url a number", gen, Response(200, "{\"image_url\":5}"), unusable,
            noImage);
        add("image: image_url empty", gen, image(""), unusable, noImage);
        add("image: web address of another scheme", gen, image("ftp://cdn.example/p.png"), unusable,
            noImage);
        add("image: file address", gen, image("file:///etc/passwd"), unusable, noImage);
        add("image: 100000 nested arrays", gen,
            Response(200, QByteArray(100000, '[') + QByteArray(100000, ']')), unusable,
            imageNotJson);
        add("image: answer not UTF-8", gen, Response(200, "{\"image_url\":\"\xff\"}"), unusable,
            imageNotJson);
        add("download: redirected to another host", file, redirect("{other}/files/p.png"), kPicture,
            "Image saved at: ");
        add("download: redirected to a local file", file, redirect("file:///etc/passwd"), network,
            downloadFailed);
        add("download: cut inside a chunk", file, chunked("100\r\n\x89PNG"), network,
            downloadFailed);
        add("download: not found", file, Response(404, "not found"), unusable,
            "下载图片失败: HTTP 404");
        add("download: empty", file, Response(200, ""), unusable, "下载图片失败: 未知错误");

        add("a model with no address", "/none", Response(), u"无效的模型，请重新选择"_s,
            u"无效的模型或URL"_s);
        add("quota: refused", quota, Response(200, "{\"hasQuota\":false}"), refused);
        add("quota: error page counts as refused", quota, Response(500, "<html>"), refused);
        add("quota: reset is no answer", quota, reset, network);
        add("charge: reset", "/api/deduct_quota", reset, u"答"_s, u"扣减配额失败: "_s);
    }

    void hostileAnswers()
    {
        QFETCH(QByteArray, path);
        QFETCH(Response, response);
        QFETCH(QString, content);
        QFETCH(QString, log);

        const QString network = u"网络请求失败，请稍后重试"_s,
                      unusable = u"图片生成失败，请稍后重试"_s, refused = u"请升级会员后再次访问"_s,
                      invalid = u"无效的模型，请重新选择"_s;
        ChatHarness h;
        FakeHttpServer other;
        h.http.setIdleTimeout(500ms);
        h.http.setMaxBodySize(2 << 20);
        for (const char *chat : {"/api/proxy_openai2", "/api/proxy_claude2"})
            h.server.on(chat, stream(ChatHarness::openAIBody({u"答"_s})));
        h.server.on(
            "/api/generate_image",
            resolve(Response(200, "{\"image_url\":\"{origin}/files/p.png\"}"), h.server, other));
        h.server.on("/files/p.png", Response(200, ChatHarness::png()));
        other.on("/files/p.png", Response(200, ChatHarness::png()));
        h.server.on(path, resolve(response, h.server, other));
        QSignalSpy alerts(h.c.get(), &ChatController::upgradeAlertRequested);
        LogCapture logged;

        // The model whose request `path` answers (the picture model for downloads).
        h.ask(path.contains("claude")                                ? "claude-3-haiku-20240307"
              : path.contains("gemini")                              ? "gemini-1.5-pro"
              : path.contains("image") || path.startsWith("/files/") ? "dall-e-3"
              : path == "/none"                                      ? "gpt-5"
                                                                     : "gpt-4o",
              u"问题"_s);
        QTRY_COMPARE_WITH_TIMEOUT(h.c->pendingSends(), 0, kWait);
        QCOMPARE(h.c->messages()->count(), 2);
        for (const Message &m : h.c->messageList())
            QVERIFY(!m.isLoading);
        const Message &last = h.c->messageList().last();
        QVERIFY(!last.isUserMessage);
        QCOMPARE(last.cachedImagePath.has_value(), content == kPicture);
        QCOMPARE(last.content, content == kPicture ? QString() : content);
        // Stored as shown: the question was kept when it was sent, and the answer or notice
        // ended it.
        QCOMPARE(h.stored().size(), 2);
        QCOMPARE(h.stored().last().content, last.content);
        QCOMPARE(h.stored().last().cachedImagePath, last.cachedImagePath);
        // A notice is stored as one, never as an answer.
        const QStringList notices{network, unusable, refused, nothing, invalid};
        QCOMPARE(h.stored().last().kind, content == kPicture         ? MessageKind::Picture
                                         : notices.contains(content) ? MessageKind::Notice
                                                                     : MessageKind::Answer);

        const QString documents = QDir(h.images.documentsFolder()).canonicalPath();
        if (last.cachedImagePath) {
            const QFileInfo stored(*last.cachedImagePath);
            QCOMPARE(stored.absoluteDir().canonicalPath(), documents);
            QFile file(stored.filePath());
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), ChatHarness::png());
        } else {
            QVERIFY(QDir(h.images.documentsFolder()).entryList(QDir::Files).isEmpty());
        }
        QCOMPARE(filesOutside(QDir(h.dir.path()).canonicalPath(), documents), QStringList());
        if (!log.isEmpty())
            QTRY_VERIFY2_WITH_TIMEOUT(logged.count(log) >= 1,
                                      qPrintable(logged.all().join(u'\n').left(2000)), kWait);
        // Redirects to another origin are only followed for picture downloads.
        if (!path.startsWith("/files/"))
            QVERIFY(other.requests().isEmpty());
        // A refusal asks to upgrade; without a yes nothing is asked of the model or charged.
        QCOMPARE(alerts.count(), content == u"请升级会员后再次访问"_s ? 1 : 0);
        if (path == "/api/check_quota") {
            QTest::qWait(50);
            QVERIFY(h.charges().isEmpty());
            QVERIFY(h.server.requestsTo("/api/proxy_openai2").isEmpty());
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(h.charges().size() >= 1, kWait);
        }
    }
};

QTEST_GUILESS_MAIN(TestChatFlow)
#include "tst_chatflow.moc"
