#pragma once

#include <QObject>
#include <QPointer>
#include <QQuickItem>
#include <QtQml/qqmlregistration.h>

// Tells when the user next clicks or presses a key anywhere in the window of `item`: a mark
// that lasts "until the user does something" ends there.
class UserInputWatcher : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QQuickItem *item READ item WRITE setItem NOTIFY itemChanged)
    Q_PROPERTY(bool active READ active WRITE setActive NOTIFY activeChanged)

public:
    using QObject::QObject;

    QQuickItem *item() const { return m_item; }
    void setItem(QQuickItem *item);
    bool active() const { return m_active; }
    void setActive(bool active);

signals:
    void itemChanged();
    void activeChanged();
    void interacted();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void watch();

    QPointer<QQuickItem> m_item;
    QPointer<QObject> m_window;
    bool m_active = false;
};
