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
#include <QtQuickTest/quicktest.h>

using namespace Qt::StringLiterals;

Q_IMPORT_QML_PLUGIN(TalvoroPlugin)

namespace {

constexpr int kWait = 60000;
const QString kPhone = u"13800138000"_s;

// The home folder of the user the test plays; set up before anything asks where files go.
QTemporaryDir *g_home = nullptr;

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT

    ServerProcess m_server;
    FakeStatusBar m_statusBar;
    std::unique_ptr<QuonixApp> m_app;

    QQuickWindow *window() const { return m_app->delegate()->mainWindow(); }
    QQuickItem *item(const QString &name) const { return findItem(window()->contentItem(), name); }
    ChatController *chat() const { return chatOf(window()); }
    // The window shows the sign-in gate, or else the chat.
    bool gate() const { return item(u"loginView"_s) && !chat(); }

    // Each step waits (for an item on screen, focus, a popup at rest) and says whether it came.
    bool click(const QString &name)
    {
        QQuickItem *target = nullptr;
        const bool shown = QTest::qWaitFor(
            [&] {
                return (target = item(name)) && target->isVisible() && target->isEnabled() &&
                       !QQuickTest::qIsPolishScheduled(window()); // laid out where it shows
            },
            kWait);
        if (shown)
            clickItem(target);
        return shown;
    }

    bool type(const QString &field, const QString &text)
    {
        if (!click(field) || !QTest::qWaitFor([&] { return item(field)->hasActiveFocus(); }))
            return false;
        for (const QChar c : text)
            QTest::keyClick(window(), c.toLatin1());
        return true;
    }

    // The popup `name` has come to rest on the screen, or is off it, its closing animation
    // included (until then a modal one still takes every click).
    bool popup(const char *name, bool open)
    {
        QObject *p = nullptr;
        return QTest::qWaitFor(
            [&] {
                return (p = window()->findChild<QObject *>(name)) &&
                       p->property(open ? "opened" : "visible").toBool() == open;
            },
            kWait);
    }

    bool ask(const QString &model, const QString &question)
    {
        if (!click(u"modelButton"_s) || !popup("modelPopover", true) ||
            !click(u"modelRow_"_s + model) || !popup("modelPopover", false) ||
            chat()->selectedModel() != model || !type(u"messageEditor"_s, question))
            return false;
        QTest::keyClick(window(), Qt::Key_Return);
        return QTest::qWaitFor(
            [&] {
                return chat()->pendingSends() == 0 && !chat()->isGenerating() &&
                       chat()->messageList().size() == 2;
            },
            kWait);
    }

    bool start()
    {
        m_app = std::make_unique<QuonixApp>(SettingsStore::defaultPath(), &m_statusBar);
        return m_app->launch() && QTest::qWaitForWindowExposed(window());
    }

private slots:
    void initTestCase()
    {
        // Files of this run stay in the temporary home.
        QVERIFY(SettingsStore::defaultPath().startsWith(g_home->path()));
        QVERIFY(QDir().mkpath(g_home->filePath(u"server"_s)));
        const QString origin = m_server.start(g_home->filePath(u"server"_s));
        QVERIFY2(!origin.isEmpty(), m_server.output().constData());
        ServiceOrigin::setCurrent(origin);
        FontSetup::install();
        QQuickStyle::setStyle(u"Fusion"_s);
        QVERIFY(start());
    }

    void cleanupTestCase()
    {
        m_app.reset();
        m_server.stop();
    }

    void signIn()
    {
        QTRY_VERIFY(gate());
        QVERIFY(click(u"phoneLoginButton"_s));
        // The whole sheet fits: its button and its message line are never cut off.
        QTRY_COMPARE(window()->size(), QSize(500, 400));
        QVERIFY(type(u"phoneField"_s, kPhone));
        QVERIFY(click(u"sendCodeButton"_s));
        const QString code = m_server.codeFor("+86" + kPhone);
        QVERIFY2(!code.isEmpty(), m_server.output().constData());
        QVERIFY(type(u"codeField"_s, code));
        QVERIFY(click(u"agreeCheckBox"_s));
        QVERIFY(click(u"loginButton"_s));
        QTRY_VERIFY_WITH_TIMEOUT(chat() && !item(u"loginView"_s), kWait);
        window()->resize(1000, 760);
        QTRY_COMPARE(window()->contentItem()->size(), QSizeF(1000, 760));
    }

    void chatAnswer()
    {
        const QString question = u"What is RAII?"_s;
        QVERIFY(ask(u"gpt-4o"_s, question));
        const QString answer = chat()->messageList().last().content;
        QVERIFY2(answer.contains(question) && answer.contains(u"gpt-4o"_s), qPrintable(answer));
    }

    void picture()
    {
        QVERIFY(click(u"newConversationButton"_s));
        QTRY_VERIFY(chat()->messageList().isEmpty());
        QVERIFY(ask(u"dall-e-3"_s, u"a cat in the moonlight"_s));
        QQuickItem *picture = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((picture = item(u"picture"_s)) && picture->isVisible() &&
                                     picture->property("status").toInt() == 2 /* Ready */ &&
                                     picture->width() > 0,
                                 kWait);
        const QFileInfo file(picture->property("path").toString());
        QVERIFY2(file.size() > 0, qPrintable(file.filePath()));
        QCOMPARE(file.absolutePath(), g_home->filePath(u"Documents"_s));
    }

    void restartKeepsBothConversations()
    {
        m_app.reset();
        QVERIFY(start());
        QTRY_VERIFY(chat());
        QCOMPARE(m_app->conversations()->conversationCount(), 2);
    }

    void accountCardShowsTheChargedBalanceAndSignsOut()
    {
        QVERIFY(click(u"accountButton"_s));
        QVERIFY(popup("accountCard", true));
        QQuickItem *row = nullptr;
        // Both answers were charged to the account on the server.
        QTRY_VERIFY_WITH_TIMEOUT((row = item(u"chatQuotaRow"_s)) &&
                                     row->property("value").toDouble() > 0 &&
                                     row->property("value").toDouble() < 500,
                                 kWait);
        QVERIFY(click(u"signOutButton"_s));
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
    QApplication::setOrganizationName(u"Talvoro"_s);
    QApplication::setApplicationName(u"Talvoro"_s);
    QApplication::setQuitOnLastWindowClosed(false);
    TestEndToEnd test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_endtoend.moc"
