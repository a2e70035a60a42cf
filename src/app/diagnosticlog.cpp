#include "diagnosticlog.h"

#include <QMutex>

#include <atomic>
#include <cstdio>

namespace {
QMutex s_mutex;
std::atomic<DiagnosticLog::Sink> s_sink{nullptr};
} // namespace

void DiagnosticLog::write(const QStringList &items)
{
    const QString text = items.join(QLatin1Char(' '));
    QByteArray bytes = text.toUtf8();
    bytes.append('\n');

    QMutexLocker lock(&s_mutex);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
    if (Sink sink = s_sink.load())
        sink(text);
}

void DiagnosticLog::writeUtf8Lines(const QList<Utf8Line> &lines)
{
    qsizetype size = 0;
    for (const auto &[label, text] : lines)
        size += label.size() + text.size() + 1;
    QByteArray bytes;
    bytes.reserve(size);
    for (const auto &[label, text] : lines) {
        bytes.append(label);
        bytes.append(text);
        bytes.append('\n');
    }

    QMutexLocker lock(&s_mutex);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
    if (Sink sink = s_sink.load()) {
        for (const auto &[label, text] : lines)
            sink(QString::fromUtf8(label) + QString::fromUtf8(text));
    }
}

void DiagnosticLog::setSink(Sink sink)
{
    s_sink.store(sink);
}
