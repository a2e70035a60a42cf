#include "core/graphemes.h"

#include <QTextBoundaryFinder>

qsizetype Graphemes::count(const QString &text)
{
    if (text.isEmpty())
        return 0;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype n = 0;
    while (finder.toNextBoundary() != -1)
        ++n;
    return n;
}

QString Graphemes::last(const QString &text, qsizetype count)
{
    if (count <= 0)
        return {};
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.toEnd();
    qsizetype position = text.size();
    for (qsizetype i = 0; i < count; ++i) {
        const qsizetype previous = finder.toPreviousBoundary();
        if (previous == -1)
            break;
        position = previous;
    }
    return text.mid(position);
}
