#include "chatharness.h"
#include "core/settingkeys.h"
#include "logcapture.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

namespace {

Message text(const QString &content, bool user = false)
{
    return Message(content, user);
}

QString emojis(int n)
{
    QString s;
    for (int i = 0; i < n; ++i)
        s += QStringLiteral("👨‍👩‍👧");
    return s;
}

} // namespace

class TestChatController : public QObject {
    Q_OBJECT

private slots:
    void buildContext_data()
    {
        QTest::addColumn<MessageList>("list");
        QTest::addColumn<QString>("expected");

        const Message placeholder = text(QString());
        const QString answer1200 = QString(200, u'a') + QString(1000, u'b');
        QTest::newRow("empty") << MessageList{} << "";
        QTest::newRow("only the placeholder") << MessageList{placeholder} << "";
        QTest::newRow("long answer cut to what is left of the limit")
            << MessageList{text(answer1200), text("0123456789", true), placeholder}
            << QString(990, u'b') + "\n0123456789";
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
            << MessageList{text(emojis(1200)), text("0123456789", true), placeholder}
            << emojis(990) + "\n0123456789";
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

    void sendIsRefused_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("logLine");

        const QString empty = QStringLiteral("发送消息失败：未选择模型或消息为空");
        const QString blank = QStringLiteral("消息仅包含空格或为空，无法发送");
        QTest::newRow("empty") << QString() << QStringLiteral("gpt-4o") << empty;
        QTest::newRow("no model") << QStringLiteral("hello") << QString() << empty;
        QTest::newRow("spaces") << QStringLiteral("   ") << QStringLiteral("gpt-4o") << blank;
        QTest::newRow("line breaks and ideographic space")
            << QStringLiteral("\n\t\u3000\n") << QStringLiteral("gpt-4o") << blank;
    }

    void sendIsRefused()
    {
        QFETCH(QString, input);
        QFETCH(QString, model);
        QFETCH(QString, logLine);
        ChatHarness h;
        auto c = h.controller();
        c->setSelectedModel(model);
        c->setMessageText(input);
        LogCapture log;
        c->sendMessage();
        QCOMPARE(log.all(), QStringList{logLine});
        QCOMPARE(c->messageText(), input);
        QCOMPARE(c->messages()->count(), 0);
        QVERIFY(h.server.requests().isEmpty());
    }

    void sendAppendsQuestionAndPlaceholder()
    {
        ChatHarness h;
        auto c = h.controller();
        QAbstractItemModelTester tester(c->messages(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy scroll(c.get(), &ChatController::scrollToBottomTriggerChanged);
        c->setMessageText(QStringLiteral("  你好 \n"));
        c->sendMessage();
        QCOMPARE(c->messageText(), QString());
        QCOMPARE(c->messages()->count(), 2);
        const Message &q = c->messageList().at(0);
        const Message &p = c->messageList().at(1);
        QCOMPARE(q.content, QStringLiteral("你好"));
        QVERIFY(q.isUserMessage && !q.isLoading);
        QVERIFY(!p.isUserMessage && p.isLoading && p.content.isEmpty());
        QCOMPARE(scroll.count(), 1);
        QCOMPARE(c->messages()->data(c->messages()->index(1), MessageListModel::IsLastRole),
                 QVariant(true));
        QCOMPARE(c->messages()->data(c->messages()->index(0), MessageListModel::IsLastRole),
                 QVariant(false));
        // The question is on disk once sent, its answer as the notice a quit would leave.
        const MessageList stored =
            ConversationStore(&h.settings).conversations().value(c->currentConversationUuid());
        QCOMPARE(stored.size(), 2);
        QCOMPARE(stored.first().id, q.id);
        QCOMPARE(stored.last().id, p.id);
        QCOMPARE(stored.last().content, QStringLiteral("网络请求失败，请稍后重试"));
        QVERIFY(!stored.last().isLoading);
    }

    void retryGuards_data()
    {
        QTest::addColumn<MessageList>("list");
        QTest::addColumn<int>("target"); // index into list, -1 for an unknown id

        const MessageList qa{text("q1", true), text("a1"), text("q2", true), text("a2")};
        QTest::newRow("empty list") << MessageList{} << -1;
        QTest::newRow("no question") << MessageList{text("a"), text("b")} << 1;
        QTest::newRow("unknown id") << qa << -1;
        QTest::newRow("an earlier answer") << qa << 1;
        QTest::newRow("the last question itself") << qa << 2;
    }

    void retryGuards()
    {
        QFETCH(MessageList, list);
        QFETCH(int, target);
        ChatHarness h;
        auto c = h.controller();
        h.conversations.saveCurrentConversation(c->currentConversationUuid(), list);
        c->selectConversation(c->currentConversationUuid());
        c->setMessageText(QStringLiteral("draft"));
        const QByteArray before = h.settings.getData(SettingKeys::conversations).value_or("");

        c->retryMessage(target < 0 ? QUuid::createUuid() : list.at(target).id);
        QCOMPARE(c->messages()->count(), list.size());
        QCOMPARE(c->messageText(), QStringLiteral("draft"));
        QCOMPARE(h.settings.getData(SettingKeys::conversations).value_or(""), before);
        QVERIFY(h.server.requests().isEmpty());
    }

    void retryRegeneratesTheLastAnswer()
    {
        ChatHarness h;
        h.server.on("/api/proxy_openai2",
                    FakeHttpServer::Response::with(FakeHttpServer::Behaviour::Stall));
        auto c = h.controller();
        const MessageList list{text("q1", true), text("a1"), text("q2", true), text("note"),
                               text("a2")};
        h.conversations.saveCurrentConversation(c->currentConversationUuid(), list);
        c->selectConversation(c->currentConversationUuid());

        c->retryMessage(list.at(4).id);
        const MessageList &now = c->messageList();
        QCOMPARE(now.size(), 5);
        QCOMPARE(now.at(2).content, QStringLiteral("note")); // between them: stays
        QCOMPARE(now.at(3).content, QStringLiteral("q2"));
        QVERIFY(now.at(3).id != list.at(2).id);
        QVERIFY(now.at(4).isLoading);
        // The stored copy lost the two regenerated messages, and holds the question asked again.
        const MessageList stored = h.stored(*c);
        QCOMPARE(stored.size(), 5);
        QCOMPARE(stored.at(2).content, QStringLiteral("note"));
        QCOMPARE(stored.at(3).id, now.at(3).id);
    }

    void newConversation()
    {
        ChatHarness h;
        auto c = h.controller();
        c->hideWelcomeView();
        const QString first = c->currentConversationID();
        c->newConversation();
        QVERIFY(h.conversations.conversations().isEmpty()); // nothing to store
        QVERIFY(c->showWelcomeView());
        QCOMPARE(h.settings.getBool(QStringLiteral("hasSeenWelcome"), true), false);
        QVERIFY(c->currentConversationID() != first);
    }

    void selectConversationLogs()
    {
        ChatHarness h;
        auto c = h.controller();
        const QUuid id = QUuid::createUuid();
        h.conversations.saveCurrentConversation(id, {text("q", true)});
        LogCapture log;
        c->selectConversation(Message::idText(id).toLower());
        QCOMPARE(c->messages()->count(), 1);
        QCOMPARE(log.all().size(), 2);
        QCOMPARE(log.all().at(0), "currentConversationID " + Message::idText(id));
        QVERIFY(log.all().at(1).startsWith("messages [{"));
    }

    // (A chosen model surviving a restart is checked through the dropdown, in tst_chatviews.)
    void welcomeAndModelSettings()
    {
        ChatHarness h;
        auto c = h.controller();
        QVERIFY(c->showWelcomeView());
        QCOMPARE(c->selectedModel(), QStringLiteral("gpt-3.5-turbo-0125"));

        // Refused sends still hide the welcome view for good.
        c->submitInput();
        QVERIFY(!c->showWelcomeView());
        QCOMPARE(h.settings.getBool(QStringLiteral("hasSeenWelcome"), false), true);
        h.settings.set(QStringLiteral("hasSeenWelcome"), false);
        c->onAppear();
        QVERIFY(c->showWelcomeView());

        c->setSelectedModel(QStringLiteral("dall-e-3"));
        QVERIFY(c->isImageModel());
        c->setSelectedModel(QString()); // no choice: the stored one stays
        QCOMPARE(h.settings.getString(QStringLiteral("selectedModel")), QStringLiteral("dall-e-3"));
        QCOMPARE(c->selectedModelIconName(), QStringLiteral("questionmark.circle"));
    }
};

QTEST_GUILESS_MAIN(TestChatController)
#include "tst_chatcontroller.moc"
