#pragma once

#include <QByteArrayView>
#include <QList>
#include <QLocale>
#include <QString>
#include <QStringList>

#include <concepts>
#include <type_traits>
#include <utility>

// The diagnostic log: one line per call on standard output, the items joined by one space.
// Lines are written whole and flushed at once, so lines from different threads never interleave
// and nothing is lost when the process dies right after a call.
class DiagnosticLog {
public:
    static void write(const QStringList &items);

    template <typename... Items> static void line(const Items &...items)
    {
        write(QStringList{toText(items)...});
    }

    // Writes several log lines, each given as UTF-8 text, with one flush: for callers that log
    // large texts line by line, where converting and flushing each one would dominate.
    // A line is its label followed by its text, both UTF-8 and written as they are; the text may
    // come in parts (a body that arrived in pieces), written one after the other.
    struct Utf8Line {
        QByteArrayView label;
        QList<QByteArrayView> text;
    };
    static void writeUtf8Lines(const QList<Utf8Line> &lines);

    // Tests read the log through this hook; production leaves it unset.
    using Sink = void (*)(const QString &line);
    static void setSink(Sink sink);

private:
    static QString toText(const QString &s) { return s; }
    static QString toText(const char *s) { return QString::fromUtf8(s); }
    static QString toText(QStringView s) { return s.toString(); }
    static QString toText(const QByteArray &s) { return QString::fromUtf8(s); }
    static QString toText(bool b) { return b ? QStringLiteral("true") : QStringLiteral("false"); }
    static QString toText(double d)
    {
        return QString::number(d, 'g', QLocale::FloatingPointShortest);
    }
    template <std::integral T>
    requires(!std::is_same_v<T, bool>) static QString toText(T n) { return QString::number(n); }
};
