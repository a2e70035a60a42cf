#pragma once

#include "statusbar.h"

// The status area through QSystemTrayIcon.
class SystemStatusBar : public StatusBar {
public:
    std::unique_ptr<StatusItem> addItem(const QIcon &image) override;
};
