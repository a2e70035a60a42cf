#pragma once

#include "statusbar.h"

#include <QObject>
#include <QPointer>
#include <QQuickWindow>
#include <QtQml/qqmlregistration.h>

#include <memory>

class QQmlEngine;
class QJSEngine;
class SettingsStore;

// The desktop shell around the views: the status item (present exactly while a user is signed
// in), the popover window with its own chat view, the main window's size limits for the login
// gate and the chat view, and bringing the main window back when the program is launched again.
class AppDelegate : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(bool hasStatusItem READ hasStatusItem NOTIFY statusItemChanged)

public:
    static constexpr QSize kLoginSize{400, 300};
    static constexpr QSize kSignInSheetSize{500, 400};
    static constexpr QSize kChatMaximumSize{1600, 1200};
    static constexpr QSize kPopoverSize{400, 600};

    AppDelegate(SettingsStore *settings, StatusBar *statusBar, QObject *parent = nullptr);
    ~AppDelegate() override;

    static void setInstance(AppDelegate *delegate);
    static AppDelegate *instance();
    static AppDelegate *create(QQmlEngine *, QJSEngine *);

    // Takes the engine's first window as the main window and creates the popover.
    void applicationDidFinishLaunching(QQmlEngine *engine);
    // Brings the main window back and makes it active.
    bool applicationShouldHandleReopen();

    QQuickWindow *mainWindow() const { return m_mainWindow; }
    QQuickWindow *popover() const { return m_popover; }
    StatusItem *statusItem() const { return m_statusItem.get(); }
    bool hasStatusItem() const { return m_statusItem != nullptr; }

    // The window content changed between the login gate and the chat view.
    Q_INVOKABLE void contentAppeared();
    // The fixed sign-in window grows to hold the phone sign-in sheet while it is open, so the
    // sheet's button and its message line are never cut off.
    Q_INVOKABLE void setSignInSheetShown(bool shown);
    Q_INVOKABLE void togglePopover();

    void updateStatusItem();
    void configureChatWindow();
    void configureLoginWindow();

signals:
    void statusItemChanged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool isLoggedIn() const;
    void setupStatusItem();
    void showPopover();
    void closePopover(bool byOutsideClick);
    void setMaximizable(bool maximizable);

    QPointer<SettingsStore> m_settings;
    StatusBar *m_statusBar;
    std::unique_ptr<StatusItem> m_statusItem;
    QPointer<QQuickWindow> m_mainWindow;
    QPointer<QQuickWindow> m_popover;
    // Set for a moment after the popover closed because the user clicked elsewhere: that click
    // may have been on the status item, which must then not open it again.
    bool m_justClosedOutside = false;

    static AppDelegate *s_instance;
};
