#pragma once

#include "app/statusbar.h"
#include "core/registeredinstance.h"

#include <QObject>
#include <QPointer>
#include <QQuickWindow>
#include <QtQml/qqmlregistration.h>

#include <memory>
#include <optional>

class SettingsStore;

// The desktop shell around the views: the status item (present exactly while a user is signed
// in), the popover window with its own chat view, the main window's size limits for the login
// gate and the chat view, and bringing the main window back when the program is launched again.
class AppDelegate : public QObject, public RegisteredInstance<AppDelegate> {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(bool hasStatusItem READ hasStatusItem NOTIFY statusItemChanged)
    // The main window's pin and compact state, and whether it is full screen: whichever chat
    // view (the main window's or the popover's) shows the toggles, they act on and show the
    // main window.
    Q_PROPERTY(bool mainWindowPinned READ mainWindowPinned NOTIFY mainWindowStateChanged)
    Q_PROPERTY(bool mainWindowCompact READ mainWindowCompact NOTIFY mainWindowStateChanged)
    Q_PROPERTY(bool mainWindowFullScreen READ mainWindowFullScreen NOTIFY mainWindowStateChanged)

public:
    static constexpr QSize kLoginSize{400, 300};
    static constexpr QSize kSignInSheetSize{500, 400};
    static constexpr QSize kChatMaximumSize{1600, 1200};
    // What a signed-in start opens the main window at (Main.qml), and what signing in gives it.
    static constexpr QSize kChatStartSize{1000, 800};
    static constexpr QSize kCompactSize{450, 500};
    static constexpr QSize kPopoverSize{400, 600};

    AppDelegate(SettingsStore *settings, StatusBar *statusBar, QObject *parent = nullptr);
    ~AppDelegate() override;

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

    bool mainWindowPinned() const { return m_pinned; }
    bool mainWindowCompact() const { return m_compact; }
    bool mainWindowFullScreen() const;
    // Keeps the main window above others, or lets it go back to the normal level.
    Q_INVOKABLE void togglePin();
    // Shrinks the main window to 450 x 500, or gives it back the size it had before.
    Q_INVOKABLE void toggleCompact();

    void updateStatusItem();
    void configureChatWindow();
    void configureLoginWindow();

signals:
    void statusItemChanged();
    void mainWindowStateChanged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool isLoggedIn() const;
    void setupStatusItem();
    void showPopover();
    void closePopover(bool byOutsideClick);
    void setMaximizable(bool maximizable);
    void resizeMainWindow(QSize size);

    QPointer<SettingsStore> m_settings;
    StatusBar *m_statusBar;
    std::unique_ptr<StatusItem> m_statusItem;
    QPointer<QQuickWindow> m_mainWindow;
    QPointer<QQuickWindow> m_popover;
    // Set for a moment after the popover closed because the user clicked elsewhere: that click
    // may have been on the status item, which must then not open it again.
    bool m_justClosedOutside = false;
    bool m_pinned = false;
    bool m_compact = false;
    QSize m_originalWindowSize = kChatStartSize;
    std::optional<QSize> m_sizeWhenRestored;
};
