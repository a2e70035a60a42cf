#include "app/appdelegate.h"

#include "core/settingkeys.h"
#include "core/settingsstore.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QScreen>
#include <QTimer>

AppDelegate::AppDelegate(SettingsStore *settings, StatusBar *statusBar, QObject *parent)
    : QObject(parent), m_settings(settings), m_statusBar(statusBar)
{}

AppDelegate::~AppDelegate()
{
    if (qGuiApp)
        qGuiApp->removeEventFilter(this);
    if (m_popover)
        delete m_popover.data();
}

bool AppDelegate::isLoggedIn() const
{
    return m_settings && m_settings->getBool(SettingKeys::isLoggedIn, false);
}

void AppDelegate::applicationDidFinishLaunching(QQmlEngine *engine)
{
    const auto windows = QGuiApplication::topLevelWindows();
    for (QWindow *window : windows) {
        if (auto *quick = qobject_cast<QQuickWindow *>(window); quick && quick != m_popover) {
            m_mainWindow = quick;
            break;
        }
    }
    if (m_mainWindow) {
        connect(m_mainWindow, &QWindow::visibilityChanged, this, [this] {
            resizeMainWindow(m_sizeWhenRestored.value_or(QSize()));
            emit mainWindowStateChanged();
        });
    }

    QQmlComponent component(engine, QUrl(QStringLiteral("qrc:/qt/qml/Talvoro/app/Popover.qml")));
    QObject *object = component.create();
    m_popover = qobject_cast<QQuickWindow *>(object);
    if (!m_popover) {
        qWarning().noquote() << "popover:" << component.errorString();
        delete object;
        contentAppeared();
        return;
    }
    m_popover->setFlags(Qt::Popup | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint);
    m_popover->resize(kPopoverSize);
    m_popover->setMinimumSize(kPopoverSize);
    m_popover->setMaximumSize(kPopoverSize);
    connect(m_popover, &QWindow::activeChanged, this, [this] {
        // Focus went to another program: the user clicked outside the popover.
        if (m_popover && m_popover->isVisible() && !m_popover->isActive() &&
            m_popover->property("wasActive").toBool())
            closePopover(true);
        if (m_popover && m_popover->isActive())
            m_popover->setProperty("wasActive", true);
    });
    qGuiApp->installEventFilter(this);
    // The content appeared before the window was known; settle the window for it now.
    contentAppeared();
}

bool AppDelegate::eventFilter(QObject *watched, QEvent *event)
{
    // A press in any other window of the program is a click outside the popover.
    if (event->type() == QEvent::MouseButtonPress && m_popover && m_popover->isVisible()) {
        if (auto *window = qobject_cast<QWindow *>(watched); window && window != m_popover) {
            const QWindow *top = window;
            while (top->transientParent())
                top = top->transientParent();
            if (top != m_popover)
                closePopover(true);
        }
    }
    return QObject::eventFilter(watched, event);
}

bool AppDelegate::applicationShouldHandleReopen()
{
    if (m_mainWindow) {
        if (m_mainWindow->windowStates() & Qt::WindowMinimized)
            m_mainWindow->setWindowStates(m_mainWindow->windowStates() & ~Qt::WindowMinimized);
        m_mainWindow->show();
        m_mainWindow->raise();
        m_mainWindow->requestActivate();
    }
    return true;
}

void AppDelegate::contentAppeared()
{
    updateStatusItem();
    if (isLoggedIn())
        configureChatWindow();
    else
        configureLoginWindow();
}

void AppDelegate::updateStatusItem()
{
    if (isLoggedIn()) {
        setupStatusItem();
    } else if (m_statusItem) {
        m_statusItem.reset();
        closePopover(false);
        emit statusItemChanged();
    }
}

void AppDelegate::setupStatusItem()
{
    // The old item goes before the new one appears, so two are never shown.
    m_statusItem.reset();
    if (m_statusBar)
        m_statusItem = m_statusBar->addItem(QIcon(QStringLiteral(":/talvoro/icons/spark.svg")));
    if (m_statusItem)
        connect(m_statusItem.get(), &StatusItem::clicked, this, &AppDelegate::togglePopover);
    emit statusItemChanged();
}

void AppDelegate::togglePopover()
{
    if (m_mainWindow)
        m_mainWindow->showMinimized();
    if (!m_statusItem || !m_popover)
        return;
    if (m_popover->isVisible()) {
        closePopover(false);
    } else if (m_justClosedOutside) {
        m_justClosedOutside = false;
    } else {
        showPopover();
    }
}

void AppDelegate::showPopover()
{
    const QRect anchor = m_statusItem->geometry();
    const QPoint at = anchor.isValid() ? anchor.center() : QCursor::pos();
    QScreen *screen = QGuiApplication::screenAt(at);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    QRect frame(
        QPoint(at.x() - kPopoverSize.width() / 2, anchor.isValid() ? anchor.bottom() + 1 : at.y()),
        kPopoverSize);
    if (screen) {
        const QRect room = screen->availableGeometry();
        // A status area at the bottom of the screen opens the popover upwards.
        if (frame.bottom() > room.bottom())
            frame.moveBottom((anchor.isValid() ? anchor.top() : at.y()) - 1);
        frame.moveLeft(std::clamp(frame.left(), room.left(),
                                  std::max(room.left(), room.right() - frame.width() + 1)));
        frame.moveTop(std::clamp(frame.top(), room.top(),
                                 std::max(room.top(), room.bottom() - frame.height() + 1)));
    }
    m_popover->setPosition(frame.topLeft());
    m_popover->setProperty("wasActive", false);
    m_popover->show();
    m_popover->raise();
    m_popover->requestActivate();
}

void AppDelegate::closePopover(bool byOutsideClick)
{
    if (!m_popover || !m_popover->isVisible())
        return;
    m_popover->close();
    if (byOutsideClick) {
        m_justClosedOutside = true;
        QTimer::singleShot(300, this, [this] { m_justClosedOutside = false; });
    }
}

bool AppDelegate::mainWindowFullScreen() const
{
    return m_mainWindow && m_mainWindow->visibility() == QWindow::FullScreen;
}

void AppDelegate::togglePin()
{
    if (!m_mainWindow)
        return;
    m_mainWindow->setFlag(Qt::WindowStaysOnTopHint, !m_pinned);
    m_pinned = !m_pinned;
    emit mainWindowStateChanged();
}

void AppDelegate::toggleCompact()
{
    if (!m_mainWindow)
        return;
    if (!m_compact) {
        m_originalWindowSize = m_sizeWhenRestored.value_or(m_mainWindow->size());
        resizeMainWindow(kCompactSize);
    } else {
        resizeMainWindow(m_originalWindowSize);
    }
    m_compact = !m_compact;
    emit mainWindowStateChanged();
}

void AppDelegate::resizeMainWindow(QSize size)
{
    if (!size.isValid())
        return;
    // Opening the popover minimises the main window, and a minimised window does not take a
    // new size everywhere: it takes it when it comes back.
    if (m_mainWindow->visibility() == QWindow::Minimized) {
        m_sizeWhenRestored = size;
        return;
    }
    m_sizeWhenRestored.reset();
    m_mainWindow->resize(size);
}

void AppDelegate::setMaximizable(bool maximizable)
{
    if (!m_mainWindow)
        return;
    const Qt::WindowFlags keep = m_mainWindow->flags() & Qt::WindowStaysOnTopHint;
    Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                            Qt::WindowCloseButtonHint | keep;
    if (maximizable)
        flags |= Qt::WindowMaximizeButtonHint;
    if (flags != m_mainWindow->flags())
        m_mainWindow->setFlags(flags);
}

void AppDelegate::configureChatWindow()
{
    if (!m_mainWindow)
        return;
    // Coming from the gate (fixed at its own size or the sign-in sheet's): the gate's minimum
    // again, and the room a signed-in start gives the chat instead of the gate's small window.
    const QSize was = m_mainWindow->maximumSize();
    const bool fromGate = was == kLoginSize || was == kSignInSheetSize;
    m_mainWindow->setMinimumSize(kLoginSize);
    m_mainWindow->setMaximumSize(kChatMaximumSize);
    setMaximizable(true);
    if (!fromGate)
        return;
    QRect frame(QPoint(), kChatStartSize);
    if (QScreen *screen = m_mainWindow->screen()) {
        const QRect room = screen->availableGeometry();
        frame.setSize(frame.size().boundedTo(room.size()).expandedTo(kLoginSize));
        frame.moveCenter(room.center());
    }
    m_mainWindow->setGeometry(frame);
}

void AppDelegate::setSignInSheetShown(bool shown)
{
    if (!m_mainWindow || m_mainWindow->maximumSize() == kChatMaximumSize)
        return;
    const QSize size = shown ? kSignInSheetSize : kLoginSize;
    m_mainWindow->setMinimumSize(size);
    m_mainWindow->setMaximumSize(size);
    m_mainWindow->resize(size);
}

void AppDelegate::configureLoginWindow()
{
    if (!m_mainWindow)
        return;
    if (m_mainWindow->windowStates() & (Qt::WindowMaximized | Qt::WindowFullScreen))
        m_mainWindow->showNormal();
    m_mainWindow->setMinimumSize(kLoginSize);
    m_mainWindow->setMaximumSize(kLoginSize);
    m_mainWindow->resize(kLoginSize);
    setMaximizable(false);
}
