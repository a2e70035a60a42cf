#include "chat/answerdisplay.h"

#include "chat/replyformatter.h"
#include "conversation/historyrowtext.h"

AnswerDisplay::Shown AnswerDisplay::shown(const Message &message)
{
    if (message.preformatted || message.isUserMessage || message.kind == MessageKind::Notice ||
        message.kind == MessageKind::Picture)
        return {message.content, {}};
    return shownMarkdown(message.content, message.kind == MessageKind::Arriving);
}

AnswerDisplay::Shown AnswerDisplay::shownMarkdown(const QString &raw, bool partial)
{
    Shown shown;
    if (!partial) {
        shown.text = ReplyFormatter::replaceCodeBlocks(raw, &shown.languages);
        return shown;
    }
    // A fence whose backticks are still arriving is held back rather than shown as text.
    qsizetype end = raw.size();
    while (end > 0 && raw.at(end - 1) == u'`')
        --end;
    const QString text = raw.left(end);
    static const QString fence = QStringLiteral("```");
    QStringList languages;
    const QString replaced = ReplyFormatter::replaceCodeBlocks(text, &languages);
    if (!replaced.contains(fence))
        return {replaced, languages};
    // A block that is still arriving shows as code now, as it will once its fence closes.
    QStringList closedLanguages;
    const QString closed =
        ReplyFormatter::replaceCodeBlocks(text + u'\n' + fence, &closedLanguages);
    if (closed.count(fence) < replaced.count(fence))
        return {closed, closedLanguages};
    // The fence's own line (its language word) is still arriving.
    return {replaced.left(replaced.lastIndexOf(fence)), languages};
}

QString AnswerDisplay::tidied(const Message &message)
{
    if (message.kind == MessageKind::Arriving)
        return ReplyFormatter::formatPartialReplyText(message.content);
    if (message.kind != MessageKind::Answer || message.preformatted)
        return message.content;
    // An answer cut off by the network keeps the notice on a line of its own under what
    // arrived; only what arrived was ever tidied.
    const QString notice = u'\n' + HistoryRowText::unanswered();
    if (message.content.endsWith(notice))
        return ReplyFormatter::formatReplyText(message.content.chopped(notice.size())) + notice;
    return ReplyFormatter::formatReplyText(message.content);
}
