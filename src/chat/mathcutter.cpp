#include "chat/mathcutter.h"

#include "chat/inlinecodespans.h"

#include <QHash>

#include <algorithm>

namespace {

class Scanner {
public:
    explicit Scanner(QStringView text) : m_text(text)
    {
        // Inline spans and fenced blocks can overlap (a span opening inside a fence and
        // closing after it): what is code is their union, in disjoint stretches.
        QList<std::pair<qsizetype, qsizetype>> code = InlineCodeSpans::find(text);
        code += fencedCode();
        std::sort(code.begin(), code.end());
        qsizetype start = -1;
        qsizetype end = -1;
        for (const auto &[from, to] : std::as_const(code)) {
            if (from > end) {
                if (start >= 0)
                    m_codeEnds.insert(start, end);
                start = from;
            }
            end = std::max(end, to);
        }
        if (start >= 0)
            m_codeEnds.insert(start, end);
    }

    QList<MathSpan> run()
    {
        QList<MathSpan> found;
        const qsizetype n = m_text.size();
        for (qsizetype i = 0; i < n;) {
            if (const qsizetype skip = codeEndAt(i); skip > i) {
                i = skip;
                continue;
            }
            const QChar c = m_text.at(i);
            if (c == u'\\' && i + 1 < n) {
                const QChar next = m_text.at(i + 1);
                if (next == u'(' || next == u'[') {
                    const bool display = next == u'[';
                    if (tryPaired(i, 2, display ? u"\\]" : u"\\)", display, found, i))
                        continue;
                }
                i += escapeSize(i); // "\$" among them: the character is text
                continue;
            }
            if (c == u'$') {
                if (i + 1 < n && m_text.at(i + 1) == u'$') {
                    if (tryPaired(i, 2, u"$$", true, found, i))
                        continue;
                    i += 2;
                    continue;
                }
                if (trySingle(i, found, i))
                    continue;
            }
            ++i;
        }
        return found;
    }

private:
    // Lines between a fence and its closing fence, or the end, count as code.
    QList<std::pair<qsizetype, qsizetype>> fencedCode() const
    {
        QList<std::pair<qsizetype, qsizetype>> fenced;
        qsizetype fenceStart = -1;
        QChar fenceChar;
        for (qsizetype start = 0; start < m_text.size();) {
            qsizetype end = m_text.indexOf(u'\n', start);
            if (end < 0)
                end = m_text.size();
            const QStringView line = m_text.sliced(start, end - start).trimmed();
            const bool fence = line.startsWith(u"```") || line.startsWith(u"~~~");
            if (fence && fenceStart < 0) {
                fenceStart = start;
                fenceChar = line.at(0);
            } else if (fence && line.at(0) == fenceChar) {
                fenced.append({fenceStart, end});
                fenceStart = -1;
            }
            start = end + 1;
        }
        if (fenceStart >= 0)
            fenced.append({fenceStart, m_text.size()});
        return fenced;
    }

    // Where the code that starts at `i` ends, or `i` when none starts there.
    qsizetype codeEndAt(qsizetype i) const { return m_codeEnds.value(i, i); }

    bool codeStartsAt(qsizetype i) const { return codeEndAt(i) > i; }

    // A backslash takes the character after it along, unless code starts there: code is found
    // as the inline code scan finds it, whatever stands before it.
    qsizetype escapeSize(qsizetype i) const
    {
        return i + 1 < m_text.size() && !codeStartsAt(i + 1) ? 2 : 1;
    }

    // A blank line, which ends a paragraph, starts at the line break at `i`.
    bool paragraphEndsAt(qsizetype i) const
    {
        if (m_text.at(i) != u'\n')
            return false;
        for (qsizetype j = i + 1; j < m_text.size(); ++j) {
            const QChar c = m_text.at(j);
            if (c == u'\n')
                return true;
            if (c != u' ' && c != u'\t' && c != u'\r')
                return false;
        }
        return true;
    }

    // \(…\), \[…\] or $$…$$ opening at `at`.
    bool tryPaired(qsizetype at, qsizetype openSize, QStringView close, bool display,
                   QList<MathSpan> &found, qsizetype &next) const
    {
        const qsizetype n = m_text.size();
        const qsizetype from = at + openSize;
        qsizetype j = from;
        while (j < n) {
            if (m_text.sliced(j).startsWith(close)) {
                const QString tex = m_text.sliced(from, j - from).toString();
                if (tex.trimmed().isEmpty())
                    return false;
                found.append({at, j + close.size() - at, tex, display, true});
                next = j + close.size();
                return true;
            }
            if (paragraphEndsAt(j) || codeStartsAt(j))
                break;
            j += m_text.at(j) == u'\\' ? escapeSize(j) : 1;
        }
        j = std::min(j, n);
        const QString tex = m_text.sliced(from, j - from).toString();
        if (tex.trimmed().isEmpty())
            return false;
        // Unclosed: shown as its source to the paragraph's end, not left to the Markdown
        // parser to mangle while the rest of it arrives.
        found.append({at, j - at, tex, display, false});
        next = j;
        return true;
    }

    // Whether a "$" closes at `j` depends on its neighbours only, not on where the formula
    // opened: once a search has found none up to a paragraph's end, later ones before that
    // end find none either, so a paragraph full of prices is read once.
    bool trySingle(qsizetype at, QList<MathSpan> &found, qsizetype &next)
    {
        const qsizetype n = m_text.size();
        if (at + 1 >= n || m_text.at(at + 1).isSpace() || at < m_noCloserBefore)
            return false;
        for (qsizetype j = at + 1; j < n;) {
            const QChar c = m_text.at(j);
            if (c == u'\\') {
                j += escapeSize(j);
                continue;
            }
            if (c == u'$') {
                const bool after = j + 1 < n && m_text.at(j + 1).isDigit();
                if (!m_text.at(j - 1).isSpace() && !after) {
                    found.append({at, j + 1 - at, m_text.sliced(at + 1, j - at - 1).toString(),
                                  false, true});
                    next = j + 1;
                    return true;
                }
            }
            if (paragraphEndsAt(j) || codeStartsAt(j)) {
                m_noCloserBefore = j;
                return false;
            }
            ++j;
        }
        m_noCloserBefore = n;
        return false;
    }

    QStringView m_text;
    QHash<qsizetype, qsizetype> m_codeEnds; // where each code span or fenced block starts, ends
    qsizetype m_noCloserBefore = 0;
};

} // namespace

QList<MathSpan> MathCutter::find(QStringView prose)
{
    return Scanner(prose).run();
}
