#pragma once

#include <QList>
#include <QStringView>

#include <utility>

// Inline code spans as Markdown reads them: a run of backquotes up to the next run of the same
// length in the same paragraph. What lies in one is code, which nothing may rewrite or read as
// anything else (marks, math).
class InlineCodeSpans {
public:
    // Each span's [start, end), backquotes included, in order. Linear in the text's length,
    // however many runs stay unmatched.
    static QList<std::pair<qsizetype, qsizetype>> find(QStringView text);
};
