#pragma once

#include <QString>
#include <QStringList>

// The server's log: standard output, one line per call, items joined by one space, flushed at
// once so a test or a person watching the terminal sees each line as soon as it is written.
class ServerLog {
public:
    enum class Level { Error = 0, Warning = 1, Info = 2, Debug = 3 };

    static void setLevel(Level level);
    static Level level();
    // "error", "warning", "info" or "debug"; nullopt-like false for anything else.
    static bool parseLevel(const QString &text, Level *level);

    static bool enabled(Level level);

    // Written whatever the level: lines other programs parse (the port, the sign-in code).
    static void always(const QStringList &items);

    static void error(const QStringList &items) { write(Level::Error, items); }
    static void warning(const QStringList &items) { write(Level::Warning, items); }
    static void info(const QStringList &items) { write(Level::Info, items); }
    static void debug(const QStringList &items) { write(Level::Debug, items); }

    // Tests read the log through this hook; it sees every line that passes the level.
    using Sink = void (*)(const QString &line);
    static void setSink(Sink sink);

private:
    static void write(Level level, const QStringList &items);
    static void emitLine(const QString &line);
};
