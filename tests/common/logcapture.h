#pragma once

#include "core/diagnosticlog.h"

#include <QMutex>
#include <QStringList>

#include <algorithm>

// Collects diagnostic log lines while it lives.
class LogCapture {
public:
    LogCapture()
    {
        clear();
        DiagnosticLog::setSink([](const QString &line) {
            QMutexLocker lock(&s_mutex);
            s_lines.append(line);
        });
    }
    ~LogCapture() { DiagnosticLog::setSink(nullptr); }

    QStringList all() const
    {
        QMutexLocker lock(&s_mutex);
        return s_lines;
    }
    int count(const QString &prefix) const
    {
        const QStringList lines = all();
        return int(std::count_if(lines.cbegin(), lines.cend(),
                                 [&](const QString &line) { return line.startsWith(prefix); }));
    }
    void clear()
    {
        QMutexLocker lock(&s_mutex);
        s_lines.clear();
    }

private:
    static inline QStringList s_lines;
    static inline QMutex s_mutex;
};
