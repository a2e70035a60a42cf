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

namespace {

// A control character in a logged value (a header, a decoded path) could forge a line of its
// own or drive the terminal that shows the log: each is written as \xNN instead.
QString escaped(const QStringList &items)
{
    QString line = items.join(QLatin1Char(' '));
    for (qsizetype i = line.size() - 1; i >= 0; --i) {
        if (line.at(i).category() == QChar::Other_Control)
            line.replace(
                i, 1, QStringLiteral("\\x%1").arg(line.at(i).unicode(), 2, 16, QLatin1Char('0')));
    }
    return line;
}

} // namespace

void ServerLog::always(const QStringList &items)
{
    emitLine(escaped(items));
}

void ServerLog::setSink(Sink sink)
{
    currentSink = sink;
}

void ServerLog::write(Level level, const QStringList &items)
{
    if (enabled(level))
        emitLine(escaped(items));
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
