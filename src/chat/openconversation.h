#pragma once

#include "chat/messagelistmodel.h"
#include "conversation/message.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QUuid>

#include <functional>

class ChatSend;
class ConversationStore;

// A conversation that a window shows or a send still writes to: its messages in memory, as one
// list model that every window showing it draws, and the sends on their way in it. Each change
// is made here once and written at once as the rows it touches, so there is no copy to merge
// and no other conversation is ever rewritten.
//
// The history may have been cleared, or a write may have failed (a full disk), since this
// conversation last wrote: its next write then stores all of it, so that the history gets it
// back whole as soon as there is room.
class OpenConversation : public QObject {
    Q_OBJECT

public:
    // Reads the stored messages of `id`, if any. An answer that was still arriving when an
    // earlier run ended shows as the notice it stands for.
    OpenConversation(const QUuid &id, ConversationStore *store, QObject *parent = nullptr);
    ~OpenConversation() override;

    QUuid id() const { return m_id; }
    MessageListModel *model() { return &m_model; }
    // The branch in view, oldest first: what the list shows and a request's context is made of.
    const MessageList &messages() const { return m_model.messages(); }
    // Every message of every branch, in stored order.
    const MessageList &allMessages() const { return m_all; }
    const Message *find(const QUuid &id) const;

    // Changes, each shown at once and written as one transaction.
    // Adds `messages` at the end of the branch in view, each following the one before, unless
    // it already says what it follows (a variant).
    void append(const MessageList &messages);
    // Adds `messages` as a new branch after `parent` (none: a new first question) and puts it
    // in view: a regenerated answer, an edited question with its answer.
    void branch(const MessageList &messages, const std::optional<QUuid> &parent);
    // Changes the messages `ids` that are here and writes them together; false when none is.
    bool update(const QList<QUuid> &ids, const std::function<void(Message &)> &change);
    // Changes how the message `id` shows, without writing it (a state the row already has).
    void show(const QUuid &id, const std::function<void(Message &)> &change);
    // Shows `text` as the answer `id` so far, without writing it.
    void showPartial(const QUuid &id, const QString &text);
    void remove(const QList<QUuid> &ids);
    // Puts the sibling `step` places from the message `id` in view (-1 the one before, 1 the
    // one after), with the continuation it had; false when there is none.
    bool switchVariant(const QUuid &id, int step);
    // Where the message `id` is among its siblings: (1-based place, how many); (1, 1) alone.
    std::pair<int, int> variantOf(const QUuid &id) const;

    // The sends on their way in this conversation, for the stop button.
    void addSend(ChatSend *send);
    QList<ChatSend *> sends() const;
    bool isGenerating() const;

signals:
    void isGeneratingChanged();
    // A send ended with something new at the end: the views that follow it move there.
    void scrollToEndRequested();

private:
    void write(const MessageList &changed);
    // Indexes m_all again and makes the list show the branch now in view, changing only the
    // rows from the first that differs.
    void reindex();
    void add(const MessageList &messages, std::optional<QUuid> parent);
    void showBranch();
    void showBranch(const QList<int> &path);
    // Applies `change` to the message `id` in m_all and in the list when shown; the changed
    // message, or nullopt.
    std::optional<Message> change(const QUuid &id, const std::function<void(Message &)> &change);

    QUuid m_id;
    MessageList m_all;
    QHash<QUuid, int> m_index;
    QPointer<ConversationStore> m_store;
    MessageListModel m_model;
    QList<QPointer<ChatSend>> m_sends;
    bool m_writeAll = false;
};
