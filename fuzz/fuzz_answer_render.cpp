// Any stored answer text through the bubble's rendering, as far as it goes without a window:
// the cut into pieces and the Markdown parse of each prose piece. Code pieces join to their
// block exactly, no piece is longer than the layout limit, and what is rendered holds no
// picture (it would be fetched) and no link that may not be opened.
#include "chat/answerlinks.h"
#include "chat/markdownrenderer.h"
#include "chat/messageblocks.h"
#include "fuzzcheck.h"

#include <QGuiApplication>
#include <QTextBlock>
#include <QTextDocument>

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
        QTextDocument rendered;
        QTextCursor(&rendered).insertFragment(MarkdownRenderer::render(piece.text));
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
