#pragma once

#include <QString>
#include <QStringList>

#include <utility>

// How a collected answer is shown and stored: the wire readers hand over the text as the model
// sent it, and this turns it into what the bubble shows, the history keeps and the quota
// charges.
class ReplyFormatter {
public:
    // The clean-up applied to every collected chat reply: fenced code blocks become
    // "<code>…</code>"; outside them and outside inline code spans, heading marks become a
    // space, "<br>" a line feed, and "**" and "\"\"" vanish. Code keeps every character the
    // model wrote (`r ** 2`, `"""doc"""`, C's `##`), since it is copied, sent back as context
    // and charged as shown.
    static QString formatReplyText(const QString &text);
    // The same clean-up for the text of an answer still arriving, so that it shows as it will
    // once complete: a fenced block whose closing fence has not come yet is shown as code
    // already (not as raw marks that turn into code later), and a mark that is only half there
    // ("*" of "**", "<b" of "<br>") is held back instead of flashing. `languages`, when given,
    // receives the fence words of the code blocks shown, from the same scan.
    static QString formatPartialReplyText(const QString &text, QStringList *languages = nullptr);
    // Its first step: every match of \s*```(\w+)?\s*\n([\s\S]*?)\n\s*```\s* (Unicode
    // properties on), left to right, becomes "<code>" + the second group + "</code>". Done by a
    // scan in linear time: the expression backtracks in cubic time over a long run of line
    // breaks after a fence that is never closed, freezing the program for seconds.
    // `languages`, when given, receives the word after each replaced block's opening fence
    // ("" where there is none), one per "<code>" written.
    // `codeRanges`, when given, receives where each block's code lies in the result.
    static QString replaceCodeBlocks(const QString &text, QStringList *languages = nullptr,
                                     QList<std::pair<qsizetype, qsizetype>> *codeRanges = nullptr);
    // The fence words of the blocks that formatReplyText turns into code, in order: the one
    // thing about a block that the clean-up drops and a reader still wants to see.
    static QStringList codeBlockLanguages(const QString &text);

private:
    static QString cleanUp(const QString &text, QStringList *languages);
    static void tidyProse(QStringView prose, QString &out);
};
