#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// One piece of an assistant reply as the bubble shows it.
struct MessageBlock {
    bool isCode = false;
    QString text;
    // Code only: the fence's language word, when the answer gave one.
    QString language;
    // A block too long to lay out in one go is shown as consecutive pieces; `first` and `last`
    // say where this piece sits in its block. A code block's first piece carries the whole
    // block in `code`, which is what its copy button copies.
    bool first = true;
    bool last = true;
    QString code;
    // Line ends in `text`: enough to guess its height before it is laid out.
    int lineBreaks = 0;
    // Code: line ends in the whole block, of which this is a piece.
    int blockLineBreaks = 0;

    bool operator==(const MessageBlock &) const = default;
};

// Splits a reply into prose and code blocks on the "<code>" / "</code>" markers that the chat
// client leaves in the text. Code is kept exactly; prose is trimmed and empty pieces vanish.
class MessageBlocks {
public:
    // Prose pieces are cut where a new top-level Markdown block starts (after a blank line,
    // not indented) once they reach this size, so no piece's parse and layout holds the
    // window up; a piece with no such place is cut at a line end at the hard limit, and
    // a single line longer than that anywhere.
    static constexpr qsizetype kProsePieceSize = 3000;
    static constexpr qsizetype kPieceHardLimit = 12000;

    static QList<MessageBlock> split(const QString &content);
    // The blocks in pieces that can be laid out one at a time, with `languages` (one per code
    // block, in order; missing ones stay empty) on the code blocks.
    static QList<MessageBlock> pieces(const QString &content, const QStringList &languages = {});
};
