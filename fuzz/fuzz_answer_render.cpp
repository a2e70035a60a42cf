// Any stored answer text through the bubble's rendering, as far as it goes without a window:
// the cut into pieces, the formulas cut out of each prose piece, and its Markdown parse. Code
// pieces join to their block exactly, no piece is longer than the layout limit; formulas lie
// in order inside their piece, hold what their delimiters enclose and never start in inline
// code; what is rendered holds no picture (it would be fetched), no link that may not be
// opened, and every formula, typeset or not, reads back as its source.
#include "chat/answerlinks.h"
#include "chat/inlinecodespans.h"
#include "chat/markdownrenderer.h"
#include "chat/mathcutter.h"
#include "chat/messageblocks.h"
#include "fuzzcheck.h"

#include <QGuiApplication>
#include <QTextBlock>
#include <QTextDocument>

#include <algorithm>
#include <limits>

namespace {

// Table rows keep as many cells as the row under their header has; text in the cells past that
// is dropped, as on every GitHub-style table. A formula there cannot read back, so the check
// leaves out a formula that may sit in such a cell: counted against the narrowest table, walls
// inside other formulas left out (they do not cut a cell).
bool mayFallInDroppedCell(const QString &text, const QList<MathSpan> &formulas,
                          const MathSpan &formula)
{
    qsizetype narrowest = std::numeric_limits<qsizetype>::max();
    for (const QStringView line : QStringView(text).split(u'\n')) {
        const QStringView row = line.trimmed();
        const bool delimiterRow =
            row.contains(u'-') && row.contains(u'|') &&
            std::all_of(row.begin(), row.end(), [](QChar c) {
                return c == u'|' || c == u'-' || c == u':' || c == u' ' || c == u'\t';
            });
        if (delimiterRow) {
            const auto cells = row.split(u'|', Qt::SkipEmptyParts);
            narrowest = std::min(
                narrowest, qsizetype(std::count_if(cells.begin(), cells.end(), [](QStringView c) {
                    return !c.trimmed().isEmpty();
                })));
        }
    }
    const qsizetype lineStart = text.lastIndexOf(u'\n', formula.start) + 1;
    qsizetype walls = 0;
    for (qsizetype i = lineStart; i < formula.start; ++i) {
        const bool inFormula =
            std::any_of(formulas.begin(), formulas.end(),
                        [i](const MathSpan &f) { return i >= f.start && i < f.start + f.length; });
        walls += text.at(i) == u'|' && !inFormula;
    }
    const bool leadingWall = QStringView(text).mid(lineStart).trimmed().startsWith(u'|');
    return walls - (leadingWall ? 1 : 0) >= narrowest;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzSetUp<QGuiApplication>();
    const QString content = QString::fromUtf8(fuzzBytes(data, size));
    const QList<MessageBlock> blocks = MessageBlocks::split(content);
    const QList<MessageBlock> pieces = MessageBlocks::pieces(content);

    qsizetype block = -1;
    QString code;
    for (const MessageBlock &piece : pieces) {
        FUZZ_CHECK(piece.text.size() <= MessageBlocks::kPieceHardLimit + 1);
        if (piece.first) {
            ++block;
            code.clear();
        }
        FUZZ_CHECK(block < blocks.size() && blocks.at(block).isCode == piece.isCode);
        if (piece.isCode) {
            code += piece.text;
            if (piece.last)
                FUZZ_CHECK(code.remove(u'\n') == QString(blocks.at(block).text).remove(u'\n'));
            continue;
        }
        const QList<MathSpan> formulas = MathCutter::find(piece.text);
        const auto code = InlineCodeSpans::find(piece.text);
        qsizetype after = 0;
        for (const MathSpan &formula : formulas) {
            FUZZ_CHECK(formula.start >= after && formula.length > 0);
            after = formula.start + formula.length;
            FUZZ_CHECK(after <= piece.text.size());
            FUZZ_CHECK(piece.text.mid(formula.start, formula.length).contains(formula.tex));
            FUZZ_CHECK(!formula.tex.trimmed().isEmpty());
            for (const auto &[start, end] : code)
                FUZZ_CHECK(formula.start < start || formula.start >= end);
        }
        // As source: the worker thread and its engine are for the window, not for a fuzzer.
        QTextDocument rendered;
        QTextCursor(&rendered).insertFragment(
            MarkdownRenderer::render(piece.text, false, MarkdownRenderer::Formulas::AsSource));
        // A link's address ("[t](address)", "[r]: address") is never shown, whatever it holds.
        if (!formulas.isEmpty() && piece.text.size() < 2000 &&
            !piece.text.contains(QChar::LineSeparator) && !piece.text.contains(u"]:") &&
            !piece.text.contains(u"](")) {
            const QString read =
                MarkdownRenderer::readableText(rendered, 0, rendered.characterCount());
            for (const MathSpan &formula : formulas) {
                if (formula.closed && !formula.tex.contains(u'\n') &&
                    !formula.tex.contains(u'\r') &&
                    !mayFallInDroppedCell(piece.text, formulas, formula))
                    FUZZ_CHECK(read.contains(piece.text.mid(formula.start, formula.length)));
            }
        }
        for (QTextBlock b = rendered.begin(); b.isValid(); b = b.next()) {
            for (auto it = b.begin(); !it.atEnd(); ++it) {
                const QTextCharFormat format = it.fragment().charFormat();
                FUZZ_CHECK(!format.isImageFormat());
                if (format.isAnchor())
                    FUZZ_CHECK(AnswerLinks::isOpenable(QUrl(format.anchorHref())));
            }
        }
    }
    FUZZ_CHECK(block + 1 == blocks.size());
    return 0;
}
