#include "chat/markdownrenderer.h"

#include "chat/answerlinks.h"
#include "chat/mathcutter.h"
#include "chat/scriptworker.h"

#include <QCache>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QPointer>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextImageFormat>
#include <QTextList>
#include <QTextTable>
#include <QTimer>

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
// Marks the table of one cell that centres a display formula.
constexpr int kDisplayFormulaTable = QTextFormat::UserProperty + 1;

bool inFormulaTable(const QTextBlock &block)
{
    if (!block.isValid())
        return false;
    const QTextTable *table = QTextCursor(block).currentTable();
    return table && table->format().boolProperty(kDisplayFormulaTable);
}

// The empty blocks that a table of one cell leaves before and after itself: not lines of the
// text, so not read or copied as ones.
bool isFormulaTableEdge(const QTextBlock &block)
{
    return block.length() <= 1 &&
           (inFormulaTable(block.next()) || inFormulaTable(block.previous()));
}
const QString kFormulaName = MarkdownRenderer::kFormulaScheme.toString() + QStringLiteral(":%1");

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
    QColor text; // formulas, drawn in the text's own colour
};

Tones tonesFor(bool dark)
{
    return dark
               ? Tones{QColor(0x4D, 0xA3, 0xFF), QColor(0xA1, 0xA1, 0xA6), QColor(0xF2, 0xF2, 0xF7)}
               : Tones{QColor(0x0A, 0x64, 0xD6), QColor(0x6E, 0x6E, 0x73),
                       QColor(0x1D, 0x1D, 0x1F)};
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

// Formulas stand in the text handed to the parser as one private-use character each, one
// that the text itself does not hold, and are put back after it.
struct CutFormulas {
    QString text;
    QList<MathSpan> spans;
    QHash<QChar, qsizetype> markers; // marker -> index into spans
};

CutFormulas cutFormulas(const QString &source)
{
    CutFormulas cut;
    if (!source.contains(u'$') && !source.contains(u'\\')) {
        cut.text = source;
        return cut;
    }
    cut.spans = MathCutter::find(source);
    if (cut.spans.isEmpty()) {
        cut.text = source;
        return cut;
    }
    char16_t next = 0xE000;
    qsizetype copied = 0;
    for (qsizetype i = 0; i < cut.spans.size(); ++i) {
        while (next <= 0xF8FF && source.contains(QChar(next)))
            ++next;
        if (next > 0xF8FF)
            break; // the rest stay text
        const MathSpan &span = cut.spans.at(i);
        const QChar marker(next++);
        cut.markers.insert(marker, i);
        cut.text += QStringView(source).sliced(copied, span.start - copied);
        // A display formula on lines of its own becomes a paragraph of its own, to be centred.
        const qsizetype end = span.start + span.length;
        const qsizetype lineEnd = source.indexOf(u'\n', end);
        const bool ownLines = span.display &&
                              (span.start == 0 || source.at(span.start - 1) == u'\n') &&
                              QStringView(source)
                                  .sliced(end, (lineEnd < 0 ? source.size() : lineEnd) - end)
                                  .trimmed()
                                  .isEmpty();
        if (ownLines)
            cut.text += QStringLiteral("\n\n") + marker + QStringLiteral("\n\n");
        else
            cut.text += marker;
        copied = end;
    }
    if (cut.markers.size() < cut.spans.size())
        cut.spans.resize(cut.markers.size());
    cut.text += QStringView(source).sliced(copied);
    return cut;
}

// A typeset formula padded so that the text layout, which centres a picture set with
// AlignMiddle on a point half an x-height above the baseline (and the line on it), puts the
// formula's own baseline on the text's: the only alignment that both the layout and Qt
// Quick's text nodes place alike, and which lets a formula reach below the baseline. It is
// made at least as tall as the text on both sides, so that it, not the text, sets the line.
QImage paddedFormula(const ScriptWorker::Formula &formula, const QFont &font, qreal *height)
{
    const QFontMetricsF metrics(font);
    const qreal quarterX = QFontMetrics(font).xHeight() / 4.0;
    const qreal h = formula.size.height();
    const qreal d = formula.descent;
    const qreal k = 2 * d + 2 * quarterX - h;
    qreal top = std::max<qreal>(k, 0);
    qreal bottom = std::max<qreal>(-k, 0);
    const qreal need =
        std::max(2 * (metrics.ascent() - quarterX), 2 * (metrics.descent() + quarterX));
    if (h + top + bottom < need) {
        const qreal more = (need - h - top - bottom) / 2;
        top += more;
        bottom += more;
    }
    *height = h + top + bottom;
    const qreal ratio = formula.image.devicePixelRatio();
    QImage padded(QSizeF(formula.size.width() * ratio, *height * ratio).toSize(),
                  QImage::Format_ARGB32_Premultiplied);
    padded.fill(Qt::transparent);
    padded.setDevicePixelRatio(ratio);
    QPainter painter(&padded);
    painter.drawImage(QPointF(0, top), formula.image);
    return padded;
}

// Padded formula pictures by their names in the documents.
QCache<QString, QImage> &formulaImages()
{
    static QCache<QString, QImage> images(64 << 20);
    return images;
}

void placeFormulas(QTextDocument &document, const CutFormulas &cut, const QString &source,
                   const Tones &tones, MarkdownRenderer::Formulas formulas, int pixelSize,
                   bool *waiting)
{
    struct Found {
        int position;
        qsizetype span;
        QTextCharFormat format;
    };
    QList<Found> found;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QString text = fragment.text();
            for (qsizetype i = 0; i < text.size(); ++i) {
                if (const auto marker = cut.markers.constFind(text.at(i));
                    marker != cut.markers.cend())
                    found.append({fragment.position() + int(i), *marker, fragment.charFormat()});
            }
        }
    }
    QFont font = QGuiApplication::font();
    font.setPixelSize(pixelSize);
    ScriptWorker *worker =
        formulas == MarkdownRenderer::Formulas::Typeset ? ScriptWorker::instance() : nullptr;
    QTextCursor cursor(&document);
    cursor.beginEditBlock();
    for (auto it = found.crbegin(); it != found.crend(); ++it) {
        const MathSpan &span = cut.spans.at(it->span);
        const QString written = source.mid(span.start, span.length);
        cursor.setPosition(it->position);
        cursor.setPosition(it->position + 1, QTextCursor::KeepAnchor);
        const ScriptWorker::FormulaRequest request{span.tex.trimmed(), span.display,
                                                   qreal(pixelSize), tones.text};
        const ScriptWorker::Formula *typeset =
            worker && span.closed ? worker->cachedFormula(request) : nullptr;
        if (typeset && typeset->ok) {
            qreal height = 0;
            const QString name = kFormulaName.arg(qHash(QString::number(pixelSize) +
                                                        request.colour.name(QColor::HexArgb) +
                                                        (span.display ? u'D' : u'T') + request.tex),
                                                  0, 16);
            if (!formulaImages().contains(name)) {
                auto *image = new QImage(paddedFormula(*typeset, font, &height));
                formulaImages().insert(name, image, int(image->sizeInBytes()));
            } else {
                height = formulaImages().object(name)->deviceIndependentSize().height();
            }
            QTextImageFormat image;
            image.setName(name);
            image.setWidth(typeset->size.width());
            image.setHeight(height);
            image.setVerticalAlignment(QTextCharFormat::AlignMiddle);
            image.setFont(font);
            image.setProperty(QTextFormat::ImageAltText, written);
            if (it->format.isAnchor()) {
                image.setAnchor(true);
                image.setAnchorHref(it->format.anchorHref());
            }
            // Qt Quick draws an inline picture at its line's start whatever the line's
            // alignment; a borderless table of one cell is centred by the layout itself.
            if (span.display && cursor.block().length() == 2) {
                cursor.removeSelectedText();
                QTextTableFormat centred;
                centred.setAlignment(Qt::AlignHCenter);
                centred.setBorder(0);
                centred.setCellPadding(0);
                centred.setCellSpacing(0);
                centred.setMargin(0);
                centred.setBottomMargin(8);
                centred.setProperty(kDisplayFormulaTable, true);
                cursor.insertTable(1, 1, centred);
            }
            cursor.insertImage(image);
            continue;
        }
        if (worker && span.closed && !typeset) {
            if (waiting)
                *waiting = true;
            worker->typeset(request, nullptr, [](const ScriptWorker::Formula &) {
                MarkdownRenderer::formulaLanded();
            });
        }
        QTextCharFormat code = it->format;
        code.setFontFixedPitch(true);
        code.setFontFamilies({QStringLiteral("monospace")});
        code.setBackground(kTint);
        cursor.insertText(QString(written).replace(u'\n', QChar::LineSeparator), code);
    }
    cursor.endEditBlock();
}
} // namespace

QTextDocumentFragment MarkdownRenderer::build(const QString &source, bool dark, Formulas formulas,
                                              int pixelSize, bool *waiting)
{
    QTextDocument document;
    document.setUndoRedoEnabled(false);
    if (hasLongLine(source)) {
        document.setPlainText(source);
    } else {
        const CutFormulas cut = cutFormulas(source);
        // As one edit: the importer's cursor would otherwise lay out the paragraph so far at
        // every piece of text it adds, which is quadratic in a paragraph's length.
        QTextCursor batch(&document);
        batch.beginEditBlock();
        document.setMarkdown(markBreaks(cut.text), kFeatures);
        batch.endEditBlock();
        unmarkBreaks(document);
        const Tones tones = tonesFor(dark);
        sanitize(document, tones);
        styleBlocks(document, tones);
        if (!cut.spans.isEmpty())
            placeFormulas(document, cut, source, tones, formulas, pixelSize, waiting);
    }
    return QTextDocumentFragment(&document);
}

QTextDocumentFragment MarkdownRenderer::render(const QString &source, bool dark, Formulas formulas,
                                               int pixelSize, bool *waiting)
{
    // Counted in characters of source: about a long conversation's worth of answers.
    static QCache<QString, QTextDocumentFragment> cache(4'000'000);
    const QString key = QString(dark ? u'd' : u'l') +
                        (formulas == Formulas::Typeset ? u't' : u's') + QString::number(pixelSize) +
                        u' ' + source;
    if (waiting)
        *waiting = false;
    if (const QTextDocumentFragment *found = cache.object(key))
        return *found;
    bool pending = false;
    const QTextDocumentFragment fragment = build(source, dark, formulas, pixelSize, &pending);
    // Kept only once it is final: a formula still being typeset will change it.
    if (!pending)
        cache.insert(key, new QTextDocumentFragment(fragment), key.size());
    if (waiting)
        *waiting = pending;
    return fragment;
}

bool MarkdownRenderer::show(QQuickTextDocument *target, const QString &source, bool dark)
{
    if (!target)
        return false;
    QTextDocument *document = target->textDocument();
    // A text item asks when it is made and whenever its piece or the colours change; the
    // first can come twice, and laying the same piece out again is the expensive part.
    static const char *const kShown = "talvoroRenderedSource";
    static const char *const kShownDark = "talvoroRenderedDark";
    static const char *const kWaiting = "talvoroWaitingForFormulas";
    if (document->property(kShown).toString() == source &&
        document->property(kShownDark).toBool() == dark && !document->property(kWaiting).toBool() &&
        !document->isEmpty())
        return false;
    const int pixelSize = document->defaultFont().pixelSize() > 0
                              ? document->defaultFont().pixelSize()
                              : kBodyPixelSize;
    bool waiting = false;
    const QTextDocumentFragment fragment =
        render(source, dark, Formulas::Typeset, pixelSize, &waiting);
    document->setProperty(kShown, source);
    document->setProperty(kShownDark, dark);
    document->setProperty(kWaiting, waiting);
    document->setUndoRedoEnabled(false);
    QTextCursor cursor(document);
    cursor.select(QTextCursor::Document);
    cursor.insertFragment(fragment);
    // A fragment carries its pictures' names, not the pictures.
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (!format.isImageFormat())
                continue;
            const QString name = format.toImageFormat().name();
            if (const QImage *image = formulaImages().object(name))
                document->addResource(QTextDocument::ImageResource, QUrl(name), *image);
        }
    }
    return waiting;
}

QString MarkdownRenderer::readableText(QQuickTextDocument *target, int from, int to)
{
    return target ? readableText(*target->textDocument(), from, to) : QString();
}

QString MarkdownRenderer::readableText(const QTextDocument &document, int from, int to)
{
    if (from > to)
        std::swap(from, to);
    QString out;
    for (QTextBlock block = document.findBlock(from); block.isValid() && block.position() < to;
         block = block.next()) {
        if (isFormulaTableEdge(block))
            continue;
        if (block.position() > from && !out.isEmpty())
            out += u'\n';
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const int start = std::max(from, fragment.position());
            const int end = std::min(to, fragment.position() + fragment.length());
            if (start >= end)
                continue;
            const QTextCharFormat format = fragment.charFormat();
            const QString alt = format.isImageFormat()
                                    ? format.property(QTextFormat::ImageAltText).toString()
                                    : QString();
            if (!alt.isEmpty())
                out += alt.repeated(end - start);
            else
                out += fragment.text().mid(start - fragment.position(), end - start);
        }
    }
    return out.replace(QChar::LineSeparator, u'\n');
}

namespace {

QList<MarkdownRenderer *> &liveRenderers()
{
    static QList<MarkdownRenderer *> renderers;
    return renderers;
}

} // namespace

MarkdownRenderer::MarkdownRenderer(QObject *parent) : QObject(parent)
{
    liveRenderers().append(this);
}

MarkdownRenderer::~MarkdownRenderer()
{
    liveRenderers().removeOne(this);
}

void MarkdownRenderer::formulaLanded()
{
    // Formulas come one by one; views render again once for a run of them.
    static bool scheduled = false;
    if (scheduled)
        return;
    scheduled = true;
    QTimer::singleShot(30, [] {
        scheduled = false;
        for (MarkdownRenderer *renderer : liveRenderers())
            emit renderer->formulasReady();
    });
}
