// The chat window's views: reply blocks, rows and their actions, history, welcome questions
// and the model picker.

#include "appgraph.h"
#include "chat/chatcontroller.h"
#include "chat/conversationlistmodel.h"
#include "chat/messageblocks.h"
#include "chat/welcomequestions.h"
#include "logcapture.h"

#include <QApplication>
#include <QDesktopServices>
#include <QImage>
#include <QtQml/QQmlExtensionPlugin>

Q_IMPORT_QML_PLUGIN(TalvoroPlugin)

Q_DECLARE_METATYPE(QList<MessageBlock>)

namespace {

Message at(Message message, double timestamp)
{
    message.timestamp = timestamp;
    return message;
}

QList<QQuickItem *> findAll(QQuickItem *root, const QString &name)
{
    QList<QQuickItem *> found;
    if (!root)
        return found;
    if (root->objectName() == name)
        found.append(root);
    const auto children = root->childItems();
    for (QQuickItem *child : children)
        found += findAll(child, name);
    return found;
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

    // A signed-in main window, its chat view and controller.
    struct Open {
        AppGraph app;
        QQuickWindow *window = nullptr;
        ChatController *chat = nullptr;

        explicit Open(const QString &folder = {}) : app(folder) {}
        bool start()
        {
            app.settings->set(QStringLiteral("isLoggedIn"), true);
            if (!app.launch())
                return false;
            window = app.delegate->mainWindow();
            window->resize(1000, 720);
            chat = chatOf(window);
            return chat && QTest::qWaitForWindowExposed(window);
        }
        QQuickItem *item(const QString &name) const
        {
            return findItem(window->contentItem(), name);
        }
    };

private slots:
    void upgradeAlertKeys_data();
    void upgradeAlertKeys();
    void replyBlocks_data();
    void replyBlocks();
    void regenerateOnlyOnTheLastMessage();
    void pictureRows_data();
    void pictureRows();
    void historyOrderAndTitles();
    void historyRowReopensConversation();
    void historyTrashClearsAtOnce();
    void historyTitleIsNeverMarkup();
    void welcomeQuestions_data();
    void welcomeQuestions();
    void welcomeClickSends();
    void dropdownCheckMark_data();
    void dropdownCheckMark();
    void dropdownChoiceSurvivesRestart();
};

void TestChatViews::upgradeAlertKeys_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("upgrades");
    QTest::newRow("Return chooses 升级会员") << int(Qt::Key_Return) << true;
    QTest::newRow("Escape chooses 取消") << int(Qt::Key_Escape) << false;
}

void TestChatViews::upgradeAlertKeys()
{
    QFETCH(int, key);
    QFETCH(bool, upgrades);
    Open open;
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

void TestChatViews::replyBlocks_data()
{
    QTest::addColumn<QString>("content");
    QTest::addColumn<QList<MessageBlock>>("blocks");
    const auto block = [](bool isCode, const char *t) {
        MessageBlock b;
        b.isCode = isCode;
        b.text = QString::fromUtf8(t);
        return b;
    };
    const auto prose = [&](const char *t) {
        return block(false, t);
    };
    const auto code = [&](const char *t) {
        return block(true, t);
    };

    QTest::newRow("prose, code, prose") << QStringLiteral("看 <code>int x;\n</code> 好")
                                        << QList{prose("看"), code("int x;\n"), prose("好")};
    QTest::newRow("only code") << QStringLiteral("<code>a = 1</code>") << QList{code("a = 1")};
    QTest::newRow("no closing marker")
        << QStringLiteral("前 <code>  未闭合  ") << QList{prose("前"), prose("未闭合")};
    QTest::newRow("two closing markers drop the third part")
        << QStringLiteral("<code>c</code> p1 </code> p2") << QList{code("c"), prose("p1")};
    QTest::newRow("code keeps its white space")
        << QStringLiteral("<code>  x  \n</code>") << QList{code("  x  \n")};
    QTest::newRow("empty") << QString() << QList<MessageBlock>{};
    QTest::newRow("white space only") << QStringLiteral(" \n\t ") << QList<MessageBlock>{};
    QTest::newRow("empty code block")
        << QStringLiteral("a<code></code>b") << QList{prose("a"), prose("b")};
}

void TestChatViews::replyBlocks()
{
    QFETCH(QString, content);
    QFETCH(QList<MessageBlock>, blocks);
    QCOMPARE(MessageBlocks::split(content), blocks);
}

void TestChatViews::regenerateOnlyOnTheLastMessage()
{
    Open open;
    const QUuid id = QUuid::createUuid();
    open.app.conversations->saveCurrentConversation(
        id, {Message(QStringLiteral("一"), true), Message(QStringLiteral("答一"), false),
             Message(QStringLiteral("二"), true), Message(QStringLiteral("答二"), false),
             Message(QStringLiteral("<code>x</code>尾"), false)});
    QVERIFY(open.start());
    open.chat->hideWelcomeView();
    open.chat->selectConversation(Message::idText(id));
    // Every row is built (user rows keep their assistant part hidden); only visible ones count.
    QTRY_COMPARE(findAll(open.window->contentItem(), QStringLiteral("regenerateButton")).size(), 5);

    const auto buttons = findAll(open.window->contentItem(), QStringLiteral("regenerateButton"));
    int shown = 0;
    QQuickItem *last = nullptr;
    for (QQuickItem *button : buttons) {
        if (button->isVisible()) {
            ++shown;
            last = button;
        }
    }
    QCOMPARE(shown, 1);
    // Hover the last reply: its actions appear; pressing regenerate sends the question again.
    QQuickItem *row = last->parentItem();
    QTest::mouseMove(open.window, row->mapToScene(QPointF(2, 2)).toPoint());
    QTRY_COMPARE(row->opacity(), 1.0);
    clickItem(last);
    // The old question and answer go, the answer between them stays, the question is asked
    // again at the end.
    QTRY_COMPARE(open.chat->messageList().at(3).content, QStringLiteral("二"));
    QCOMPARE(open.chat->messages()->count(), 5);
    QCOMPARE(open.chat->messageList().at(2).content, QStringLiteral("答二"));
    QVERIFY(!open.chat->messageList().at(4).isUserMessage);
}

void TestChatViews::pictureRows_data()
{
    QTest::addColumn<bool>("fileExists");
    QTest::newRow("stored picture") << true;
    QTest::newRow("picture file gone") << false;
}

void TestChatViews::pictureRows()
{
    QFETCH(bool, fileExists);
    Open open;
    const QString path = open.app.folder() + QStringLiteral("/p.png");
    if (fileExists) {
        QImage image(60, 40, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        QVERIFY(image.save(path));
    }
    Message picture(QString(), false);
    picture.cachedImagePath = path;
    const QUuid id = QUuid::createUuid();
    open.app.conversations->saveCurrentConversation(id,
                                                    {Message(QStringLiteral("画"), true), picture});
    QVERIFY(open.start());
    open.chat->hideWelcomeView();
    open.chat->selectConversation(Message::idText(id));

    QQuickItem *shown = nullptr;
    QTRY_VERIFY((shown = open.item(QStringLiteral("picture"))) != nullptr);
    // Decoding runs off the main thread; wait for its verdict.
    QTRY_VERIFY(shown->property("status").toInt() >= 2);
    QQuickItem *failed = nullptr;
    for (QQuickItem *sibling : shown->parentItem()->childItems()) {
        if (sibling->property("text").toString() == u"无法加载图片")
            failed = sibling;
    }
    QVERIFY(failed);
    QCOMPARE(failed->isVisible(), !fileExists);
    QCOMPARE(shown->height() > 0, fileExists);
    if (fileExists) // fitted into 200 x 200, aspect kept
        QCOMPARE(QSizeF(shown->width(), shown->height()), QSizeF(200, 400.0 / 3));
}

void TestChatViews::historyOrderAndTitles()
{
    AppGraph app;
    const double nine = 1000, ten = 2000, eleven = 3000;
    Message picture(QString(), false);
    picture.cachedImagePath = QStringLiteral("/nowhere/x.png");
    const QUuid a = QUuid::createUuid(), b = QUuid::createUuid(), c = QUuid::createUuid(),
                d = QUuid::createUuid();
    // Started at 09:00 but answered last: still listed by when it started.
    app.conversations->saveCurrentConversation(
        a, {at(Message(QStringLiteral("九点"), true), nine),
            at(Message(QStringLiteral("最新的回答"), false), eleven + 500)});
    app.conversations->saveCurrentConversation(
        b, {at(Message(QStringLiteral("十点"), true), ten), picture});
    app.conversations->saveCurrentConversation(c,
                                               {at(Message(QStringLiteral("十一点"), true), eleven),
                                                at(Message(QString(), false), eleven + 1)});
    app.conversations->saveCurrentConversation(
        d, {at(Message(QStringLiteral("十点半"), true), ten + 500)});

    ConversationListModel model;
    QCOMPARE(model.rowCount(), 4);
    const auto idAt = [&](int row) {
        return model.data(model.index(row), ConversationListModel::ConversationIdRole).toString();
    };
    const auto titleAt = [&](int row) {
        return model.data(model.index(row), ConversationListModel::TitleRole).toString();
    };
    QCOMPARE(idAt(0), Message::idText(c));
    QCOMPARE(titleAt(0), QString()); // empty last message: empty title, not "无标题"
    QCOMPARE(idAt(1), Message::idText(d));
    QCOMPARE(titleAt(1), QStringLiteral("十点半"));
    QCOMPARE(idAt(2), Message::idText(b));
    QCOMPARE(titleAt(2), QStringLiteral("【图片】"));
    QCOMPARE(idAt(3), Message::idText(a));
    QCOMPARE(titleAt(3), QStringLiteral("最新的回答"));
}

void TestChatViews::historyTitleIsNeverMarkup()
{
    // Rich text would fetch the image from wherever a reply points and hide the tags.
    const QString hostile =
        QStringLiteral("<b>粗</b><img src=\"http://127.0.0.1:9/x.png\"> <code>");
    Open open;
    open.app.conversations->saveCurrentConversation(
        QUuid::createUuid(), {Message(QStringLiteral("问"), true), Message(hostile, false)});
    QVERIFY(open.start());
    clickItem(open.item(QStringLiteral("historyButton")));
    QTRY_VERIFY(open.chat->showHistory());
    QQuickItem *title = nullptr;
    const auto findTitle = [&] {
        QList<QQuickItem *> pending{open.window->contentItem()};
        while (!pending.isEmpty()) {
            QQuickItem *item = pending.takeLast();
            if (item->property("text").toString() == hostile &&
                item->property("textFormat").isValid())
                return item;
            pending.append(item->childItems());
        }
        return static_cast<QQuickItem *>(nullptr);
    };
    QTRY_VERIFY((title = findTitle()) != nullptr);
    QCOMPARE(title->property("textFormat").toInt(), 0); // Text.PlainText
}

void TestChatViews::historyRowReopensConversation()
{
    Open open;
    const QUuid id = QUuid::createUuid();
    open.app.conversations->saveCurrentConversation(
        id, {Message(QStringLiteral("旧问题"), true), Message(QStringLiteral("旧回答"), false)});
    QVERIFY(open.start());
    QVERIFY(open.chat->showWelcomeView());
    clickItem(open.item(QStringLiteral("historyButton")));
    QTRY_VERIFY(open.chat->showHistory());
    QQuickItem *list = nullptr;
    QTRY_VERIFY((list = open.item(QStringLiteral("historyList"))) != nullptr);
    QTRY_VERIFY(!list->property("contentItem").value<QQuickItem *>()->childItems().isEmpty());
    QTest::qWait(300); // the sheet slides in
    QQuickItem *row = list->property("contentItem").value<QQuickItem *>()->childItems().first();
    clickItem(row);
    QTRY_VERIFY(!open.chat->showHistory());
    QVERIFY(!open.chat->showWelcomeView());
    QVERIFY(open.app.settings->getBool(QStringLiteral("hasSeenWelcome"), false));
    QCOMPARE(open.chat->currentConversationID(), Message::idText(id));
    QCOMPARE(open.chat->messages()->count(), 2);
}

void TestChatViews::historyTrashClearsAtOnce()
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
    QCOMPARE(capture.count(QStringLiteral("历史记录已清除")), 1);
    model.clearHistory(); // nothing stored: still logs, still empty
    QCOMPARE(capture.count(QStringLiteral("历史记录已清除")), 2);
}

void TestChatViews::welcomeQuestions_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<QStringList>("questions");
    const QStringList pictures{
        QStringLiteral("🌆 绘制一个未来城市"), QStringLiteral("🌌 创作一片外星森林"),
        QStringLiteral("🦄 画一只云端独角兽"), QStringLiteral("🌠 创作星际旅行者形象")};
    const QStringList everyday{QStringLiteral("💼如何缓解工作压力？"),
                               QStringLiteral("⏰如何更好地利用闲暇时间？"),
                               QStringLiteral("📚有哪些值得一看的励志书籍？"),
                               QStringLiteral("💡有哪些方法可以提高记忆力？")};
    QTest::newRow("image model") << QStringLiteral("dall-e-3") << pictures;
    QTest::newRow("chat model") << QStringLiteral("gpt-4o") << everyday;
    QTest::newRow("unknown model") << QStringLiteral("no-such-model") << everyday;
    QTest::newRow("near miss") << QStringLiteral("DALL-E-3") << everyday;
}

void TestChatViews::welcomeQuestions()
{
    QFETCH(QString, model);
    QFETCH(QStringList, questions);
    QCOMPARE(WelcomeQuestions::forModel(model), questions);
}

void TestChatViews::welcomeClickSends()
{
    Open open;
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

void TestChatViews::dropdownCheckMark_data()
{
    QTest::addColumn<QString>("selected");
    QTest::addColumn<int>("checked");
    QTest::newRow("default model") << QStringLiteral("gpt-3.5-turbo-0125") << 1;
    QTest::newRow("image model") << QStringLiteral("dall-e-3") << 1;
    QTest::newRow("nothing selected") << QString() << 0;
    QTest::newRow("unknown identifier") << QStringLiteral("gpt-5") << 0;
}

void TestChatViews::dropdownCheckMark()
{
    QFETCH(QString, selected);
    QFETCH(int, checked);
    Open open;
    QVERIFY(open.start());
    open.chat->setSelectedModel(selected);
    open.chat->setShowDropdown(true);
    QQuickItem *picker = nullptr;
    QTRY_VERIFY((picker = open.item(QStringLiteral("dropdownView"))) != nullptr);
    const auto marks = findAll(picker, QStringLiteral("checkmark"));
    QCOMPARE(marks.size(), 6);
    int shown = 0;
    for (QQuickItem *mark : marks) {
        if (mark->isVisible()) {
            ++shown;
            QCOMPARE(mark->parentItem()->objectName(), QStringLiteral("modelRow_") + selected);
        }
    }
    QCOMPARE(shown, checked);
}

void TestChatViews::dropdownChoiceSurvivesRestart()
{
    QTemporaryDir folder;
    {
        Open open(folder.path());
        QVERIFY(open.start());
        open.chat->setShowDropdown(true);
        QQuickItem *row = nullptr;
        QTRY_VERIFY((row = open.item(QStringLiteral("modelRow_claude-3-5-sonnet-20240620"))));
        QTest::qWait(50);
        clickItem(row);
        QTRY_VERIFY(!open.chat->showDropdown());
        QCOMPARE(open.chat->selectedModel(), QStringLiteral("claude-3-5-sonnet-20240620"));
    }
    Open again(folder.path());
    QVERIFY(again.start());
    QCOMPARE(again.chat->selectedModel(), QStringLiteral("claude-3-5-sonnet-20240620"));
    QCOMPARE(again.chat->selectedModelDisplayName(), QStringLiteral("Claude-3.5"));
}

int main(int argc, char *argv[])
{
    qputenv("QT_QUICK_BACKEND", "software");
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    TestChatViews test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_chatviews.moc"
