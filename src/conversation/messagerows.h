#pragma once

#include "conversation/message.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUuid>

// How a Message is a row of the messages table, and how a conversation's own row follows its
// messages. Shared by the store's writes, the one-time conversion of the old blob and import.
class MessageRows {
public:
    enum class OnConflict {
        Update, // the message's fields change, its place does not
        Skip,   // a message already there (by id) is left as it is
    };

    // The columns `read` expects, in its order, for a SELECT.
    static QString columns();
    // `first`: the column where those start.
    static Message read(const QSqlQuery &query, int first = 0);

    // A statement that writes one message at `position`; bind with `bind`.
    static QString insertStatement(OnConflict onConflict);
    static void bind(QSqlQuery &query, const QUuid &conversation, const Message &m,
                     qint64 position);

    // The conversation's row, unless there is one; its fields follow from refreshConversation.
    static bool addConversation(QSqlDatabase &db, const QUuid &conversation, double started,
                                QString *error);
    // Each of these says why it failed in `error`.
    // The next free position at the end of `conversation`.
    static std::optional<qint64> nextPosition(QSqlDatabase &db, const QUuid &conversation,
                                              QString *error);
    // Makes the conversation's row say what its messages now are: started at its first
    // message, updated at its last, titled by its last; without messages, the row goes.
    static bool refreshConversation(QSqlDatabase &db, const QUuid &conversation, QString *error);

    static QString kindName(MessageKind kind);
};
