#include "chat/codehighlighter.h"

#include "chat/scriptworker.h"

#include <QSyntaxHighlighter>
#include <QTextBlock>
#include <QTextDocument>

#include <climits>

// Puts the worker's ranges on the lines of the document. Positions are those of the text the
// ranges were found in; text added after it keeps the colours of the lines before until the
// worker has seen it too.
class RangeHighlighter : public QSyntaxHighlighter {
public:
    using QSyntaxHighlighter::QSyntaxHighlighter;

    QList<int> ranges;
    QList<QTextCharFormat> formats;

protected:
    void highlightBlock(const QString &text) override
    {
        if (ranges.isEmpty() || formats.isEmpty())
            return;
        const int start = currentBlock().position();
        const int end = start + int(text.size());
        // The first range that ends after the line's start.
        qsizetype lo = 0;
        qsizetype hi = ranges.size() / 3;
        while (lo < hi) {
            const qsizetype mid = (lo + hi) / 2;
            if (ranges.at(mid * 3) + ranges.at(mid * 3 + 1) <= start)
                lo = mid + 1;
            else
                hi = mid;
        }
        for (qsizetype i = lo * 3; i + 2 < ranges.size() && ranges.at(i) < end; i += 3) {
            const int role = ranges.at(i + 2);
            if (role < 0 || role >= formats.size())
                continue;
            const int from = std::max(ranges.at(i), start);
            const int to = std::min(ranges.at(i) + ranges.at(i + 1), end);
            if (to > from)
                setFormat(from - start, to - from, formats.at(role));
        }
    }
};

CodeHighlighter::~CodeHighlighter() = default;

void CodeHighlighter::setDocument(QQuickTextDocument *document)
{
    if (document == m_document)
        return;
    delete m_highlighter;
    m_highlighter = nullptr;
    m_document = document;
    setColoured(false);
    if (m_document) {
        QTextDocument *text = m_document->textDocument();
        // Connected before the highlighter is made, so this runs first on a change and the
        // highlighter lays out new lines with ranges that still hold.
        m_length = text->characterCount();
        connect(text, &QTextDocument::contentsChange, this,
                [this, text](int position, int removed, int) {
                    const bool grew = removed == 0 && position == m_length - 1;
                    m_length = text->characterCount();
                    if (!m_highlighter)
                        return;
                    // Only text added at the end keeps the ranges found so far in place.
                    if (!grew) {
                        m_highlighter->ranges.clear();
                        setColoured(false);
                    }
                    request();
                });
        m_highlighter = new RangeHighlighter(text);
        setColours(m_colours);
    }
    emit documentChanged();
    request();
}

void CodeHighlighter::setLanguage(const QString &language)
{
    if (language == m_language)
        return;
    m_language = language;
    emit languageChanged();
    if (m_highlighter) {
        m_highlighter->ranges.clear();
        m_highlighter->rehighlight();
        setColoured(false);
    }
    request();
}

void CodeHighlighter::setColours(const QVariantList &colours)
{
    const bool changed = colours != m_colours;
    m_colours = colours;
    if (m_highlighter) {
        m_highlighter->formats.clear();
        for (const QVariant &colour : colours) {
            QTextCharFormat format;
            format.setForeground(colour.value<QColor>());
            m_highlighter->formats.append(format);
        }
        if (changed && !m_highlighter->ranges.isEmpty())
            m_highlighter->rehighlight();
    }
    if (changed)
        emit coloursChanged();
}

void CodeHighlighter::setBlockLineBreaks(int lineBreaks)
{
    if (lineBreaks == m_blockLineBreaks)
        return;
    m_blockLineBreaks = lineBreaks;
    emit blockLineBreaksChanged();
    request();
}

void CodeHighlighter::setColoured(bool coloured)
{
    if (coloured == m_coloured)
        return;
    m_coloured = coloured;
    emit colouredChanged();
}

void CodeHighlighter::request()
{
    if (!m_highlighter || m_blockLineBreaks >= ScriptWorker::kMostColouredLines)
        return;
    if (m_inFlight) {
        m_again = true;
        return;
    }
    const QString text = m_document->textDocument()->toPlainText();
    if (text.trimmed().isEmpty())
        return;
    const QString language = m_language.trimmed().toLower();
    ScriptWorker *worker = ScriptWorker::instance();
    if (const ScriptWorker::Colouring *found = worker->cachedColouring(text, language)) {
        apply(text, found->ranges);
        return;
    }
    m_inFlight = true;
    worker->colour(text, language, this, [this, text](const ScriptWorker::Colouring &result) {
        m_inFlight = false;
        apply(text, result.ranges);
        if (m_again) {
            m_again = false;
            request();
        }
    });
}

void CodeHighlighter::apply(const QString &text, const QList<int> &ranges)
{
    if (!m_highlighter)
        return;
    QTextDocument *document = m_document->textDocument();
    // A text that went another way since it was sent: its ranges no longer fit.
    if (!document->toPlainText().startsWith(text))
        return;
    QList<int> &shown = m_highlighter->ranges;
    // Lines before the first range that changed keep their layout.
    qsizetype same = 0;
    while (same < shown.size() && same < ranges.size() && shown.at(same) == ranges.at(same))
        ++same;
    if (same == shown.size() && same == ranges.size()) {
        setColoured(!ranges.isEmpty());
        return;
    }
    // Where the first differing range starts, in the old ranges or the new.
    const qsizetype triple = same - same % 3;
    int from = INT_MAX;
    if (triple < shown.size())
        from = shown.at(triple);
    if (triple < ranges.size())
        from = std::min(from, ranges.at(triple));
    shown = ranges;
    for (QTextBlock block = document->findBlock(from); block.isValid(); block = block.next())
        m_highlighter->rehighlightBlock(block);
    setColoured(!ranges.isEmpty());
}
