#include "serverlog.h"

#include <QMutex>

#include <atomic>
#include <cstdio>

namespace {

std::atomic<int> currentLevel{int(ServerLog::Level::Info)};
std::atomic<ServerLog::Sink> currentSink{nullptr};

QMutex &outputMutex()
{
    static QMutex mutex;
    return mutex;
}

} // namespace

void ServerLog::setLevel(Level level)
{
    currentLevel = int(level);
}

ServerLog::Level ServerLog::level()
{
    return Level(currentLevel.load());
}

bool ServerLog::parseLevel(const QString &text, Level *level)
{
    static const std::pair<const char *, Level> names[] = {{"error", Level::Error},
                                                           {"warning", Level::Warning},
                                                           {"info", Level::Info},
                                                           {"debug", Level::Debug}};
    for (const auto &[name, value] : names) {
        if (text.compare(QLatin1String(name), Qt::CaseInsensitive) == 0) {
            *level = value;
            return true;
        }
    }
    return false;
}

bool ServerLog::enabled(Level level)
{
    return int(level) <= currentLevel.load();
}

void ServerLog::always(const QStringList &items)
{
    emitLine(items.join(QLatin1Char(' ')));
}

void ServerLog::setSink(Sink sink)
{
    currentSink = sink;
}

void ServerLog::write(Level level, const QStringList &items)
{
    if (enabled(level))
        emitLine(items.join(QLatin1Char(' ')));
}

void ServerLog::emitLine(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    QMutexLocker lock(&outputMutex());
    if (Sink sink = currentSink.load())
        sink(line);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}
