#include "chat/markdownrenderer.h"

#include "chat/answerlinks.h"

#include <QCache>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextImageFormat>
#include <QTextList>
#include <QTextTable>

namespace {

const QTextDocument::MarkdownFeatures kFeatures(QTextDocument::MarkdownDialectGitHub |
                                                QTextDocument::MarkdownNoHTML);

// A line whose end is not a paragraph's soft break, or that a mark at its end would change:
// table rows, headings, fences, link definitions, rules and underlines.
bool isStructure(QStringView line)
{
    const QStringView t = line.trimmed();
    if (t.isEmpty() || t.contains(u'|') || t.startsWith(u'#') || t.startsWith(u"```") ||
        t.startsWith(u"~~~") || (t.startsWith(u'[') && t.contains(u"]:")))
        return true;
    return std::all_of(t.begin(), t.end(), [](QChar c) {
        return c == u'-' || c == u'=' || c == u'*' || c == u'_' || c == u':' || c == u' ';
    });
}

// A line that starts a block of its own, so the line before it ends where it ends anyway.
bool startsBlock(QStringView line)
{
    if (isStructure(line))
        return true;
    const QStringView t = line.trimmed();
    if (t.startsWith(u'>'))
        return true;
    if (t.size() >= 2 && QStringView(u"-*+").contains(t.at(0)) && t.at(1) == u' ')
        return true;
    qsizetype digits = 0;
    while (digits < t.size() && digits < 10 && t.at(digits).isDigit())
        ++digits;
    return digits > 0 && digits + 1 < t.size() && QStringView(u".)").contains(t.at(digits)) &&
           t.at(digits + 1) == u' ';
}

// Every line end inside a paragraph becomes a line break. Answers break lines where they mean
// them (the clean-up even turns "<br>" into one), and the bubble showed them so before it
// rendered Markdown; joined with a space, as CommonMark would, Chinese sentences run together.
// The parser's own option for this is newer than the one Qt ships, and its hard breaks become
// separate paragraphs; so such a line end gets a line separator (U+2028), which the parser
// takes as text and the layout as a line break, and unmarkBreaks tidies up after the parse.
QString markBreaks(const QString &source)
{
    QString out;
    out.reserve(source.size() + source.size() / 32);
    qsizetype start = 0;
    while (start < source.size()) {
        const qsizetype end = source.indexOf(u'\n', start);
        if (end < 0) {
            out.append(QStringView(source).sliced(start));
            break;
        }
        const QStringView line = QStringView(source).sliced(start, end - start);
        const qsizetype nextEnd = source.indexOf(u'\n', end + 1);
        const QStringView next =
            QStringView(source).sliced(end + 1, (nextEnd < 0 ? source.size() : nextEnd) - end - 1);
        out.append(line);
        if (!isStructure(line) && !startsBlock(next))
            out.append(QChar::LineSeparator);
        out.append(u'\n');
        start = end + 1;
    }
    return out;
}

// The space the parser puts for each soft break follows a separator and goes; a separator at
// a block's end (a code line, the last line of a list item) breaks nothing and goes too.
void unmarkBreaks(QTextDocument &document)
{
    QTextCursor cursor(&document);
    // In one edit block a cursor does not lay out the paragraph to place itself at each move.
    cursor.beginEditBlock();
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        const QString text = block.text();
        for (qsizetype i = text.size() - 1; i >= 0; --i) {
            if (text.at(i) != QChar::LineSeparator)
                continue;
            const bool atEnd = i + 1 == text.size();
            const bool spaceAfter = !atEnd && text.at(i + 1) == u' ';
            if (!atEnd && !spaceAfter)
                continue;
            // A selection, not deleteChar(), which finds the next grapheme boundary by
            // analysing the whole paragraph, each time.
            const int at = block.position() + int(atEnd ? i : i + 1);
            cursor.setPosition(at);
            cursor.setPosition(at + 1, QTextCursor::KeepAnchor);
            cursor.removeSelectedText();
        }
    }
    cursor.endEditBlock();
}

const QColor kRule(127, 127, 127, 90);
const QColor kTint(127, 127, 127, 28);

bool hasLongLine(const QString &text)
{
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf(u'\n', start);
        if (end < 0)
            end = text.size();
        if (end - start > MarkdownRenderer::kLongestMarkdownLine)
            return true;
        start = end + 1;
    }
    return false;
}

struct Replacement {
    int position;
    int length;
    QString text;
    QTextCharFormat format;
};

// The two colours the formatted text sets itself, as the views' light and dark sets have
// them (links, and quotes in the secondary text colour).
struct Tones {
    QColor link;
    QColor quiet;
};

Tones tonesFor(bool dark)
{
    return dark ? Tones{QColor(0x4D, 0xA3, 0xFF), QColor(0xA1, 0xA1, 0xA6)}
                : Tones{QColor(0x0A, 0x64, 0xD6), QColor(0x6E, 0x6E, 0x73)};
}

// A link's look, for what stays a link.
QTextCharFormat linkFormat(const QTextCharFormat &base, const QString &href, const Tones &tones)
{
    QTextCharFormat format = base;
    format.setAnchor(true);
    format.setAnchorHref(href);
    format.setFontUnderline(true);
    format.setForeground(tones.link);
    format.setToolTip(href);
    return format;
}

QTextCharFormat plainFormat(const QTextCharFormat &base)
{
    QTextCharFormat format = base;
    format.setAnchor(false);
    format.clearProperty(QTextFormat::AnchorHref);
    format.clearProperty(QTextFormat::ForegroundBrush);
    format.clearProperty(QTextFormat::TextUnderlineStyle);
    format.clearProperty(QTextFormat::FontUnderline);
    return format;
}

// Walks the parsed document once and collects what must change: pictures, links that may not
// be opened, and inline code (which gets a tint, so it reads as code without relying on the
// face alone).
void sanitize(QTextDocument &document, const Tones &tones)
{
    QList<Replacement> replacements;
    QList<Replacement> restyles;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QTextCharFormat format = fragment.charFormat();
            if (format.isImageFormat()) {
                const QTextImageFormat image = format.toImageFormat();
                const QString source = QString(image.name()).remove(QChar::LineSeparator);
                QString alt = image.property(QTextFormat::ImageAltText).toString();
                if (alt.isEmpty())
                    alt = source;
                const QTextCharFormat base = plainFormat(QTextCharFormat());
                replacements.append({fragment.position(), fragment.length(), alt,
                                     AnswerLinks::isOpenable(QUrl(source))
                                         ? linkFormat(base, source, tones)
                                         : base});
            } else if (format.isAnchor()) {
                // A link at a line's end may have taken in the line's break mark.
                const QString href = QString(format.anchorHref()).remove(QChar::LineSeparator);
                restyles.append({fragment.position(),
                                 fragment.length(),
                                 {},
                                 AnswerLinks::isOpenable(QUrl(href))
                                     ? linkFormat(format, href, tones)
                                     : plainFormat(format)});
            } else if (format.fontFixedPitch() && !block.blockFormat().nonBreakableLines()) {
                QTextCharFormat code = format;
                code.setBackground(kTint);
                restyles.append({fragment.position(), fragment.length(), {}, code});
            }
        }
    }
    QTextCursor cursor(&document);
    for (const Replacement &r : std::as_const(restyles)) {
        cursor.setPosition(r.position);
        cursor.setPosition(r.position + r.length, QTextCursor::KeepAnchor);
        cursor.setCharFormat(r.format);
    }
    // From the end, so that earlier positions stay where they were.
    for (auto r = replacements.crbegin(); r != replacements.crend(); ++r) {
        cursor.setPosition(r->position);
        cursor.setPosition(r->position + r->length, QTextCursor::KeepAnchor);
        cursor.insertText(r->text, r->format);
    }
}

// The parser's tables come with the old double border; ours are drawn like the rest of the
// window: one thin rule, a tinted header row, room in the cells.
void styleTable(QTextTable *table)
{
    QTextTableFormat format = table->format();
    format.setBorder(1);
    format.setBorderStyle(QTextFrameFormat::BorderStyle_Solid);
    format.setBorderBrush(kRule);
    format.setBorderCollapse(true);
    format.setCellSpacing(0);
    format.setCellPadding(4);
    format.setTopMargin(4);
    format.setBottomMargin(8);
    table->setFormat(format);
    QTextCursor cursor(table->document());
    for (int column = 0; column < table->columns(); ++column) {
        QTextTableCell cell = table->cellAt(0, column);
        QTextCharFormat header = cell.format();
        header.setBackground(kTint);
        cell.setFormat(header);
        // The parser aligns the body cells of a column; its heading goes with them.
        if (table->rows() > 1) {
            cursor.setPosition(cell.firstPosition());
            QTextBlockFormat block = cursor.blockFormat();
            cursor.setPosition(table->cellAt(1, column).firstPosition());
            block.setAlignment(cursor.blockFormat().alignment());
            cursor.setPosition(cell.firstPosition());
            cursor.setBlockFormat(block);
        }
    }
}

// Room between paragraphs and around lists, none between the items of one list; a quote set
// off in a quieter colour, since the layout draws no bar beside it.
void styleBlocks(QTextDocument &document, const Tones &tones)
{
    QTextCursor cursor(&document);
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        cursor.setPosition(block.position());
        if (cursor.currentTable())
            continue;
        QTextBlockFormat format = block.blockFormat();
        const QTextBlock next = block.next();
        const bool listGoesOn = block.textList() && next.isValid() && next.textList();
        format.setTopMargin(0);
        format.setBottomMargin(listGoesOn ? 2 : 8);
        cursor.setBlockFormat(format);
        if (format.intProperty(QTextFormat::BlockQuoteLevel) > 0) {
            cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
            QTextCharFormat quiet;
            quiet.setForeground(tones.quiet);
            cursor.mergeCharFormat(quiet);
        }
    }
    for (QTextFrame *frame : document.rootFrame()->childFrames()) {
        if (auto *table = qobject_cast<QTextTable *>(frame))
            styleTable(table);
    }
}

} // namespace

QTextDocumentFragment MarkdownRenderer::build(const QString &source, bool dark)
{
    QTextDocument document;
    document.setUndoRedoEnabled(false);
    if (hasLongLine(source)) {
        document.setPlainText(source);
    } else {
        // As one edit: the importer's cursor would otherwise lay out the paragraph so far at
        // every piece of text it adds, which is quadratic in a paragraph's length.
        QTextCursor batch(&document);
        batch.beginEditBlock();
        document.setMarkdown(markBreaks(source), kFeatures);
        batch.endEditBlock();
        unmarkBreaks(document);
        const Tones tones = tonesFor(dark);
        sanitize(document, tones);
        styleBlocks(document, tones);
    }
    return QTextDocumentFragment(&document);
}

QTextDocumentFragment MarkdownRenderer::render(const QString &source, bool dark)
{
    // Counted in characters of source: about a long conversation's worth of answers.
    static QCache<QString, QTextDocumentFragment> cache(4'000'000);
    const QString key = (dark ? u'd' : u'l') + source;
    if (const QTextDocumentFragment *found = cache.object(key))
        return *found;
    const QTextDocumentFragment fragment = build(source, dark);
    cache.insert(key, new QTextDocumentFragment(fragment), key.size());
    return fragment;
}

void MarkdownRenderer::show(QQuickTextDocument *target, const QString &source, bool dark)
{
    if (!target)
        return;
    QTextDocument *document = target->textDocument();
    // A text item asks when it is made and whenever its piece or the colours change; the
    // first can come twice, and laying the same piece out again is the expensive part.
    static const char *const kShown = "talvoroRenderedSource";
    static const char *const kShownDark = "talvoroRenderedDark";
    if (document->property(kShown).toString() == source &&
        document->property(kShownDark).toBool() == dark && !document->isEmpty())
        return;
    document->setProperty(kShown, source);
    document->setProperty(kShownDark, dark);
    document->setUndoRedoEnabled(false);
    QTextCursor cursor(document);
    cursor.select(QTextCursor::Document);
    cursor.insertFragment(render(source, dark));
}
