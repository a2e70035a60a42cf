#pragma once

#include "conversation/message.h"
#include "core/httpclient.h"
#include "core/settingsstore.h"
#include <QByteArray>

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <type_traits>

// A property every input must keep; a broken one stops the fuzzer with the input saved.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "property broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

inline QByteArray fuzzBytes(const uint8_t *data, size_t size)
{
    // A deep copy: the fuzzer's buffer ends exactly at `size`, so reads past it are caught.
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

// The input as the body of a successful HTTP answer.
inline HttpResult fuzzReply(const uint8_t *data, size_t size)
{
    HttpResult result;
    result.status = 200;
    result.body = fuzzBytes(data, size);
    return result;
}

// Classes that load plugins (SQLite) or post events need an application object. The
// diagnostic log goes to standard output, which is of no use at millions of inputs a minute;
// the fuzzer reports on standard error. Text layout and fonts need a QGuiApplication, which
// gets the offscreen platform.
template <typename Application = QCoreApplication> inline void fuzzSetUp()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
    if constexpr (!std::is_same_v<Application, QCoreApplication>)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    // Never destroyed: libFuzzer ends with exit(), after Qt's own globals are gone.
    new Application(argc, argv);
}

// A settings store that keeps its values in memory only: its file cannot be opened, so every
// write is refused (and logged) before it reaches SQLite. What is fuzzed is the handling of
// the answer, at a speed SQLite writes would cut a hundredfold.
inline SettingsStore &fuzzSettings()
{
    static SettingsStore store(QStringLiteral("/proc/talvoro-fuzz/settings.sqlite"));
    return store;
}

// Two messages that would be stored as the same.
inline bool sameMessage(const Message &a, const Message &b)
{
    return a.id == b.id && a.content == b.content && a.isUserMessage == b.isUserMessage &&
           a.timestamp == b.timestamp && a.isLoading == b.isLoading && a.avatarURL == b.avatarURL &&
           a.imageURL == b.imageURL && a.cachedImagePath == b.cachedImagePath;
}
