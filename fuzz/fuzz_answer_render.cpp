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
#include <QRegularExpression>
#include <QTextBlock>
#include <QTextDocument>

#include <algorithm>

namespace {

// Text the renderer rightly leaves out of what it shows, so that no formula in it can read back.
// Once a piece has a row that can sit under a table's header, which lines the table takes and
// how many cells each keeps is the table parser's call: it drops the cells past the header's
// width, takes lines without a wall as rows, and cuts a row with a formula holding a wall its own
// way.
bool hasTableRule(const QString &text)
{
    static const QRegularExpression lineEnd(QStringLiteral("\\r\\n?|\\n"));
    const auto lines = QStringView(text).split(lineEnd);
    return std::any_of(lines.begin(), lines.end(), [](QStringView line) {
        const QStringView row = line.trimmed();
        return row.contains(u'-') && row.contains(u'|') &&
               std::all_of(row.begin(), row.end(), [](QChar c) {
                   return c == u'|' || c == u'-' || c == u':' || c == u' ' || c == u'\t';
               });
    });
}

// The words after a code fence (in a list item, where the fence is the renderer's to read) name
// its language and are not shown either.
bool followsFenceOnItsLine(const QString &text, const MathSpan &formula)
{
    qsizetype start = formula.start;
    while (start > 0 && text.at(start - 1) != u'\n' && text.at(start - 1) != u'\r')
        --start;
    const QStringView before = QStringView(text).mid(start, formula.start - start);
    return before.contains(QLatin1String("```")) || before.contains(QLatin1String("~~~"));
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
            !piece.text.contains(u"](") && !hasTableRule(piece.text)) {
            const QString read =
                MarkdownRenderer::readableText(rendered, 0, rendered.characterCount());
            for (const MathSpan &formula : formulas) {
                if (formula.closed && !formula.tex.contains(u'\n') &&
                    !formula.tex.contains(u'\r') && !followsFenceOnItsLine(piece.text, formula))
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
