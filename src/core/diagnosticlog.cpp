#include "core/diagnosticlog.h"

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
    for (const auto &[label, text] : lines) {
        size += label.size() + 1;
        for (const QByteArrayView part : text)
            size += part.size();
    }
    QByteArray bytes;
    bytes.reserve(size);
    for (const auto &[label, text] : lines) {
        bytes.append(label);
        for (const QByteArrayView part : text)
            bytes.append(part);
        bytes.append('\n');
    }

    QMutexLocker lock(&s_mutex);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
    if (Sink sink = s_sink.load()) {
        qsizetype at = 0;
        for (const auto &[label, text] : lines) {
            qsizetype length = label.size();
            for (const QByteArrayView part : text)
                length += part.size();
            sink(QString::fromUtf8(bytes.constData() + at, length));
            at += length + 1;
        }
    }
}

void DiagnosticLog::setSink(Sink sink)
{
    s_sink.store(sink);
}
