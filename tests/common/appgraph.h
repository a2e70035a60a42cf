#pragma once

#include "appdelegate.h"
#include "chatclient.h"
#include "conversationstore.h"
#include "fontsetup.h"
#include "httpclient.h"
#include "imageservice.h"
#include "quotaservice.h"
#include "serviceorigin.h"
#include "settingsstore.h"

#include <QQmlApplicationEngine>
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

// The program's object graph for view tests, screenshots and benchmarks, with its settings
// in a folder of its own that goes away afterwards.
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
        settings = std::make_unique<SettingsStore>(base + QStringLiteral("/settings.sqlite"));
        SettingsStore::setInstance(settings.get());
        conversations = std::make_unique<ConversationStore>(settings.get());
        ConversationStore::setInstance(conversations.get());
        http = std::make_unique<HttpClient>();
        HttpClient::setInstance(http.get());
        quota = std::make_unique<QuotaService>(settings.get(), http.get());
        QuotaService::setInstance(quota.get());
        images = std::make_unique<ImageService>(http.get());
        images->setDocumentsFolder(base);
        ImageService::setInstance(images.get());
        chat = std::make_unique<ChatClient>(http.get(), quota.get(), images.get());
        ChatClient::setInstance(chat.get());
        delegate = std::make_unique<AppDelegate>(settings.get(), &statusBar);
        AppDelegate::setInstance(delegate.get());
    }

    ~AppGraph()
    {
        engine.reset();
        delegate.reset();
        chat.reset();
        images.reset();
        quota.reset();
        http.reset();
        conversations.reset();
        settings.reset();
    }

    // Loads the main window as the program does; false when QML failed to load.
    bool launch()
    {
        engine = std::make_unique<QQmlApplicationEngine>();
        engine->addImportPath(QStringLiteral("qrc:/qt/qml"));
        engine->load(QUrl(QStringLiteral("qrc:/qt/qml/Talvoro/app/Main.qml")));
        if (engine->rootObjects().isEmpty())
            return false;
        delegate->applicationDidFinishLaunching(engine.get());
        if (delegate->mainWindow())
            delegate->mainWindow()->show();
        return delegate->mainWindow() && delegate->popover();
    }

    QString folder() const { return m_dir.path(); }

    QTemporaryDir m_dir;
    FakeStatusBar statusBar;
    std::unique_ptr<SettingsStore> settings;
    std::unique_ptr<ConversationStore> conversations;
    std::unique_ptr<HttpClient> http;
    std::unique_ptr<QuotaService> quota;
    std::unique_ptr<ImageService> images;
    std::unique_ptr<ChatClient> chat;
    std::unique_ptr<AppDelegate> delegate;
    std::unique_ptr<QQmlApplicationEngine> engine;
};
