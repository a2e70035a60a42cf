#pragma once

#include "core/diagnosticlog.h"

#include <QMutex>
#include <QStringList>

// Collects diagnostic log lines while it lives.
class LogCapture {
public:
    LogCapture()
    {
        lines().clear();
        DiagnosticLog::setSink(&LogCapture::record);
    }
    ~LogCapture() { DiagnosticLog::setSink(nullptr); }

    QStringList all() const
    {
        QMutexLocker lock(&mutex());
        return lines();
    }
    int count(const QString &prefix) const
    {
        int n = 0;
        for (const QString &line : all())
            n += line.startsWith(prefix) ? 1 : 0;
        return n;
    }
    void clear()
    {
        QMutexLocker lock(&mutex());
        lines().clear();
    }

private:
    static void record(const QString &line)
    {
        QMutexLocker lock(&mutex());
        lines().append(line);
    }
    static QStringList &lines()
    {
        static QStringList l;
        return l;
    }
    static QMutex &mutex()
    {
        static QMutex m;
        return m;
    }
};
