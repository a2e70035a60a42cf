#pragma once

#include "message.h"

#include <QByteArray>
#include <QHash>
#include <QUuid>

#include <optional>

// Conversation id -> its messages, oldest first. Has no order of its own.
using ConversationMap = QHash<QUuid, MessageList>;

// The stored form of all conversations: one compact JSON array alternating a conversation id
// (upper-case UUID text) and that conversation's message array.
namespace ConversationCodec {
QByteArray encode(const ConversationMap &map);
// nullopt for anything that is not that form: not JSON, not an array, odd length, an id that
// is not a UUID, or a message list with one unreadable message. A later pair wins over an
// earlier one with the same id.
std::optional<ConversationMap> decode(const QByteArray &bytes);
} // namespace ConversationCodec
