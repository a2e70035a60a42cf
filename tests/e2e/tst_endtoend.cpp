// The whole program against a real talvoro-server, driven through its views the way a user
// does: sign in, ask a chat model, ask the image model, quit, start again, find both
// conversations, read the balance on the account card, sign out.

#include "appgraph.h"
#include "core/httpclient.h"
#include "logcapture.h"
#include "serverprocess.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QInputMethodEvent>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtQml/QQmlExtensionPlugin>
#include <QtQuickTest/quicktest.h>

Q_IMPORT_QML_PLUGIN(TalvoroPlugin)

namespace {

constexpr int kWait = 60000;
const QString kPhone = QStringLiteral("13800138000");

// The home folder of the user the test plays; set up before anything asks where files go.
QTemporaryDir *g_home = nullptr;

} // namespace

// Runs one step of a test; a step that failed ends the test function there.
#define STEP(statement)                                                                            \
    do {                                                                                           \
        statement;                                                                                 \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)

class TestEndToEnd : public QObject {
    Q_OBJECT

    ServerProcess m_server;
    QString m_origin;
    FakeStatusBar m_statusBar;
    std::unique_ptr<QuonixApp> m_app;

    // What the first run left behind, for the second run to find.
    QString m_answer;

    QQuickWindow *window() const { return m_app->delegate()->mainWindow(); }
    QQuickItem *item(const QString &name) const { return findItem(window()->contentItem(), name); }
    QString contentName() const
    {
        QQuickItem *loader = item(QStringLiteral("windowContent"));
        auto *content = loader ? loader->property("item").value<QQuickItem *>() : nullptr;
        return content ? content->objectName() : QString();
    }
    ChatController *chat() const { return chatOf(window()); }

    // Waits until the item is on screen and clicks its middle.
    void click(const QString &name)
    {
        QQuickItem *target = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT(
            (target = item(name)) && target->isVisible() && target->isEnabled(), kWait);
        clickItem(target);
    }

    // Popups are not items; they hang off the item that declares them.
    QObject *findPopup(const QString &name) const
    {
        QList<QQuickItem *> items{window()->contentItem()};
        while (!items.isEmpty()) {
            QQuickItem *at = items.takeFirst();
            for (QObject *child : at->children()) {
                if (child->objectName() == name && child->property("opened").isValid())
                    return child;
            }
            items += at->childItems();
        }
        return nullptr;
    }

    // Waits until the popup `name` has come to rest on the screen, or is off it, its closing
    // animation included (until then a modal one still takes every click).
    void waitForPopup(const QString &name, bool open)
    {
        QObject *popup = findPopup(name);
        QVERIFY(popup);
        auto *content = popup->property("contentItem").value<QQuickItem *>();
        QVERIFY(content && content->parentItem());
        QTRY_VERIFY_WITH_TIMEOUT(
            open ? popup->property("opened").toBool() : !content->parentItem()->isVisible(), kWait);
    }

    void type(const QString &field, const QString &text)
    {
        STEP(click(field));
        QTRY_VERIFY(item(field)->hasActiveFocus());
        for (const QChar c : text)
            QTest::keyClick(window(), c.toLatin1());
        QCOMPARE(item(field)->property("text").toString(), text);
    }

    // Chinese comes from an input method: its committed text, then Return in the editor.
    void ask(const QString &question)
    {
        STEP(click(QStringLiteral("messageEditor")));
        QQuickItem *editor = item(QStringLiteral("messageEditor"));
        QTRY_VERIFY(editor->hasActiveFocus());
        QInputMethodEvent commit;
        commit.setCommitString(question);
        QCoreApplication::sendEvent(editor, &commit);
        QTRY_COMPARE(chat()->messageText(), question);
        QTest::keyClick(window(), Qt::Key_Return);
        QTRY_COMPARE(chat()->messageText(), QString());
    }

    void chooseModel(const QString &model)
    {
        STEP(click(QStringLiteral("modelButton")));
        QTRY_VERIFY(chat()->showDropdown());
        STEP(waitForPopup(QStringLiteral("modelPopover"), true));
        STEP(click(QStringLiteral("modelRow_") + model));
        QTRY_COMPARE(chat()->selectedModel(), model);
        QTRY_VERIFY(!chat()->showDropdown());
    }

    // The rows that show the open conversation, in its order. Rows are pooled for reuse, so a
    // row counts only while it stands for the message at its index.
    QList<QQuickItem *> rows() const
    {
        QQuickItem *list = item(QStringLiteral("messageList"));
        if (!list || !list->isVisible())
            return {};
        const MessageList &messages = chat()->messageList();
        QList<QQuickItem *> found(messages.size(), nullptr);
        auto *content = list->property("contentItem").value<QQuickItem *>();
        for (QQuickItem *row : content->childItems()) {
            const int index = row->property("index").toInt();
            if (row->property("messageId").isValid() && index >= 0 && index < messages.size() &&
                row->property("messageId").toString() == Message::idText(messages.at(index).id))
                found[index] = row;
        }
        if (found.contains(nullptr))
            return {};
        return found;
    }

    QJsonObject accountInfo(const QString &userid)
    {
        HttpClient http;
        std::optional<HttpResult> result;
        http.get(QUrl(m_origin + QStringLiteral("/api/macos_account_info?userid=") + userid), this,
                 [&](const HttpResult &r) { result = r; });
        if (!QTest::qWaitFor([&] { return result.has_value(); }, kWait))
            return {};
        return QJsonDocument::fromJson(result->body).object();
    }

    void start()
    {
        m_app = std::make_unique<QuonixApp>(SettingsStore::defaultPath(), &m_statusBar);
        QVERIFY(m_app->launch());
        QVERIFY(QTest::qWaitForWindowExposed(window()));
    }

private slots:
    void initTestCase()
    {
        // Files of this run stay in the temporary home.
        QVERIFY(SettingsStore::defaultPath().startsWith(g_home->path()));
        QVERIFY(QDir().mkpath(g_home->filePath(QStringLiteral("server"))));
        m_origin = m_server.start(g_home->filePath(QStringLiteral("server")));
        QVERIFY2(!m_origin.isEmpty(), m_server.output().constData());
        ServiceOrigin::setCurrent(m_origin);

        FontSetup::install();
        QQuickStyle::setStyle(QStringLiteral("Fusion"));
        start();
    }

    void cleanupTestCase()
    {
        m_app.reset();
        m_server.stop();
    }

    void signInThroughTheSheet()
    {
        QTRY_COMPARE(contentName(), QStringLiteral("loginView"));
        STEP(click(QStringLiteral("phoneLoginButton")));
        // The whole sheet fits: its button and its message line are never cut off.
        QTRY_COMPARE(window()->size(), QSize(500, 400));
        STEP(type(QStringLiteral("phoneField"), kPhone));
        STEP(click(QStringLiteral("sendCodeButton")));
        const QString code = m_server.codeFor("+86" + kPhone);
        QVERIFY2(!code.isEmpty(), m_server.output().constData());
        STEP(type(QStringLiteral("codeField"), code));
        STEP(click(QStringLiteral("agreeCheckBox")));
        STEP(click(QStringLiteral("loginButton")));

        QTRY_COMPARE_WITH_TIMEOUT(contentName(), QStringLiteral("contentView"), kWait);
        QVERIFY(m_app->settings()->getBool(QStringLiteral("isLoggedIn"), false));
        QCOMPARE(m_app->settings()->getString(QStringLiteral("phone")), "+86" + kPhone);
    }

    void chatAnswerIsShown()
    {
        QVERIFY(chat());
        window()->resize(1000, 760);
        QTRY_COMPARE(window()->contentItem()->size(), QSizeF(1000, 760));
        LogCapture log;
        STEP(chooseModel(QStringLiteral("gpt-4o")));
        const QString question = QStringLiteral("什么是 RAII？");
        STEP(ask(question));

        // The question, then the answer in place of the loading dots.
        QList<QQuickItem *> shown;
        QTRY_VERIFY_WITH_TIMEOUT(chat()->pendingSends() == 0 && (shown = rows()).size() == 2 &&
                                     !shown.last()->property("isLoading").toBool() &&
                                     !shown.last()->property("content").toString().isEmpty(),
                                 kWait);
        QCOMPARE(shown.first()->property("content").toString(), question);
        QVERIFY(shown.first()->property("isUserMessage").toBool());
        m_answer = shown.last()->property("content").toString();
        QVERIFY2(m_answer.contains(question) && m_answer.contains(QStringLiteral("gpt-4o")),
                 qPrintable(m_answer));

        // The question and the answer are both charged before the program goes.
        QTRY_COMPARE_WITH_TIMEOUT(log.count(QStringLiteral("扣减配额成功")), 2, kWait);
    }

    void pictureIsShownAndStored()
    {
        LogCapture log;
        STEP(click(QStringLiteral("newConversationButton")));
        QTRY_COMPARE(rows().size(), 0);
        STEP(chooseModel(QStringLiteral("dall-e-3")));
        STEP(ask(QStringLiteral("画一只在月光下的猫")));

        QQuickItem *picture = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT(
            (picture = item(QStringLiteral("picture"))) && picture->isVisible(), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(picture->property("status").toInt(), 2 /* Ready */, kWait);
        QVERIFY(picture->width() > 0 && picture->height() > 0);
        const QFileInfo file(picture->property("path").toString());
        QVERIFY2(file.isFile() && file.size() > 0, qPrintable(file.filePath()));
        QCOMPARE(file.absolutePath(), g_home->filePath(QStringLiteral("Documents")));
        QCOMPARE(rows().size(), 2);
        QCOMPARE(rows().last()->property("imagePath").toString(), file.filePath());
        QTRY_COMPARE_WITH_TIMEOUT(log.count(QStringLiteral("扣减配额成功")), 1, kWait);
    }

    void restartFindsBothConversations()
    {
        m_app.reset();
        STEP(start());
        QTRY_COMPARE(contentName(), QStringLiteral("contentView"));
        window()->resize(1000, 760);
        QTRY_COMPARE(window()->contentItem()->size(), QSizeF(1000, 760));

        STEP(click(QStringLiteral("historyButton")));
        QTRY_VERIFY(chat()->showHistory());
        STEP(waitForPopup(QStringLiteral("historySheet"), true));
        QQuickItem *list = nullptr;
        QTRY_VERIFY((list = item(QStringLiteral("historyList"))) && list->isVisible());
        QStringList titles;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                titles.clear();
                auto *content = list->property("contentItem").value<QQuickItem *>();
                for (QQuickItem *row : content->childItems()) {
                    if (row->property("title").isValid())
                        titles.append(row->property("title").toString());
                }
                return titles.size() == 2;
            }(),
            kWait);
        QCOMPARE(QSet<QString>(titles.cbegin(), titles.cend()),
                 (QSet<QString>{m_answer, QStringLiteral("【图片】")}));
        STEP(click(QStringLiteral("closeHistoryButton")));
        QTRY_VERIFY(!chat()->showHistory());
        STEP(waitForPopup(QStringLiteral("historySheet"), false));
    }

    void accountCardShowsTheServersBalanceAndSignsOut()
    {
        const QString userid =
            m_app->settings()->getString(QStringLiteral("userid")).value_or(QString());
        QVERIFY(!userid.isEmpty());
        const QJsonObject info = accountInfo(userid);
        // The charges of both answers came off the starting balance.
        const double left = info.value(QStringLiteral("chat_quota")).toDouble(500);
        QVERIFY2(left < 500, qPrintable(QJsonDocument(info).toJson()));
        const QString balance = QString::asprintf("%.2f", left);

        STEP(click(QStringLiteral("accountButton")));
        QTRY_VERIFY(chat()->showCard());
        STEP(waitForPopup(QStringLiteral("accountCard"), true));
        QQuickItem *row = nullptr;
        QTRY_VERIFY((row = item(QStringLiteral("chatQuotaRow"))) && row->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(
            findItem(row, QStringLiteral("value"))->property("text").toString(), balance, kWait);
        QCOMPARE(item(QStringLiteral("phone"))->property("text").toString(),
                 info.value(QStringLiteral("phone")).toString());

        // Signing out on the card returns to the gate.
        STEP(click(QStringLiteral("signOutButton")));
        QTRY_COMPARE_WITH_TIMEOUT(contentName(), QStringLiteral("loginView"), kWait);
        QVERIFY(!m_app->settings()->getBool(QStringLiteral("isLoggedIn"), true));
    }
};

int main(int argc, char *argv[])
{
    // A home of its own, before Qt reads where the configuration and Documents folders are.
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    g_home = &home;
    qputenv("HOME", QFile::encodeName(home.path()));
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        qunsetenv(name);
    qunsetenv("XDG_CONFIG_DIRS");
    qputenv("QT_QUICK_BACKEND", "software");

    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Talvoro"));
    QApplication::setApplicationName(QStringLiteral("Talvoro"));
    QApplication::setQuitOnLastWindowClosed(false);
    TestEndToEnd test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_endtoend.moc"
