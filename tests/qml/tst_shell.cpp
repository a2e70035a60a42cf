// The desktop shell: the window's content and limits follow the sign-in setting, the status
// item and popover, re-opening, and one running copy per user.

#include "app/singleinstance.h"
#include "appgraph.h"
#include "chat/chatcontroller.h"
#include "chat/codehighlighter.h"
#include "chat/scriptworker.h"

#include <QApplication>
#include <QJSValue>
#include <QPalette>
#include <QQmlComponent>
#include <QQmlEngine>

#include <QSignalSpy>
#include <QUuid>
#include <QtQml/QQmlExtensionPlugin>
#include <cmath>
#include <memory>

Q_IMPORT_QML_PLUGIN(TalvoroPlugin)

using namespace Qt::StringLiterals;

namespace {

double luminance(const QColor &c)
{
    const auto channel = [](double v) {
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

double contrast(const QColor &a, const QColor &b)
{
    const double x = luminance(a), y = luminance(b);
    return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
}

} // namespace

class TestShell : public QObject {
    Q_OBJECT

    static QString contentName(MainWindow &open)
    {
        auto *item = open.item(u"windowContent"_s)->property("item").value<QQuickItem *>();
        return item ? item->objectName() : QString();
    }

private slots:
    void initTestCase()
    {
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
        QGuiApplication::setQuitOnLastWindowClosed(false);
    }

    void contentFollowsSignIn_data()
    {
        QTest::addColumn<bool>("atLaunch");
        QTest::addColumn<bool>("afterwards");
        QTest::addColumn<bool>("sheetOpen"); // the sign-in sheet open over the gate
        QTest::newRow("signing in") << false << true << false;
        QTest::newRow("signing in from the sheet") << false << true << true;
        QTest::newRow("signing out") << true << false << false;
        QTest::newRow("signed in throughout") << true << true << false;
    }

    void contentFollowsSignIn()
    {
        QFETCH(bool, atLaunch);
        QFETCH(bool, afterwards);
        QFETCH(bool, sheetOpen);
        MainWindow open;
        QVERIFY(open.start(atLaunch, {}));
        AppGraph &app = open.app;
        QQuickWindow *window = open.window;

        for (bool signedIn : {atLaunch, afterwards}) {
            app.settings->set(u"isLoggedIn"_s, signedIn);
            QTRY_COMPARE(contentName(open), signedIn ? u"contentView"_s : u"loginView"_s);
            // However often the content appears, there is one status item while signed in.
            for (int i = 0; i < 3; ++i)
                app.delegate->contentAppeared();
            QCOMPARE(app.statusBar.live, signedIn ? 1 : 0);
            QCOMPARE(app.delegate->hasStatusItem(), signedIn);
            QCOMPARE(bool(window->flags() & Qt::WindowMaximizeButtonHint), signedIn);
            if (signedIn) {
                QCOMPARE(window->maximumSize(), QSize(1600, 1200));
            } else {
                QCOMPARE(window->minimumSize(), QSize(400, 300));
                QCOMPARE(window->maximumSize(), QSize(400, 300));
                QCOMPARE(window->size(), QSize(400, 300));
                app.delegate->setSignInSheetShown(sheetOpen);
            }
        }
        QVERIFY(!app.statusBar.lastIconNull || !afterwards);
        // The JavaScript for code and math waits for the first answer that has some.
        QVERIFY(!ScriptWorker::started());
        if (atLaunch || !afterwards)
            return;
        // A first sign-in opens the chat as a signed-in start does, and keeps only the gate's
        // minimum, so the compact size is the same as after a restart.
        QCOMPARE(window->minimumSize(), QSize(400, 300));
        const QRect room = window->screen()->availableGeometry();
        QCOMPARE(window->size(), QSize(1000, 800).boundedTo(room.size()));
        // Centred, give or take the frame the platform draws around it.
        QVERIFY((window->geometry().center() - room.center()).manhattanLength() <= 8);
        app.delegate->toggleCompact();
        QCOMPARE(window->size(), QSize(450, 500));
    }

    // A click on the status item shows the popover (the main window goes down) or hides it. Its
    // chat is a view of its own, and reads the welcome flag each time it opens; pressed there,
    // pin and compact act on the main window, and every chat view shows the main window's state.
    void statusItemTogglesAPopoverWithItsOwnChat()
    {
        MainWindow open;
        QVERIFY(open.start(true, {900, 700}));
        AppGraph &app = open.app;
        QQuickWindow *main = open.window, *popover = app.delegate->popover();
        auto *item = static_cast<FakeStatusBar::Item *>(app.delegate->statusItem());
        QVERIFY(item);

        item->click();
        QVERIFY(main->windowStates() & Qt::WindowMinimized);
        QTRY_VERIFY(popover->isVisible());
        QCOMPARE(popover->size(), QSize(400, 600));
        ChatController *big = chatOf(main), *small = nullptr;
        QTRY_VERIFY((small = chatOf(popover, u"popoverContent"_s)));
        QVERIFY(big && big != small);
        QVERIFY(small->showWelcomeView());
        big->setMessageText(u"只在主窗口"_s);
        QCOMPARE(small->messageText(), QString());
        QVERIFY(big->currentConversationID() != small->currentConversationID());
        big->selectConversation(open.store({Message(u"问"_s, true), Message(u"答"_s, false)}));
        QCOMPARE(small->messages()->count(), 0);
        big->setShowHistory(true);
        QVERIFY(!small->showHistory());

        item->click();
        QTRY_VERIFY(!popover->isVisible());
        QVERIFY(main->windowStates() & Qt::WindowMinimized);
        app.settings->set(u"hasSeenWelcome"_s, true);
        item->click();
        QTRY_VERIFY(popover->isVisible());
        QTRY_VERIFY(!small->showWelcomeView());

        QQuickItem *smallView = findItem(popover->contentItem(), u"popoverContent"_s);
        QQuickItem *bigView = open.item(u"contentView"_s);
        const Qt::WindowFlags popoverFlags = popover->flags();
        QVERIFY(QMetaObject::invokeMethod(smallView, "togglePin"));
        QVERIFY(main->flags() & Qt::WindowStaysOnTopHint);
        QCOMPARE(popover->flags(), popoverFlags);
        QVERIFY(QMetaObject::invokeMethod(smallView, "toggleCompact"));
        // Opening the popover minimised the main window; it comes back at the compact size.
        main->showNormal();
        QTRY_COMPARE(main->size(), QSize(450, 500));
        QCOMPARE(popover->size(), QSize(400, 600));
        for (QQuickItem *view : {smallView, bigView}) {
            QVERIFY(view->property("isWindowAlwaysOnTop").toBool());
            QVERIFY(view->property("isMinimized").toBool());
        }
        // Back from the main window's own toggles.
        QVERIFY(QMetaObject::invokeMethod(bigView, "togglePin"));
        QVERIFY(QMetaObject::invokeMethod(bigView, "toggleCompact"));
        QVERIFY(!(main->flags() & Qt::WindowStaysOnTopHint));
        QCOMPARE(main->size(), QSize(900, 700));
        QVERIFY(!smallView->property("isWindowAlwaysOnTop").toBool());
        QVERIFY(!smallView->property("isMinimized").toBool());

        // Signing out takes the item away, and the popover with it.
        app.settings->set(u"isLoggedIn"_s, false);
        QTRY_VERIFY(!popover->isVisible());
        QCOMPARE(app.statusBar.live, 0);
    }

    // Without a status area the window still works: no item, no popover, and reopening (as the
    // dock does) brings the closed or minimised window back.
    void withoutStatusAreaTheWindowStillWorks()
    {
        MainWindow open;
        open.app.statusBar.available = false;
        QVERIFY(open.start(true, {}));
        AppDelegate *delegate = open.app.delegate;
        QTRY_COMPARE(contentName(open), u"contentView"_s);
        QVERIFY(!delegate->hasStatusItem());
        delegate->togglePopover();
        QVERIFY(!delegate->popover()->isVisible());
        QCOMPARE(open.window->maximumSize(), QSize(1600, 1200));
        open.window->close();
        QVERIFY(!open.window->isVisible());
        QVERIFY(delegate->applicationShouldHandleReopen());
        QVERIFY(open.window->isVisible());
        open.window->showMinimized();
        QVERIFY(delegate->applicationShouldHandleReopen());
        QVERIFY(!(open.window->windowStates() & Qt::WindowMinimized));
    }

    void secondLaunchHandsOver()
    {
        const QString name = u"talvoro-test-"_s + QUuid::createUuid().toString(QUuid::Id128);
        SingleInstance first(name);
        QVERIFY(!first.handOver()); // nobody is running yet
        QVERIFY(first.listen());
        QSignalSpy activated(&first, &SingleInstance::activationRequested);

        SingleInstance second(name);
        QVERIFY(second.handOver());
        QTRY_COMPARE(activated.count(), 1);
    }

    void coloursFollowTheDesktop_data()
    {
        QTest::addColumn<bool>("dark");
        QTest::newRow("light desktop") << false;
        QTest::newRow("dark desktop") << true;
    }

    // The views take the light or the dark colour set from the desktop's palette, follow it when
    // it changes, and every text colour stays readable (4.5:1) on the backgrounds it is drawn on.
    void coloursFollowTheDesktop()
    {
        QFETCH(bool, dark);
        const QPalette before = QGuiApplication::palette();
        QGuiApplication::setPalette(desktopPalette(!dark));
        QQmlEngine engine;
        engine.addImportPath(u"qrc:/qt/qml"_s);
        QQmlComponent component(&engine);
        component.setData(
            "import QtQuick\nimport Talvoro\nQtObject { property QtObject style: Style }", QUrl());
        std::unique_ptr<QObject> holder(component.create());
        QVERIFY2(holder, qPrintable(component.errorString()));
        QObject *style = holder->property("style").value<QObject *>();
        QVERIFY(style);
        QCOMPARE(style->property("dark").toBool(), !dark);
        QGuiApplication::setPalette(desktopPalette(dark));
        QTRY_COMPARE(style->property("dark").toBool(), dark);

        const auto readable = [&](const char *text, QList<const char *> backgrounds) {
            for (const char *back : backgrounds) {
                const double ratio = contrast(style->property(text).value<QColor>(),
                                              style->property(back).value<QColor>());
                QVERIFY2(ratio >= 4.5, qPrintable(u"%1 on %2: %3"_s.arg(text, back).arg(ratio)));
            }
        };
        for (const char *text : {"text", "secondaryText", "link", "danger", "accentText"})
            readable(text, {"window", "surface", "sheet"});
        readable("textOnAccent", {"accent"});
        readable("textOnBubble", {"bubble"});
        readable("textOnCode", {"code"});
        readable("codeLabel", {"code"});
        // Code coloured by its language: one colour per role the highlighter knows.
        QCOMPARE(style->property("codeColours").value<QJSValue>().property("length").toInt(),
                 int(CodeHighlighter::RoleCount));
        for (const char *role :
             {"codeKeyword", "codeString", "codeComment", "codeNumber", "codeFunction", "codeType",
              "codeAttribute", "codeMeta", "codeAddition", "codeDeletion"})
            readable(role, {"code"});
        QGuiApplication::setPalette(before);
    }
};

QTEST_MAIN(TestShell)
#include "tst_shell.moc"
