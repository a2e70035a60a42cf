// One smoke flow through the whole program and a real talvoro-server, driven through its views
// the way a user does: sign in, ask a chat model, ask the image model, quit, start again and
// find both conversations, read the balance on the account card, sign out. The rules behind
// each step are tested in the client's and the server's own tests.

#include "appgraph.h"
#include "serverprocess.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QtQml/QQmlExtensionPlugin>

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
    FakeStatusBar m_statusBar;
    std::unique_ptr<QuonixApp> m_app;

    QQuickWindow *window() const { return m_app->delegate()->mainWindow(); }
    QQuickItem *item(const QString &name) const { return findItem(window()->contentItem(), name); }
    ChatController *chat() const { return chatOf(window()); }
    // The window shows the sign-in gate, or else the chat.
    bool gate() const { return item(QStringLiteral("loginView")) && !chat(); }

    // Waits until the item is on screen and clicks its middle.
    void click(const QString &name)
    {
        QQuickItem *target = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT(
            (target = item(name)) && target->isVisible() && target->isEnabled(), kWait);
        clickItem(target);
    }

    void type(const QString &field, const QString &text)
    {
        STEP(click(field));
        QTRY_VERIFY(item(field)->hasActiveFocus());
        for (const QChar c : text)
            QTest::keyClick(window(), c.toLatin1());
    }

    // Waits until the popup `name` has come to rest on the screen, or is off it, its closing
    // animation included (until then a modal one still takes every click).
    void waitForPopup(const char *name, bool open)
    {
        QObject *popup = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((popup = window()->findChild<QObject *>(name)) &&
                                     popup->property(open ? "opened" : "visible").toBool() == open,
                                 kWait);
    }

    void ask(const QString &model, const QString &question)
    {
        STEP(click(QStringLiteral("modelButton")));
        STEP(waitForPopup("modelPopover", true));
        STEP(click(QStringLiteral("modelRow_") + model));
        STEP(waitForPopup("modelPopover", false));
        STEP(type(QStringLiteral("messageEditor"), question));
        QTest::keyClick(window(), Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(chat()->pendingSends() == 0 && !chat()->isGenerating() &&
                                     chat()->messageList().size() == 2,
                                 kWait);
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
        const QString origin = m_server.start(g_home->filePath(QStringLiteral("server")));
        QVERIFY2(!origin.isEmpty(), m_server.output().constData());
        ServiceOrigin::setCurrent(origin);
        FontSetup::install();
        QQuickStyle::setStyle(QStringLiteral("Fusion"));
        start();
    }

    void cleanupTestCase()
    {
        m_app.reset();
        m_server.stop();
    }

    void signIn()
    {
        QTRY_VERIFY(gate());
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
        QTRY_VERIFY_WITH_TIMEOUT(chat() && !item(QStringLiteral("loginView")), kWait);
        window()->resize(1000, 760);
        QTRY_COMPARE(window()->contentItem()->size(), QSizeF(1000, 760));
    }

    void chatAnswer()
    {
        const QString question = QStringLiteral("What is RAII?");
        STEP(ask(QStringLiteral("gpt-4o"), question));
        const QString answer = chat()->messageList().last().content;
        QVERIFY2(answer.contains(question) && answer.contains(QStringLiteral("gpt-4o")),
                 qPrintable(answer));
    }

    void picture()
    {
        STEP(click(QStringLiteral("newConversationButton")));
        QTRY_VERIFY(chat()->messageList().isEmpty());
        STEP(ask(QStringLiteral("dall-e-3"), QStringLiteral("a cat in the moonlight")));
        QQuickItem *picture = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT(
            (picture = item(QStringLiteral("picture"))) && picture->isVisible() &&
                picture->property("status").toInt() == 2 /* Ready */ && picture->width() > 0,
            kWait);
        const QFileInfo file(picture->property("path").toString());
        QVERIFY2(file.size() > 0, qPrintable(file.filePath()));
        QCOMPARE(file.absolutePath(), g_home->filePath(QStringLiteral("Documents")));
    }

    void restartKeepsBothConversations()
    {
        m_app.reset();
        STEP(start());
        QTRY_VERIFY(chat());
        QCOMPARE(m_app->conversations()->conversations().size(), 2);
    }

    void accountCardShowsTheChargedBalanceAndSignsOut()
    {
        STEP(click(QStringLiteral("accountButton")));
        STEP(waitForPopup("accountCard", true));
        QQuickItem *row = nullptr;
        // Both answers were charged to the account on the server.
        QTRY_VERIFY_WITH_TIMEOUT((row = item(QStringLiteral("chatQuotaRow"))) &&
                                     row->property("value").toDouble() > 0 &&
                                     row->property("value").toDouble() < 500,
                                 kWait);
        STEP(click(QStringLiteral("signOutButton")));
        QTRY_VERIFY_WITH_TIMEOUT(gate(), kWait);
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
    for (const char *name :
         {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_DIRS"})
        qunsetenv(name);
    qputenv("QT_QUICK_BACKEND", "software");

    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Talvoro"));
    QApplication::setApplicationName(QStringLiteral("Talvoro"));
    QApplication::setQuitOnLastWindowClosed(false);
    TestEndToEnd test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_endtoend.moc"
