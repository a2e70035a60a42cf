#include "conversation/conversationcontext.h"

#include <QStringList>
#include <QTextBoundaryFinder>

qsizetype ConversationContext::graphemeCount(const QString &text)
{
    if (text.isEmpty())
        return 0;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype n = 0;
    while (finder.toNextBoundary() != -1)
        ++n;
    return n;
}

QString ConversationContext::lastGraphemes(const QString &text, qsizetype count)
{
    if (count <= 0)
        return {};
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.toEnd();
    qsizetype position = text.size();
    for (qsizetype i = 0; i < count; ++i) {
        const qsizetype previous = finder.toPreviousBoundary();
        if (previous == -1)
            break;
        position = previous;
    }
    return text.mid(position);
}

QString ConversationContext::newestText(const MessageList &messages, qsizetype limit)
{
    QStringList parts; // newest first
    qsizetype total = 0;
    for (auto it = messages.crbegin(); it != messages.crend(); ++it) {
        const QString &content = it->content;
        const qsizetype n = graphemeCount(content);
        if (total + n <= limit) {
            parts.append(content);
            total += n;
            continue;
        }
        parts.append(lastGraphemes(content, limit - total));
        break;
    }
    QString result;
    for (auto it = parts.crbegin(); it != parts.crend(); ++it) {
        result += *it;
        result += u'\n';
    }
    return result.trimmed();
}
