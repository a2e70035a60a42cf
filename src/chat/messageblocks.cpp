#include "chat/messageblocks.h"

namespace {

MessageBlock piece(bool isCode, const QString &text)
{
    MessageBlock block;
    block.isCode = isCode;
    block.text = text;
    return block;
}

} // namespace

QList<MessageBlock> MessageBlocks::split(const QString &content)
{
    static const QString open = QStringLiteral("<code>");
    static const QString close = QStringLiteral("</code>");
    QList<MessageBlock> out;
    const QStringList segments = content.split(open);
    for (const QString &segment : segments) {
        if (segment.contains(close)) {
            const QStringList parts = segment.split(close);
            if (!parts.first().isEmpty())
                out.append(piece(true, parts.first()));
            // Anything after a second closing marker has no opening one: it is dropped.
            if (parts.size() >= 2) {
                const QString prose = parts.at(1).trimmed();
                if (!prose.isEmpty())
                    out.append(piece(false, prose));
            }
        } else {
            const QString prose = segment.trimmed();
            if (!prose.isEmpty())
                out.append(piece(false, prose));
        }
    }
    return out;
}

namespace {

// Where to end a piece of `text` that starts at `from`: the first place at or after
// `from + size` where `canCut` agrees, else the last line start before the hard limit, else the
// hard limit itself (not inside a surrogate pair).
template <typename CanCut>
qsizetype pieceEnd(const QString &text, qsizetype from, qsizetype size, CanCut canCut)
{
    const qsizetype n = text.size();
    const qsizetype hard = from + MessageBlocks::kPieceHardLimit;
    if (n <= from + size)
        return n;
    // The best place is one `canCut` likes; failing that within another `size`, any line
    // start that is not indented (a line end shows as a line break either way); failing
    // that, the last line start before the hard limit.
    qsizetype plainLineStart = -1;
    qsizetype lastLineStart = -1;
    for (qsizetype i = text.indexOf(u'\n', from); i >= 0 && i + 1 < n;
         i = text.indexOf(u'\n', i + 1)) {
        const qsizetype start = i + 1;
        if (start > hard)
            break;
        if (start >= from + size) {
            if (canCut(start))
                return start;
            if (plainLineStart < 0 && text.at(start) != u' ' && text.at(start) != u'\t')
                plainLineStart = start;
            if (plainLineStart >= 0 && start >= from + 2 * size)
                return plainLineStart;
        }
        lastLineStart = start;
    }
    if (n <= hard)
        return n;
    if (plainLineStart >= 0)
        return plainLineStart;
    if (lastLineStart > from + size / 4)
        return lastLineStart;
    return text.at(hard - 1).isHighSurrogate() ? hard + 1 : hard;
}

bool isBlank(QStringView line)
{
    return line.trimmed().isEmpty();
}

// A line that starts a top-level block after a blank line: cutting there leaves the Markdown
// on both sides as it was (a list item's continuation, indented, would not be).
bool startsTopLevelBlock(const QString &text, qsizetype lineStart)
{
    const QChar first = text.at(lineStart);
    if (first == u' ' || first == u'\t' || first == u'\n')
        return false;
    const qsizetype previousEnd = lineStart - 1; // the '\n' that ends the previous line
    const qsizetype previousStart = text.lastIndexOf(u'\n', previousEnd - 1) + 1;
    return isBlank(QStringView(text).sliced(previousStart, previousEnd - previousStart));
}

} // namespace

QList<MessageBlock> MessageBlocks::pieces(const QString &content, const QStringList &languages)
{
    QList<MessageBlock> out;
    qsizetype codeIndex = 0;
    for (MessageBlock &block : split(content)) {
        if (block.isCode)
            block.language = languages.value(codeIndex++);
        if (block.text.size() <= kProsePieceSize) {
            if (block.isCode)
                block.code = block.text;
            out.append(block);
            continue;
        }
        const qsizetype first = out.size();
        for (qsizetype from = 0; from < block.text.size();) {
            const qsizetype end =
                block.isCode
                    ? pieceEnd(block.text, from, kProsePieceSize, [](qsizetype) { return true; })
                    : pieceEnd(block.text, from, kProsePieceSize,
                               [&](qsizetype at) { return startsTopLevelBlock(block.text, at); });
            QString text = block.text.sliced(from, end - from);
            // Code is kept exactly, line ends included: the pieces join to the whole block.
            if (block.isCode && text.endsWith(u'\n') && end < block.text.size())
                text.chop(1);
            else if (!block.isCode)
                text = text.trimmed();
            if (!text.isEmpty() || block.isCode)
                out.append({block.isCode, text, block.language, false, false, {}});
            from = end;
        }
        out[first].first = true;
        out.last().last = true;
        if (block.isCode)
            out[first].code = block.text;
    }
    int blockLineBreaks = 0;
    for (qsizetype i = 0; i < out.size(); ++i) {
        MessageBlock &piece = out[i];
        piece.lineBreaks = int(piece.text.count(u'\n'));
        if (piece.isCode && piece.first)
            blockLineBreaks = int(piece.code.count(u'\n'));
        if (piece.isCode)
            piece.blockLineBreaks = blockLineBreaks;
    }
    return out;
}
