#pragma once

#include "app/appdelegate.h"
#include "app/fontsetup.h"
#include "app/quonixapp.h"
#include "chat/chatcontroller.h"
#include "conversation/conversationstore.h"
#include "core/serviceorigin.h"
#include "core/settingsstore.h"

#include <QQuickItem>
#include <QQuickStyle>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// The first item named `name` under `root`, searching the visual tree (a Loader's item is
// not a QObject child of the window's content).
inline QQuickItem *findItem(QQuickItem *root, const QString &name)
{
    if (!root)
        return nullptr;
    if (root->objectName() == name)
        return root;
    const auto children = root->childItems();
    for (QQuickItem *child : children) {
        if (QQuickItem *found = findItem(child, name))
            return found;
    }
    return nullptr;
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
        ++created;
        lastIconNull = image.isNull();
        if (!available)
            return nullptr;
        return std::make_unique<Item>(this);
    }

    bool available = true;
    int live = 0;
    int created = 0;
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
