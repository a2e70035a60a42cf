#pragma once

#include "conversation/conversationcodec.h"
#include "core/registeredinstance.h"

#include <QObject>
#include <QPointer>
#include <QtQml/qqmlregistration.h>

#include <optional>

class SettingsStore;

// Every conversation saved on this machine, shared by all chat views of the process so that a
// save from one view never drops what another view saved. Stored whole under the settings key
// "conversations" at every save.
//
// The stored history is read and decoded the first time anything asks for it, not when the
// store is made: a start that only shows a new chat never pays for a long history.
//
// A stored blob that cannot be read loads as an empty history; its bytes are copied to a
// time-stamped file beside the settings database before the first write replaces them.
class ConversationStore : public QObject, public RegisteredInstance<ConversationStore> {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    explicit ConversationStore(SettingsStore *settings, QObject *parent = nullptr);

    const ConversationMap &conversations() const;

    // Re-reads the stored blob; an absent or unreadable one gives an empty map.
    const ConversationMap &loadConversations();
    void saveConversations();
    // Stores `messages` under `id` and saves; an empty list is never stored.
    void saveCurrentConversation(const QUuid &id, const MessageList &messages);
    // Removes the stored blob and empties the map; logs "历史记录已清除".
    void clearHistory();
    // Drops the two messages (a regenerated question and answer) from the stored copy of
    // `conversation`, then saves whether or not there was a stored copy.
    void removeMessages(const QUuid &conversation, const QUuid &first, const QUuid &second);

    // Where the unreadable blob went, once it was kept; empty otherwise.
    QString backupPath() const { return m_backupPath; }

signals:
    void conversationsChanged();
    // One conversation was written whole; a view that shows it takes the stored copy in.
    void conversationSaved(const QUuid &id);

private:
    // Reads the stored blob unless that was done already.
    void ensureLoaded() const;
    void decode(std::optional<QByteArray> blob) const;
    bool keepUnreadableBlob();

    void forget(const QUuid &id) { m_encoded.remove(id); }

    QPointer<SettingsStore> m_settings;
    // Filled from the stored blob on first use; reading does not change what the store holds.
    mutable bool m_loaded = false;
    mutable ConversationMap m_map;
    // Each conversation's encoded message array, kept between saves so that a save re-encodes
    // only what changed; the whole history is still written every time.
    QHash<QUuid, QByteArray> m_encoded;
    mutable std::optional<QByteArray> m_unreadable; // bytes not yet kept in a file
    QString m_backupPath;
};
