#include "conversation/conversationcontext.h"

#include "core/graphemes.h"

#include <QStringList>

QString ConversationContext::newestText(std::span<const Message> messages, qsizetype limit,
                                        const std::function<QString(const Message &)> &textOf)
{
    QStringList parts; // newest first
    qsizetype total = 0;
    for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
        const QString content = textOf(*it);
        const qsizetype n = Graphemes::count(content);
        if (total + n <= limit) {
            parts.append(content);
            total += n;
            continue;
        }
        parts.append(Graphemes::last(content, limit - total));
        break;
    }
    QString result;
    for (auto it = parts.crbegin(); it != parts.crend(); ++it) {
        result += *it;
        result += u'\n';
    }
    return result.trimmed();
}
