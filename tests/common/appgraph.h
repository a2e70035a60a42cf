#pragma once

#include "app/appdelegate.h"
#include "app/fontsetup.h"
#include "app/quonixapp.h"
#include "chat/chatcontroller.h"
#include "conversation/conversationstore.h"
#include "core/serviceorigin.h"
#include "core/settingsstore.h"

#include <QPalette>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickStyle>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

// The first item named `name` under `root`, searching the visual tree (a Loader's item is
// not a QObject child of the window's content).
inline QQuickItem *findItem(QQuickItem *root, const QString &name)
{
    if (!root || root->objectName() == name)
        return root;
    for (QQuickItem *child : root->childItems()) {
        if (QQuickItem *found = findItem(child, name))
            return found;
    }
    return nullptr;
}

// Every item under `root` (itself included) that `match` accepts, in tree order.
inline QList<QQuickItem *> findAll(QQuickItem *root, const std::function<bool(QQuickItem *)> &match)
{
    QList<QQuickItem *> found;
    if (root && match(root))
        found.append(root);
    for (QQuickItem *child : root ? root->childItems() : QList<QQuickItem *>{})
        found += findAll(child, match);
    return found;
}

// The visible text items under `root`, in tree order.
inline QList<QQuickItem *> visibleTexts(QQuickItem *root)
{
    return findAll(root, [](QQuickItem *item) {
        return item->inherits("QQuickTextEdit") && item->isVisible();
    });
}

// The controller of the chat view named `viewName` in `window` (the main window's is
// "contentView", the popover's "popoverContent"); null while no such view is shown.
inline ChatController *chatOf(QQuickWindow *window,
                              const QString &viewName = QStringLiteral("contentView"))
{
    QQuickItem *view = window ? findItem(window->contentItem(), viewName) : nullptr;
    return view ? view->property("chat").value<ChatController *>() : nullptr;
}

// Clicks the middle of `item` with the left button.
inline void clickItem(QQuickItem *item, Qt::MouseButton button = Qt::LeftButton)
{
    QVERIFY(item);
    const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
    QTest::mouseMove(item->window(), centre.toPoint());
    QTest::mouseClick(item->window(), button, Qt::NoModifier, centre.toPoint());
}

// Has `engine` load `qml`, a Window of the module's types, and waits until it shows.
inline QQuickWindow *showWindow(QQmlApplicationEngine &engine, const QByteArray &qml)
{
    FontSetup::install();
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
    engine.loadData("import QtQuick\nimport QtQuick.Window\nimport Talvoro\n" + qml);
    const auto roots = engine.rootObjects();
    auto *window = roots.isEmpty() ? nullptr : qobject_cast<QQuickWindow *>(roots.first());
    return window && QTest::qWaitForWindowExposed(window) ? window : nullptr;
}

// A desktop's palette as its light or dark theme sets it.
inline QPalette desktopPalette(bool dark)
{
    QPalette palette;
    const QColor text = dark ? QColor(0xEE, 0xEE, 0xF0) : QColor(Qt::black);
    for (const auto role :
         {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::ToolTipText})
        palette.setColor(role, text);
    palette.setColor(QPalette::Window, dark ? QColor(0x24, 0x24, 0x26) : QColor(0xEF, 0xEF, 0xEF));
    if (dark) {
        palette.setColor(QPalette::AlternateBase, QColor(0x24, 0x24, 0x26));
        palette.setColor(QPalette::Base, QColor(0x1C, 0x1C, 0x1E));
        palette.setColor(QPalette::Button, QColor(0x3A, 0x3A, 0x3C));
        palette.setColor(QPalette::ToolTipBase, QColor(0x3A, 0x3A, 0x3C));
        palette.setColor(QPalette::Highlight, QColor(0x0A, 0x64, 0xD6));
        palette.setColor(QPalette::HighlightedText, Qt::white);
        palette.setColor(QPalette::PlaceholderText, QColor(0x8E, 0x8E, 0x93));
    }
    return palette;
}

// A status area that records what the shell does with it.
class FakeStatusBar : public StatusBar {
public:
    class Item : public StatusItem {
    public:
        explicit Item(FakeStatusBar *bar) : m_bar(bar) { ++m_bar->live; }
        ~Item() override { --m_bar->live; }
        QRect geometry() const override { return m_bar->geometry; }
        void click() { emit clicked(); }

    private:
        FakeStatusBar *m_bar;
    };

    std::unique_ptr<StatusItem> addItem(const QIcon &image) override
    {
        lastIconNull = image.isNull();
        return std::unique_ptr<StatusItem>(available ? new Item(this) : nullptr);
    }

    bool available = true;
    int live = 0;
    bool lastIconNull = true;
    QRect geometry;
};

// The program's object graph for view tests, screenshots and benchmarks, with a fake status
// area and its settings and pictures in a folder of its own (a temporary one unless given).
class AppGraph {
public:
    explicit AppGraph(const QString &folder = {})
    {
        FontSetup::install();
        // Nothing listens on port 1: a send fails at once and never leaves this machine.
        ServiceOrigin::setCurrent(QStringLiteral("http://127.0.0.1:1"));
        if (QQuickStyle::name().isEmpty())
            QQuickStyle::setStyle(QStringLiteral("Fusion"));
        const QString base = folder.isEmpty() ? m_dir.path() : folder;
        m_app = std::make_unique<QuonixApp>(base + QStringLiteral("/settings.sqlite"), &statusBar,
                                            base);
        settings = m_app->settings();
        conversations = m_app->conversations();
        delegate = m_app->delegate();
    }

    // Loads the main window as the program does; false when QML failed to load.
    bool launch() { return m_app->launch() && delegate->popover(); }

    QString folder() const { return m_dir.path(); }

    QTemporaryDir m_dir;
    FakeStatusBar statusBar;
    SettingsStore *settings = nullptr;
    ConversationStore *conversations = nullptr;
    AppDelegate *delegate = nullptr;

private:
    // Last, so it goes before the folder and the status area it uses.
    std::unique_ptr<QuonixApp> m_app;
};

// `message`, as sent or received at `timestamp`.
inline Message at(Message message, double timestamp)
{
    message.timestamp = timestamp;
    return message;
}

// The main window of a fresh program, signed in unless told otherwise, and its chat view.
struct MainWindow {
    AppGraph app;
    QQuickWindow *window = nullptr;
    ChatController *chat = nullptr;

    explicit MainWindow(const QString &folder = {}) : app(folder) {}
    bool start(bool signedIn = true, QSize size = {1000, 720})
    {
        app.settings->set(QStringLiteral("isLoggedIn"), signedIn);
        if (!app.launch())
            return false;
        window = app.delegate->mainWindow();
        if (size.isValid())
            window->resize(size);
        chat = chatOf(window);
        return (chat || !signedIn) && QTest::qWaitForWindowExposed(window);
    }
    QQuickItem *item(const QString &name) const { return findItem(window->contentItem(), name); }
    // Stores a conversation of `messages` and returns its id, as the chat view names it.
    QString store(const QList<Message> &messages)
    {
        const QUuid id = QUuid::createUuid();
        app.conversations->saveMessages(id, messages);
        return Message::idText(id);
    }
};
