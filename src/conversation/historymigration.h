#pragma once

#include "conversation/message.h"

#include <QSqlDatabase>
#include <QString>

// Earlier versions kept the whole history as one JSON blob under the settings key
// "conversations". This turns it into rows, once:
//   1. the blob's bytes are written to a dated file beside the database (a readable history
//      to "conversations-backup-…", an unreadable one to "conversations-unreadable-…", as
//      before);
//   2. one transaction inserts every message and removes the blob.
// A kill before 2 commits leaves the blob where it was, and the next start does it again
// (reusing the copy from 1, when it is there); after it, the history is rows. Nothing is ever
// half converted.
class HistoryMigration {
public:
    struct Outcome {
        int conversations = 0;
        int messages = 0;
        // Where the blob's bytes went; empty when there was nothing to keep.
        QString keptAt;
        bool unreadable = false;
    };

    // The kind of a message read from the stored JSON form, which does not say it: questions,
    // pictures and answers still loading by their fields, notices by the texts that earlier
    // versions stored as notices. A loading flag does not survive: it was a placeholder.
    static void classify(Message &message);

    // Whether the database at `path` (or the open connection) still holds the old blob.
    static bool pending(const QString &path);
    static bool pending(QSqlDatabase &db);

    // Converts the blob in `db`, whose history tables must be ready. False, with the reason,
    // when it could not (nothing changed then); true with nothing to do when there is no blob.
    static bool run(QSqlDatabase &db, Outcome *outcome, QString *error);
    // The same in a connection of its own, for a worker thread.
    static bool run(const QString &path, Outcome *outcome, QString *error);
};
