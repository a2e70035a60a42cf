#pragma once

#include "app/statusitem.h"

#include <QIcon>

#include <memory>

// The desktop's status area. A test stands in for the real one.
class StatusBar {
public:
    virtual ~StatusBar() = default;

    // Null when the desktop has no status area; the program then works without an item.
    virtual std::unique_ptr<StatusItem> addItem(const QIcon &image) = 0;
};
