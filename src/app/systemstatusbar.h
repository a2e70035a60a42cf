#pragma once

#include "app/statusbar.h"

// The status area through QSystemTrayIcon.
class SystemStatusBar : public StatusBar {
public:
    std::unique_ptr<StatusItem> addItem(const QIcon &image) override;
};
