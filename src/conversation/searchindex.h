#pragma once

#include "conversation/message.h"

#include <QSqlDatabase>
#include <QString>

// Keeps the full-text index (tables search_text and search_index, see HistoryDatabase) of the
// history in step with the messages: each message write puts its searchable text in the same
// transaction, and removing a message (or its whole conversation) takes its entry with it through
// the tables' own triggers.
class SearchIndex {
public:
    // Makes the entry of `message` say what it now shows; a message that is not searchable
    // has none.
    static bool put(QSqlDatabase &db, const Message &message, QString *error);
    // Indexes every stored message; for the schema step that adds the index to a history that
    // has messages already.
    static bool build(QSqlDatabase &db, QString *error);
};
