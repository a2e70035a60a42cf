#pragma once

#include "conversation/message.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QUuid>

// Which of a conversation's messages are in view. Messages form a tree by their parents; a
// regenerated answer or an edited question is a sibling of what it replaces. The branch in view
// runs from a root to the leaf last put in view: the newest leaf, unless the user switched to
// another branch since, which marks that branch's own last leaf as put in view then. So one
// value per switch says what is shown, and switching back to a variant brings back the
// continuation it had.
class ShownPath {
public:
    // `all`: one conversation's messages, in stored order. Kept by reference.
    explicit ShownPath(const MessageList &all);

    // Indexes into `all` of the messages in view, oldest first.
    QList<int> path() const;
    // Indexes of the messages from a root down to the one at `i`.
    QList<int> pathTo(int i) const;
    // Indexes of the message at `i` and its siblings, in stored order.
    QList<int> siblings(int i) const;
    // The leaf that is in view when the message at `i` is: its subtree's last put in view.
    int leafUnder(int i) const;

    // When the message at `i` was put in view.
    static double shownKey(const Message &m) { return m.shownAt.value_or(m.timestamp); }
    // A list kept before messages had parents is one line: each follows the one before.
    static void chain(MessageList &messages);
    // The messages in view of `all`.
    static MessageList shown(const MessageList &all);

private:
    bool later(int a, int b) const;
    int parentOf(int i) const;

    const MessageList &m_all;
    // Kept before messages had parents: one line in stored order.
    bool m_linear = false;
    QSet<int> m_roots; // messages made roots to break a circle of parents
    QHash<QUuid, int> m_index;
    // Children of each message by index; roots under -1.
    QHash<int, QList<int>> m_children;
};
