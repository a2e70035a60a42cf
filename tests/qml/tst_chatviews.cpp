// The chat window's views: reply blocks, rows and their actions, history, welcome questions
// and the model picker.

#include "appgraph.h"
#include "chat/chatcontroller.h"
#include "chat/conversationlistmodel.h"
#include "chat/messageblocks.h"
#include "chat/welcomequestions.h"
#include "logcapture.h"

#include <QAccessible>
#include <QApplication>
#include <QDesktopServices>
#include <QImage>
#include <QtQml/QQmlExtensionPlugin>

Q_IMPORT_QML_PLUGIN(TalvoroPlugin)

namespace {

QList<QQuickItem *> named(QQuickItem *root, const QString &name)
{
    return findAll(root, [&](QQuickItem *item) { return item->objectName() == name; });
}

// Records the web pages the program asks the desktop to open, instead of opening them.
class PageRecorder : public QObject {
    Q_OBJECT
public:
    PageRecorder() { QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "openUrl"); }
    ~PageRecorder() override { QDesktopServices::unsetUrlHandler(QStringLiteral("http")); }
    QList<QUrl> opened;
public slots:
    void openUrl(const QUrl &url) { opened.append(url); }
};

} // namespace

class TestChatViews : public QObject {
    Q_OBJECT

private slots:
    void upgradeAlertKeys_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("upgrades");
        QTest::newRow("Return chooses 升级会员") << int(Qt::Key_Return) << true;
        QTest::newRow("Escape chooses 取消") << int(Qt::Key_Escape) << false;
    }

    void upgradeAlertKeys()
    {
        QFETCH(int, key);
        QFETCH(bool, upgrades);
        MainWindow open;
        QVERIFY(open.start());
        PageRecorder pages;
        LogCapture log;
        QVERIFY(QMetaObject::invokeMethod(open.chat, "upgradeAlertRequested"));
        QQuickItem *button = nullptr;
        QTRY_VERIFY((button = open.item(QStringLiteral("upgradeButton"))) && button->isVisible());
        QTRY_VERIFY(button->hasActiveFocus());
        QTest::keyClick(open.window, Qt::Key(key));
        QTRY_VERIFY(!button->isVisible());
        QCOMPARE(pages.opened.size(), upgrades ? 1 : 0);
        QCOMPARE(log.count(QStringLiteral("用户选择取消")), upgrades ? 0 : 1);
    }

    void replyBlocks_data()
    {
        QTest::addColumn<QString>("content");
        QTest::addColumn<QStringList>("blocks"); // code blocks start with "code:"
        QTest::newRow("prose, code, prose") << QStringLiteral("看 <code>int x;\n</code> 好")
                                            << QStringList{"看", "code:int x;\n", "好"};
        QTest::newRow("no closing marker")
            << QStringLiteral("前 <code>  未闭合  ") << QStringList{"前", "未闭合"};
        QTest::newRow("two closing markers drop the third part")
            << QStringLiteral("<code>c</code> p1 </code> p2") << QStringList{"code:c", "p1"};
        QTest::newRow("code keeps its white space")
            << QStringLiteral("<code>  x  \n</code>") << QStringList{"code:  x  \n"};
        QTest::newRow("white space only") << QStringLiteral(" \n\t ") << QStringList{};
        QTest::newRow("empty code block")
            << QStringLiteral("a<code></code>b") << QStringList{"a", "b"};
    }

    void replyBlocks()
    {
        QFETCH(QString, content);
        QFETCH(QStringList, blocks);
        QStringList split;
        for (const MessageBlock &block : MessageBlocks::split(content))
            split.append((block.isCode ? QStringLiteral("code:") : QString()) + block.text);
        QCOMPARE(split, blocks);
    }

    void regenerateOnlyOnTheLastMessage()
    {
        MainWindow open;
        const QString id =
            open.store({Message(QStringLiteral("一"), true), Message(QStringLiteral("答一"), false),
                        Message(QStringLiteral("二"), true), Message(QStringLiteral("答二"), false),
                        Message(QStringLiteral("<code>x</code>尾"), false)});
        QVERIFY(open.start());
        open.chat->hideWelcomeView();
        open.chat->selectConversation(id);
        // Every row is built (user rows keep their assistant part hidden); only the last shows.
        const auto buttons = [&] {
            return named(open.window->contentItem(), QStringLiteral("regenerateButton"));
        };
        QTRY_COMPARE(buttons().size(), 5);
        const auto shown = findAll(open.window->contentItem(), [](QQuickItem *item) {
            return item->objectName() == u"regenerateButton" && item->isVisible();
        });
        QCOMPARE(shown.size(), 1);
        // Hover the last reply: its actions appear; pressing regenerate sends the question again.
        QQuickItem *row = shown.first()->parentItem();
        QTest::mouseMove(open.window, row->mapToScene(QPointF(2, 2)).toPoint());
        QTRY_COMPARE(row->opacity(), 1.0);
        clickItem(shown.first());
        // The old question and answer go, the answer between them stays, the question is asked
        // again at the end.
        QTRY_COMPARE(open.chat->messageList().at(3).content, QStringLiteral("二"));
        QCOMPARE(open.chat->messages()->count(), 5);
        QCOMPARE(open.chat->messageList().at(2).content, QStringLiteral("答二"));
        QVERIFY(!open.chat->messageList().at(4).isUserMessage);
    }

    void pictureRows_data()
    {
        QTest::addColumn<bool>("fileExists");
        QTest::newRow("stored picture") << true;
        QTest::newRow("picture file gone") << false;
    }

    void pictureRows()
    {
        QFETCH(bool, fileExists);
        MainWindow open;
        const QString path = open.app.folder() + QStringLiteral("/p.png");
        QImage image(60, 40, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        QVERIFY(!fileExists || image.save(path));
        Message picture(QString(), false);
        picture.cachedImagePath = path;
        const QString id = open.store({Message(QStringLiteral("画"), true), picture});
        QVERIFY(open.start());
        open.chat->hideWelcomeView();
        open.chat->selectConversation(id);

        QQuickItem *shown = nullptr;
        QTRY_VERIFY((shown = open.item(QStringLiteral("picture"))) != nullptr);
        // Decoding runs off the main thread; wait for its verdict.
        QTRY_VERIFY(shown->property("status").toInt() >= 2);
        const auto failed = findAll(shown->parentItem(), [](QQuickItem *item) {
            return item->property("text").toString() == u"无法加载图片";
        });
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.first()->isVisible(), !fileExists);
        QCOMPARE(shown->height() > 0, fileExists);
        if (fileExists) // fitted into 200 x 200, aspect kept
            QCOMPARE(QSizeF(shown->width(), shown->height()), QSizeF(200, 400.0 / 3));
    }

    void historyOrderAndTitles()
    {
        AppGraph app;
        Message picture(QString(), false);
        picture.cachedImagePath = QStringLiteral("/nowhere/x.png");
        const QList<MessageList> stored{
            // Started at 09:00 but answered last: still listed by when it started.
            {at(Message(QStringLiteral("九点"), true), 1000),
             at(Message(QStringLiteral("最新的回答"), false), 3500)},
            {at(Message(QStringLiteral("十点"), true), 2000), picture},
            {at(Message(QStringLiteral("十一点"), true), 3000),
             at(Message(QString(), false), 3001)},
            {at(Message(QStringLiteral("十点半"), true), 2500)}};
        QStringList ids;
        for (const MessageList &messages : stored) {
            const QUuid id = QUuid::createUuid();
            app.conversations->saveCurrentConversation(id, messages);
            ids.append(Message::idText(id));
        }
        ConversationListModel model;
        QStringList order, titles;
        for (int row = 0; row < model.rowCount(); ++row) {
            order.append(
                model.data(model.index(row), ConversationListModel::ConversationIdRole).toString());
            titles.append(
                model.data(model.index(row), ConversationListModel::TitleRole).toString());
        }
        QCOMPARE(order, (QStringList{ids[2], ids[3], ids[1], ids[0]}));
        // An empty last message gives an empty title, not "无标题".
        QCOMPARE(titles, (QStringList{"", "十点半", "【图片】", "最新的回答"}));
    }

    // A history row shows its title as plain text (rich text would fetch the picture a reply
    // points at and hide the tags) in two lines at most, a screen reader hears the whole title,
    // and a click on the row reopens the conversation.
    void historyRow()
    {
        const QString title =
            QStringLiteral("<b>粗</b><img src=\"http://127.0.0.1:9/x.png\"> <code>") +
            QStringLiteral("这是一条很长的回答，").repeated(20);
        MainWindow open;
        const QString id = open.store({Message(QStringLiteral("问"), true), Message(title, false)});
        QVERIFY(open.start());
        QVERIFY(open.chat->showWelcomeView());
        clickItem(open.item(QStringLiteral("historyButton")));
        QQuickItem *row = nullptr;
        QTRY_VERIFY((row = open.item(QStringLiteral("historyRow"))) != nullptr);
        auto *shown = row->property("contentItem").value<QQuickItem *>();
        QVERIFY(shown);
        QCOMPARE(shown->property("text").toString(), title);
        QCOMPARE(shown->property("textFormat").toInt(), 0); // Text.PlainText
        QTRY_COMPARE(shown->property("lineCount").toInt(), 2);
        QVERIFY(shown->property("truncated").toBool());
        QAccessibleInterface *node = QAccessible::queryAccessibleInterface(row);
        QCOMPARE(node->role(), QAccessible::Button);
        QCOMPARE(node->text(QAccessible::Name), title);

        QTest::qWait(300); // the sheet slides in
        clickItem(row);
        QTRY_VERIFY(!open.chat->showHistory());
        QVERIFY(!open.chat->showWelcomeView());
        QVERIFY(open.app.settings->getBool(QStringLiteral("hasSeenWelcome"), false));
        QCOMPARE(open.chat->currentConversationID(), id);
        QCOMPARE(open.chat->messages()->count(), 2);
    }

    void historyTrashClearsAtOnce()
    {
        AppGraph app;
        app.conversations->saveCurrentConversation(QUuid::createUuid(),
                                                   {Message(QStringLiteral("问"), true)});
        ConversationListModel model;
        QCOMPARE(model.rowCount(), 1);
        LogCapture capture;
        model.clearHistory();
        QCOMPARE(model.rowCount(), 0);
        QVERIFY(!app.settings->getData(QStringLiteral("conversations")));
        model.clearHistory(); // nothing stored: still logs, still empty
        QCOMPARE(capture.count(QStringLiteral("历史记录已清除")), 2);
    }

    void welcomeClickSends()
    {
        // Only the image model has the picture questions.
        QCOMPARE(WelcomeQuestions::forModel(QStringLiteral("dall-e-3")).first(),
                 QStringLiteral("🌆 绘制一个未来城市"));
        QCOMPARE(WelcomeQuestions::forModel(QStringLiteral("DALL-E-3")),
                 WelcomeQuestions::forModel(QStringLiteral("gpt-4o")));
        MainWindow open;
        QVERIFY(open.start());
        const QString question = QStringLiteral("💡有哪些方法可以提高记忆力？");
        QQuickItem *button = nullptr;
        QTRY_VERIFY((button = open.item(QStringLiteral("question_") + question)) != nullptr);
        clickItem(button);
        QTRY_VERIFY(!open.chat->showWelcomeView());
        QVERIFY(open.app.settings->getBool(QStringLiteral("hasSeenWelcome"), false));
        QVERIFY(open.chat->messages()->count() >= 2);
        QCOMPARE(open.chat->messageList().first().content, question);
        QVERIFY(open.chat->messageList().first().isUserMessage);
    }

    // The picker marks the chosen model only (nothing for an identifier it does not list), and
    // a choice made in it is still there after a restart.
    void dropdownChoiceSurvivesRestart()
    {
        QTemporaryDir folder;
        const QString claude = QStringLiteral("claude-3-5-sonnet-20240620");
        const auto marked = [](MainWindow &open) {
            QStringList rows;
            for (QQuickItem *mark :
                 named(open.item(QStringLiteral("dropdownView")), QStringLiteral("checkmark"))) {
                if (mark->isVisible())
                    rows.append(mark->parentItem()->objectName());
            }
            return rows;
        };
        {
            MainWindow open(folder.path());
            QVERIFY(open.start());
            open.chat->setSelectedModel(QStringLiteral("gpt-5"));
            open.chat->setShowDropdown(true);
            QQuickItem *row = nullptr;
            QTRY_VERIFY((row = open.item(QStringLiteral("modelRow_") + claude)));
            QCOMPARE(named(open.item(QStringLiteral("dropdownView")), QStringLiteral("checkmark"))
                         .size(),
                     6);
            QCOMPARE(marked(open), QStringList());
            QTest::qWait(50);
            clickItem(row);
            QTRY_VERIFY(!open.chat->showDropdown());
            QCOMPARE(open.chat->selectedModel(), claude);
        }
        MainWindow again(folder.path());
        QVERIFY(again.start());
        QCOMPARE(again.chat->selectedModel(), claude);
        QCOMPARE(again.chat->selectedModelDisplayName(), QStringLiteral("Claude-3.5"));
        again.chat->setShowDropdown(true);
        QTRY_COMPARE(marked(again), QStringList{QStringLiteral("modelRow_") + claude});
    }
};

int main(int argc, char *argv[])
{
    qputenv("QT_QUICK_BACKEND", "software");
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    TestChatViews test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_chatviews.moc"
