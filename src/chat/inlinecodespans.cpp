#include "chat/inlinecodespans.h"

#include <QHash>

namespace {

struct BacktickRun {
    qsizetype at;
    qsizetype length;
    int paragraph; // runs in different paragraphs never pair up
};

} // namespace

QList<std::pair<qsizetype, qsizetype>> InlineCodeSpans::find(QStringView text)
{
    QList<BacktickRun> runs;
    int paragraph = 0;
    bool lineBlank = true;
    for (qsizetype i = 0; i < text.size();) {
        const QChar c = text.at(i);
        if (c == u'`') {
            qsizetype end = i;
            while (end < text.size() && text.at(end) == u'`')
                ++end;
            runs.append({i, end - i, paragraph});
            lineBlank = false;
            i = end;
            continue;
        }
        if (c == u'\n') {
            if (lineBlank)
                ++paragraph;
            lineBlank = true;
        } else if (c != u' ' && c != u'\t' && c != u'\r') {
            lineBlank = false;
        }
        ++i;
    }
    // Each run's partner is the next run of its length, looked up in the list of those.
    QHash<qsizetype, QList<qsizetype>> byLength; // run length -> indices into `runs`
    for (qsizetype r = 0; r < runs.size(); ++r)
        byLength[runs.at(r).length].append(r);
    QHash<qsizetype, qsizetype> nextOfLength; // run length -> how far its list was used
    QList<std::pair<qsizetype, qsizetype>> spans;
    qsizetype covered = 0;
    for (qsizetype r = 0; r < runs.size(); ++r) {
        const BacktickRun &open = runs.at(r);
        if (open.at < covered)
            continue;
        const QList<qsizetype> &same = byLength.value(open.length);
        qsizetype &next = nextOfLength[open.length];
        while (next < same.size() && same.at(next) <= r)
            ++next;
        if (next >= same.size() || runs.at(same.at(next)).paragraph != open.paragraph)
            continue;
        const BacktickRun &close = runs.at(same.at(next));
        covered = close.at + close.length;
        spans.append({open.at, covered});
    }
    return spans;
}
