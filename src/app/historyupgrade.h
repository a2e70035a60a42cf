#pragma once

#include <QString>

// Converts a history kept by an earlier version before the first window opens. The work runs
// on a worker thread; when it takes more than a second, a small window says what is happening
// rather than leaving the user with nothing on screen.
class HistoryUpgrade {
public:
    static constexpr int kNoticeDelayMs = 1000;

    static void runIfNeeded(const QString &settingsPath);
};
