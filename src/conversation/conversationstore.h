#pragma once

#include "conversation/historysearch.h"
#include "conversation/message.h"
#include "core/registeredinstance.h"

#include <QObject>
#include <QPointer>
#include <QSqlDatabase>
#include <QUuid>

#include <optional>

class QSqlQuery;
class SearchBackfill;
class SettingsStore;

// A whole conversation, for export and import.
struct StoredConversation {
    QUuid id;
    MessageList messages;
};

// A conversation as it was before it was deleted, for undoing that.
struct RemovedConversation {
    QUuid id;
    std::optional<QString> name;
    bool pinned = false;
    MessageList messages;
};

// One line of the history list, as the list reads it: never a message body.
struct HistoryRow {
    QUuid id;
    QString text;
    double started = 0;
    bool pinned = false;
};

// Every conversation kept on this machine, as rows in the settings database: one row per
// message and one per conversation, shared by all chat views of the process. Each change is
// one short transaction that touches only the rows it changes, so a save costs the same with
// a year of history as with none, and nothing is held in memory but what a caller asks for.
//
// A history kept by an earlier version as one blob is converted the first time the store
// opens the file (see HistoryMigration), unless the program did so before.
class ConversationStore : public QObject, public RegisteredInstance<ConversationStore> {
    Q_OBJECT

public:
    // Uses the settings store's own connection: the two share the file and its transactions.
    explicit ConversationStore(SettingsStore *settings, QObject *parent = nullptr);

    // False when the database could not take the history tables (it then reads as empty and
    // refuses writes, and the next start tries again).
    bool isAvailable() const { return m_available; }

    // Reads: what is stored now.
    // Every message of every branch, in stored order.
    MessageList messages(const QUuid &conversation) const;
    // The branch in view, oldest first: what a reader of the conversation (an export) follows.
    MessageList shownMessages(const QUuid &conversation) const;
    bool contains(const QUuid &conversation) const;
    int conversationCount() const;
    // The history list's rows from `offset`: pinned first, then newest start first.
    QList<HistoryRow> historyRows(int offset, int limit) const;
    // The newest `limit` questions and answers that hold every word of `query`.
    QList<SearchHit> search(const QString &query, int limit) const;
    // What the newest `count` answers with a recorded charge cost, each with its question's
    // charge, newest first.
    QList<double> recentAnswerCosts(int count) const;
    // Everything charged in `conversation`, every branch included: it was all deducted.
    double conversationCost(const QUuid &conversation) const;

    // Writes, each one transaction; false when it did not reach the disk (logged, and nothing
    // of it is stored). Messages already stored are updated in place; new ones are added at
    // the end of the conversation, in the order given.
    bool saveMessages(const QUuid &conversation, const MessageList &messages);
    bool saveMessage(const QUuid &conversation, const Message &message)
    {
        return saveMessages(conversation, {message});
    }
    bool removeMessages(const QUuid &conversation, const QList<QUuid> &ids);
    // A name the user gave; an empty one gives the row its automatic text back.
    bool renameConversation(const QUuid &conversation, const QString &name);
    bool setPinned(const QUuid &conversation, bool pinned);
    // Removes one conversation; what it was, for restoreConversation, or nullopt when nothing
    // was removed.
    std::optional<RemovedConversation> removeConversation(const QUuid &conversation);
    // Puts a removed conversation back as it was: messages, name, pin and place.
    bool restoreConversation(const RemovedConversation &removed);
    // Removes every conversation; logs "历史记录已清除".
    bool clearHistory();
    // Every conversation as one consistent snapshot (one read transaction), for export;
    // nullopt when it could not be read.
    std::optional<QList<StoredConversation>> allConversations() const;
    // Adds the messages that are not stored yet (by id), keeping those that are, all in one
    // transaction; for import. The number added, or nullopt when nothing was written.
    std::optional<int> addMissing(const QList<StoredConversation> &conversations);

    // Where the old blob's bytes were kept when this store converted it; empty otherwise.
    QString backupPath() const { return m_backupPath; }

    // Whether every question and answer is in the search index: false after an upgrade left
    // the indexing of what was there for later, until completeSearchIndex is done with it.
    bool isSearchComplete() const { return m_searchComplete; }
    // Indexes what an upgrade left unindexed, on a worker; the program calls it once its window
    // is up. Nothing happens when nothing is left.
    void completeSearchIndex();

signals:
    // The list of conversations changed (a row's text, order or presence).
    void historyChanged();
    // Everything is gone: views that hold a conversation write all of it at its next change.
    void historyCleared();
    // The same for one conversation.
    void conversationRemoved(const QUuid &conversation);
    // isSearchComplete changed: an upgrade's list was found, or worked off.
    void searchCompleteChanged();

private:
    template <typename Write> bool write(Write &&body);
    // One column of a conversation's row (its name or its pin), one of ours, never the user's.
    bool setConversationField(const QString &column, const QUuid &conversation,
                              const QVariant &value);
    // Inside a write: the messages of `messages` (not empty) that are not stored yet, added at
    // the end of `conversation` (made when absent) with their search entries; how many were
    // added. `insert` is prepared with MessageRows' skipping insert.
    std::optional<int> addMissingMessages(QSqlQuery &insert, const QUuid &conversation,
                                          const MessageList &messages, QString &error);

    QPointer<SettingsStore> m_settings;
    mutable QSqlDatabase m_db;
    bool m_available = false;
    QString m_backupPath;
    bool m_searchComplete = true;
    SearchBackfill *m_backfill = nullptr; // a child, while it runs
};
