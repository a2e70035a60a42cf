#include "markdownrenderer.h"

#include "answerlinks.h"

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

// Every line end inside a paragraph becomes a hard break (two spaces before it). Answers break
// lines where they mean them (the clean-up even turns "<br>" into one), and the bubble showed
// them so before it rendered Markdown; joined with a space, as CommonMark would, Chinese
// sentences run together. (The parser's own flag for this is newer than the one Qt ships.)
QString withHardBreaks(const QString &source)
{
    QString out;
    out.reserve(source.size() + source.size() / 16);
    qsizetype start = 0;
    while (start < source.size()) {
        qsizetype end = source.indexOf(u'\n', start);
        if (end < 0) {
            out.append(QStringView(source).sliced(start));
            break;
        }
        const QStringView line = QStringView(source).sliced(start, end - start);
        out.append(line);
        const qsizetype nextEnd = source.indexOf(u'\n', end + 1);
        const QStringView next =
            QStringView(source).sliced(end + 1, (nextEnd < 0 ? source.size() : nextEnd) - end - 1);
        if (!line.trimmed().isEmpty() && !next.trimmed().isEmpty() && !line.endsWith(u'\\'))
            out.append(QLatin1String("  "));
        out.append(u'\n');
        start = end + 1;
    }
    return out;
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

// A link's look, for what stays a link.
QTextCharFormat linkFormat(const QTextCharFormat &base, const QString &href)
{
    QTextCharFormat format = base;
    format.setAnchor(true);
    format.setAnchorHref(href);
    format.setFontUnderline(true);
    format.setForeground(QColor(0, 122, 255));
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
void sanitize(QTextDocument &document)
{
    QList<Replacement> replacements;
    QList<Replacement> restyles;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QTextCharFormat format = fragment.charFormat();
            if (format.isImageFormat()) {
                const QTextImageFormat image = format.toImageFormat();
                const QString source = image.name();
                QString alt = image.property(QTextFormat::ImageAltText).toString();
                if (alt.isEmpty())
                    alt = source;
                const QTextCharFormat base = plainFormat(QTextCharFormat());
                replacements.append(
                    {fragment.position(), fragment.length(), alt,
                     AnswerLinks::isOpenable(QUrl(source)) ? linkFormat(base, source) : base});
            } else if (format.isAnchor()) {
                const QString href = format.anchorHref();
                restyles.append({fragment.position(),
                                 fragment.length(),
                                 {},
                                 AnswerLinks::isOpenable(QUrl(href)) ? linkFormat(format, href)
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
    for (int column = 0; column < table->columns(); ++column) {
        QTextTableCell cell = table->cellAt(0, column);
        QTextCharFormat header = cell.format();
        header.setBackground(kTint);
        cell.setFormat(header);
    }
}

// Room between paragraphs and around lists, none between the items of one list; a quote set
// off in a quieter colour, since the layout draws no bar beside it.
void styleBlocks(QTextDocument &document)
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
            quiet.setForeground(QColor(110, 110, 115));
            cursor.mergeCharFormat(quiet);
        }
    }
    for (QTextFrame *frame : document.rootFrame()->childFrames()) {
        if (auto *table = qobject_cast<QTextTable *>(frame))
            styleTable(table);
    }
}

} // namespace

QTextDocumentFragment MarkdownRenderer::build(const QString &source)
{
    QTextDocument document;
    document.setUndoRedoEnabled(false);
    if (hasLongLine(source)) {
        document.setPlainText(source);
    } else {
        document.setMarkdown(withHardBreaks(source), kFeatures);
        sanitize(document);
        styleBlocks(document);
    }
    return QTextDocumentFragment(&document);
}

QTextDocumentFragment MarkdownRenderer::render(const QString &source)
{
    // Counted in characters of source: about a long conversation's worth of answers.
    static QCache<QString, QTextDocumentFragment> cache(4'000'000);
    if (const QTextDocumentFragment *found = cache.object(source))
        return *found;
    const QTextDocumentFragment fragment = build(source);
    cache.insert(source, new QTextDocumentFragment(fragment), source.size() + 1);
    return fragment;
}

void MarkdownRenderer::show(QQuickTextDocument *target, const QString &source)
{
    if (!target)
        return;
    QTextDocument *document = target->textDocument();
    document->setUndoRedoEnabled(false);
    QTextCursor cursor(document);
    cursor.select(QTextCursor::Document);
    cursor.insertFragment(render(source));
}
