#include "chat/userinputwatcher.h"

#include <QEvent>
#include <QQuickWindow>

void UserInputWatcher::setItem(QQuickItem *item)
{
    if (item == m_item)
        return;
    if (m_item)
        disconnect(m_item, &QQuickItem::windowChanged, this, &UserInputWatcher::watch);
    m_item = item;
    if (m_item)
        connect(m_item, &QQuickItem::windowChanged, this, &UserInputWatcher::watch);
    watch();
    emit itemChanged();
}

void UserInputWatcher::setActive(bool active)
{
    if (active == m_active)
        return;
    m_active = active;
    emit activeChanged();
}

void UserInputWatcher::watch()
{
    if (m_window)
        m_window->removeEventFilter(this);
    m_window = m_item ? m_item->window() : nullptr;
    if (m_window)
        m_window->installEventFilter(this);
}

bool UserInputWatcher::eventFilter(QObject *watched, QEvent *event)
{
    if (m_active &&
        (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::KeyPress)) {
        setActive(false);
        emit interacted();
    }
    return QObject::eventFilter(watched, event);
}
