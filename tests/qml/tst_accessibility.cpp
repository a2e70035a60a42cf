// What a screen reader is told about the chat window, the sign-in sheet and the account card:
// each control's role, name and state, the changes it hears, and rows in conversation order.
// (History rows and rendered answers are checked with their views.)

#include "account/phonelogin.h"
#include "appgraph.h"
#include "chat/chatcontroller.h"

#include <QAccessible>
#include <QApplication>
#include <QtGui/private/qguiapplication_p.h>
#include <QtGui/qpa/qplatformaccessibility.h>
#include <QtGui/qpa/qplatformintegration.h>
#include <QtQml/QQmlExtensionPlugin>

Q_IMPORT_QML_PLUGIN(TalvoroPlugin)

using namespace Qt::StringLiterals;

// Without an assistive technology attached (none is, offscreen) Qt keeps accessibility off:
// controls never learn it is on and every event is dropped. Switching it on is the platform
// integration's job; initTestCase checks that it took.
namespace {

QList<std::pair<QObject *, QAccessible::Event>> heard;

// A state change is kept only when it is the checked state that changed.
void listen(QAccessibleEvent *event)
{
    if (event->type() != QAccessible::StateChanged ||
        static_cast<QAccessibleStateChangeEvent *>(event)->changedStates().checked)
        heard.append({event->object(), event->type()});
}

enum class View { Chat, SignIn, Card, History, HistoryMenu };

} // namespace

Q_DECLARE_METATYPE(View)

class TestAccessibility : public QObject {
    Q_OBJECT

    // The chat window, the sign-in sheet over the login gate, or the account card over the
    // chat window, opened far enough that clicks land.
    struct Open : MainWindow {
        bool start(View view)
        {
            app.settings->set(u"hasSeenWelcome"_s, true);
            if (!MainWindow::start(view != View::SignIn, {900, 640}))
                return false;
            if (view == View::History || view == View::HistoryMenu) {
                store({Message(u"问"_s, true)});
                chat->setShowHistory(true);
                if (!QTest::qWaitFor([&] { return opened(u"historyView"_s); }))
                    return false;
                if (view == View::HistoryMenu) {
                    clickItem(item(u"historyRowMenuButton"_s));
                    return QTest::qWaitFor([&] {
                        QQuickItem *entry = item(u"renameItem"_s);
                        return entry && entry->isVisible() && opened(u"renameItem"_s);
                    });
                }
                return true;
            }
            if (view == View::Card)
                chat->setShowCard(true);
            else if (view == View::SignIn)
                item(u"loginView"_s)->setProperty("showingPhoneLoginView", true);
            const QString popup = view == View::Card ? u"myCardView"_s : u"phoneLoginView"_s;
            const QSizeF sheet = AppDelegate::kSignInSheetSize;
            // The window takes the sheet's size once it opens; a click before that misses.
            return view == View::Chat || QTest::qWaitFor([&] {
                       return opened(popup) &&
                              (view == View::Card || window->contentItem()->size() == sheet);
                   });
        }
        // Whether the popup showing the view named `name` has finished opening, so clicks land.
        bool opened(const QString &name) const
        {
            for (QObject *up = item(name); up; up = up->parent()) {
                if (up->property("opened").isValid())
                    return up->property("opened").toBool();
            }
            return false;
        }
    };

private slots:
    void initTestCase()
    {
        // As with a screen reader already running when the program starts.
        QAccessible::installUpdateHandler(listen);
        QGuiApplicationPrivate::platform_integration->accessibility()->setActive(true);
        QVERIFY(QAccessible::isActive());
    }

    void controls_data()
    {
        QTest::addColumn<View>("view");
        QTest::addColumn<QStringList>("path");
        QTest::addColumn<QAccessible::Role>("role");
        // "%1" stands for the text the control shows, which the service decides.
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("checkable");

        const auto row = [](const char *tag, View view, const char *path, QAccessible::Role role,
                            const char *name, bool checkable = false) {
            QTest::newRow(tag) << view << QString::fromLatin1(path).split(u'/') << role
                               << QString::fromUtf8(name) << checkable;
        };
        row("send", View::Chat, "sendButton", QAccessible::Button, "发送");
        row("stop", View::Chat, "stopButton", QAccessible::Button, "停止生成");
        // Qt exposes a checkable button as a check box: it carries the on/off state.
        row("pin", View::Chat, "pinButton", QAccessible::CheckBox, "点击前置窗口", true);
        row("compact", View::Chat, "compactButton", QAccessible::CheckBox, "点击缩小窗口", true);
        row("model picker", View::Chat, "modelButton", QAccessible::Button, "GPT-3.5");
        row("new conversation", View::Chat, "newConversationButton", QAccessible::Button, "新对话");
        row("history", View::Chat, "historyButton", QAccessible::Button, "历史");
        row("account", View::Chat, "accountButton", QAccessible::Button, "点击查看账户信息");
        row("messages", View::Chat, "messageList", QAccessible::List, "消息");
        row("agreement", View::SignIn, "agreeCheckBox", QAccessible::CheckBox, "我同意", true);
        row("terms", View::SignIn, "termsButton", QAccessible::Button, "使用条款和政策");
        row("sign in", View::SignIn, "loginButton", QAccessible::Button, "点击登录");
        row("phone", View::SignIn, "phoneField", QAccessible::EditableText, "电话号码");
        row("sheet close", View::SignIn, "phoneLoginView/closeButton", QAccessible::Button, "关闭");
        row("subscription", View::Card, "stateRow", QAccessible::StaticText, "订阅：%1");
        row("chat quota", View::Card, "chatQuotaRow", QAccessible::StaticText, "积分剩余：%1");
        row("translate quota", View::Card, "translateQuotaRow", QAccessible::StaticText,
            "(网页插件)对照翻译剩余：%1");
        row("membership", View::Card, "membershipButton", QAccessible::Button, "%1");
        row("extension", View::Card, "extensionButton", QAccessible::Button,
            "使用网页扩展（谷歌/Edge）");
        row("feedback", View::Card, "feedbackButton", QAccessible::Button, "问题反馈");
        row("sign out", View::Card, "signOutButton", QAccessible::Button, "退出登录");
        row("card close", View::Card, "myCardView/closeButton", QAccessible::Button, "关闭");
        row("history search", View::History, "historySearchField", QAccessible::EditableText,
            "搜索历史");
        row("search results", View::History, "searchResults", QAccessible::List, "搜索结果");
        row("history list", View::History, "historyList", QAccessible::List, "历史消息");
        row("row menu button", View::History, "historyRowMenuButton", QAccessible::Button, "更多");
        row("rename field", View::History, "renameField", QAccessible::EditableText, "对话名称");
        row("undo toast", View::History, "undoToast", QAccessible::AlertMessage, "已删除对话");
        row("undo", View::History, "undoButton", QAccessible::Button, "撤销");
        row("rename", View::HistoryMenu, "renameItem", QAccessible::MenuItem, "重命名");
        row("pin conversation", View::HistoryMenu, "pinItem", QAccessible::MenuItem, "置顶");
        row("export markdown", View::HistoryMenu, "exportMarkdownItem", QAccessible::MenuItem,
            "导出为 Markdown");
        row("export pdf", View::HistoryMenu, "exportPdfItem", QAccessible::MenuItem, "导出为 PDF");
        row("delete", View::HistoryMenu, "deleteItem", QAccessible::MenuItem, "删除");
    }

    void controls()
    {
        QFETCH(View, view);
        QFETCH(QStringList, path);
        QFETCH(QAccessible::Role, role);
        QFETCH(QString, name);
        QFETCH(bool, checkable);

        Open open;
        QVERIFY(open.start(view));
        QQuickItem *control = open.window->contentItem();
        for (const QString &part : path) // its last part, under the one named by the first
            control = findItem(control, part);
        QVERIFY(control);
        if (name.contains(u"%1")) {
            QQuickItem *value = findItem(control, u"value"_s);
            name = name.arg((value ? value : control)->property("text").toString());
        }
        QAccessibleInterface *node = QAccessible::queryAccessibleInterface(control);
        QVERIFY(node);
        QCOMPARE(node->role(), role);
        QCOMPARE(node->text(QAccessible::Name), name);
        QCOMPARE(bool(node->state().checkable), checkable);
        QVERIFY(!node->state().checked);
        if (!checkable)
            return;
        // Ticked, it says so, and a screen reader hears the change.
        heard.clear();
        clickItem(control);
        QTRY_VERIFY(heard.contains({control, QAccessible::StateChanged}));
        QVERIFY(node->state().checked);
    }

    // A conversation whose first question has two versions and whose answer has two variants:
    // the switchers, the edit controls and the balance, as a screen reader finds them.
    void branchControls_data()
    {
        QTest::addColumn<QString>("under"); // the visible item named so, then the control in it
        QTest::addColumn<QString>("control");
        QTest::addColumn<QAccessible::Role>("role");
        QTest::addColumn<QString>("name");

        const auto row = [](const char *tag, const char *under, const char *control,
                            QAccessible::Role role, const char *name) {
            QTest::newRow(tag) << QString::fromLatin1(under) << QString::fromLatin1(control) << role
                               << QString::fromUtf8(name);
        };
        row("previous answer", "answerVariants", "previousVariantButton", QAccessible::Button,
            "上一个回答");
        row("next answer", "answerVariants", "nextVariantButton", QAccessible::Button,
            "下一个回答");
        row("answer label", "answerVariants", "variantLabel", QAccessible::StaticText,
            "第 2 个回答，共 2 个");
        row("previous version", "questionVersions", "previousVariantButton", QAccessible::Button,
            "上一个版本");
        row("next version", "questionVersions", "nextVariantButton", QAccessible::Button,
            "下一个版本");
        row("version label", "questionVersions", "variantLabel", QAccessible::StaticText,
            "第 2 个版本，共 2 个");
        row("edit", "", "editButton", QAccessible::Button, "编辑");
        row("edit send", "", "sendEditButton", QAccessible::Button, "发送");
        row("edit cancel", "", "cancelEditButton", QAccessible::Button, "取消");
        row("edited text", "", "questionEditor", QAccessible::EditableText, "编辑");
        row("balance", "", "balanceLabel", QAccessible::StaticText, "积分余额");
    }

    void branchControls()
    {
        QFETCH(QString, under);
        QFETCH(QString, control);
        QFETCH(QAccessible::Role, role);
        QFETCH(QString, name);

        Open open;
        Message first(u"先问"_s, true), question(u"再问"_s, true);
        first.timestamp = 1;
        question.timestamp = 2;
        Message old(u"旧答"_s, false), answer(u"新答"_s, false);
        old.parentId = answer.parentId = question.id;
        old.timestamp = 3;
        answer.timestamp = 4;
        const QString id = open.store({first, question, old, answer});
        QVERIFY(open.start(View::Chat));
        open.chat->hideWelcomeView();
        open.chat->selectConversation(id);
        QQuickItem *root = open.window->contentItem();
        const auto visible = [&](QQuickItem *in, const QString &objectName) {
            const auto found = findAll(in, [&](QQuickItem *item) {
                return item->objectName() == objectName && item->isVisible();
            });
            return found.isEmpty() ? nullptr : found.first();
        };
        QTRY_VERIFY(visible(root, u"answerVariants"_s));
        if (control.contains(u"Edit") || control == u"questionEditor"_s) {
            QQuickItem *edit = visible(root, u"editButton"_s);
            QTest::mouseMove(open.window, edit->mapToScene(QPointF(2, 2)).toPoint());
            QTRY_VERIFY(edit->isEnabled());
            clickItem(edit);
        }
        QQuickItem *item = nullptr;
        QTRY_VERIFY((item = visible(under.isEmpty() ? root : visible(root, under), control)) ||
                    control == u"balanceLabel"_s);
        // The balance shows once the service has answered; it is named from the start.
        if (!item)
            item = findItem(root, control);
        QAccessibleInterface *node = QAccessible::queryAccessibleInterface(item);
        QVERIFY(node);
        QCOMPARE(node->role(), role);
        QCOMPARE(node->text(QAccessible::Name), name);
    }

    // The sign-in sheet's status line is read out when its text changes.
    void statusLineIsAnnounced()
    {
        Open open;
        QVERIFY(open.start(View::SignIn));
        QQuickItem *line = open.item(u"errorMessage"_s);
        QVERIFY(line);
        heard.clear();
        // Nothing listens on the service's port: sending the code fails at once and says so.
        auto *login = open.item(u"phoneLoginView"_s)->property("login").value<PhoneLogin *>();
        login->setPhoneNumber(u"13800138000"_s);
        login->sendVerificationCode();
        QTRY_VERIFY(heard.contains({line, QAccessible::NameChanged}));
        QAccessibleInterface *node = QAccessible::queryAccessibleInterface(line);
        QCOMPARE(node->role(), QAccessible::StaticText);
        QVERIFY(!line->property("text").toString().isEmpty());
        QCOMPARE(node->text(QAccessible::Name), line->property("text").toString());
    }

    void rowsFollowTheConversationAfterScrolling()
    {
        Open open;
        QList<Message> messages;
        QStringList names;
        for (int i = 0; i < 100; ++i) {
            messages.append(Message(u"问题 %1"_s.arg(i), true));
            Message answer(u"回答 %1"_s.arg(i), false);
            if (i % 7 == 3)
                answer.cachedImagePath = u"/nowhere/%1.png"_s.arg(i);
            messages.append(answer);
            names << messages.at(2 * i).content << (i % 7 == 3 ? u"【图片】"_s : answer.content);
        }
        const QString id = open.store(messages);
        QVERIFY(open.start(View::Chat));
        open.chat->hideWelcomeView();
        open.chat->selectConversation(id);
        QQuickItem *list = open.item(u"messageList"_s);
        QVERIFY(list);
        QTRY_COMPARE(list->property("count").toInt(), 200);

        // Far enough each way that every row on screen at the end was reused on the way.
        for (const int index : {100, 199, 40, 0}) {
            QMetaObject::invokeMethod(list, "positionViewAtIndex", Q_ARG(int, index),
                                      Q_ARG(int, 1 /* ListView.Center */));
            QTest::qWait(0);
        }

        // Rows the list lets go of are put away over the next turns of the event loop (slowly,
        // under the sanitizers); once it is done, the rows a reader hears are one run of the
        // conversation, each named by its own message.
        QAccessibleInterface *node = QAccessible::queryAccessibleInterface(list);
        QStringList exposed;
        const auto inOrder = [&] {
            exposed.clear();
            for (int i = 0; i < node->childCount(); ++i) {
                QAccessibleInterface *child = node->child(i);
                if (child->role() == QAccessible::ListItem && !child->state().invisible)
                    exposed << child->text(QAccessible::Name);
            }
            return exposed.size() > 3 &&
                   exposed == names.mid(names.indexOf(exposed.first()), exposed.size());
        };
        QTRY_VERIFY2(inOrder(), qPrintable(exposed.join(u", ")));
    }
};

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
