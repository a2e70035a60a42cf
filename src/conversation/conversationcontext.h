#pragma once

#include "conversation/message.h"

#include <QString>

#include <functional>
#include <span>

// The text a request carries of the conversation it belongs to, measured in user-perceived
// characters (see core/graphemes.h).
class ConversationContext {
public:
    // The newest `limit` characters of the messages' contents, oldest first, one message per
    // line, without white space at either end. The oldest message taken may be cut at its
    // start.
    // `textOf` gives a message's text as the context carries it.
    static QString newestText(std::span<const Message> messages, qsizetype limit,
                              const std::function<QString(const Message &)> &textOf);
};
