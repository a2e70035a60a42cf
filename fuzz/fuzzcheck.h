#pragma once

#include <QByteArray>
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

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

// Classes that load plugins (SQLite) or post events need an application object.
inline void fuzzApplication()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
}
