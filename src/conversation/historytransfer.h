#pragma once

#include <QString>

class ConversationStore;

// The history as a file, for backups and scripts: the stored JSON form of earlier versions
// (an array alternating a conversation id and its message list), each answer with the model's
// own text as "content". Readers of that form ignore members they do not know, and an answer
// still arriving is written as what a restart would show in its place.
class HistoryTransfer {
public:
    struct Result {
        bool ok = false;
        int conversations = 0;
        int messages = 0;
        QString error;
    };

    static Result exportTo(const ConversationStore &store, const QString &path);
    // Merges the file's conversations into the store; messages already there (by id) are kept
    // and skipped, so importing twice changes nothing. A file that is not that form changes
    // nothing at all.
    static Result importFrom(ConversationStore &store, const QString &path);
};
