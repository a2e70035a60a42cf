#pragma once

#include "conversation/message.h"

#include <QByteArray>
#include <QHash>
#include <QUuid>

#include <optional>

// Conversation id -> its messages, oldest first. Has no order of its own.
using ConversationMap = QHash<QUuid, MessageList>;

// The stored form of all conversations: one compact JSON array alternating a conversation id
// (upper-case UUID text) and that conversation's message array.
//
// Hand-written in both directions because the whole history is rewritten on every answer: a
// generic JSON tree costs several times more than the text itself at 10,000 messages.
namespace ConversationCodec {
// One message's JSON object; the optional members only when present. An answer kept in the
// tidied form of earlier versions says so with "preformatted": true, which other readers of
// the form ignore.
QByteArray encodeMessage(const Message &message);
// Fails (nullopt) on text that is not one JSON object, a missing required member, a member of
// the wrong JSON type, an id that is not a UUID, or an "imageURL" that is not a URL.
std::optional<Message> decodeMessage(const QByteArray &bytes);

// One conversation's message array, e.g. `[{"id":…},{…}]`.
QByteArray encodeMessages(const MessageList &messages);
// Joins already encoded message arrays into the stored form.
QByteArray assemble(const QHash<QUuid, QByteArray> &encodedLists);
QByteArray encode(const ConversationMap &map);

// nullopt for anything that is not that form: not JSON, not an array, odd length, an id that
// is not a UUID, or a message list with one unreadable message. A later pair wins over an
// earlier one with the same id.
std::optional<ConversationMap> decode(const QByteArray &bytes);
} // namespace ConversationCodec
