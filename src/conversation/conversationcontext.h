#pragma once

#include "conversation/message.h"

#include <QString>

// The text a request carries of the conversation it belongs to. Lengths are user-perceived
// characters (extended grapheme clusters), so an emoji or a letter with its accents counts
// once and is never cut in half.
class ConversationContext {
public:
    static qsizetype graphemeCount(const QString &text);
    // The last `count` user-perceived characters of `text`.
    static QString lastGraphemes(const QString &text, qsizetype count);
    // The newest `limit` characters of the messages' contents, oldest first, one message per
    // line, without white space at either end. The oldest message taken may be cut at its
    // start.
    static QString newestText(const MessageList &messages, qsizetype limit);
};
