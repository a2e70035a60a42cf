#pragma once

#include "conversation/message.h"

#include <QSqlDatabase>
#include <QString>

#include <optional>

// Keeps the full-text index (tables search_text and search_index, see HistoryDatabase) of the
// history in step with the messages: each message write puts its searchable text in the same
// transaction, and removing a message (or its whole conversation) takes its entry with it through
// the tables' own triggers.
class SearchIndex {
public:
    // Makes the entry of `message` say what it now shows; a message that is not searchable
    // has none.
    static bool put(QSqlDatabase &db, const Message &message, QString *error);

    // Indexing a heavy history already stored (the upgrade from the old blob, or from before
    // the index) takes seconds, so the upgrade only lists what it leaves for later
    // (search_backlog) and SearchBackfill works the list off once the window is up.
    // Lists every question and answer that has no entry and is not listed yet, oldest first.
    static bool deferMissing(QSqlDatabase &db, QString *error);
    // Indexes up to `count` listed messages, newest first, and takes them off the list: the
    // number taken, 0 when the list is empty, nullopt on failure. The caller holds the
    // transaction.
    static std::optional<int> indexDeferred(QSqlDatabase &db, int count, QString *error);
    // Whether the list still holds any message.
    static bool hasDeferred(QSqlDatabase &db);
};
