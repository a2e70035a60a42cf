#pragma once

#include <QObject>
#include <QRect>

// One item in the desktop's status area (the system tray), shown while it exists.
class StatusItem : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // Where the item is on screen; null when the desktop does not say.
    virtual QRect geometry() const = 0;

signals:
    void clicked();
};
