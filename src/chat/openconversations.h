#pragma once

#include "core/registeredinstance.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QUuid>

class ConversationStore;
class OpenConversation;

// The conversations held in memory, one object each, however many windows show one and
// whichever sends still write to one. A conversation nobody holds any more is let go, so
// memory follows what is open, not the size of the history.
class OpenConversations : public QObject, public RegisteredInstance<OpenConversations> {
    Q_OBJECT

public:
    explicit OpenConversations(ConversationStore *store, QObject *parent = nullptr);
    ~OpenConversations() override;

    // The one object for `id`, read from the store if nobody holds it now.
    QSharedPointer<OpenConversation> open(const QUuid &id);
    int openCount() const;

private:
    QPointer<ConversationStore> m_store;
    QHash<QUuid, QWeakPointer<OpenConversation>> m_open;
};
