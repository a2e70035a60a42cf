#include "chat/openconversations.h"

#include "chat/openconversation.h"
#include "conversation/conversationstore.h"

OpenConversations::OpenConversations(ConversationStore *store, QObject *parent)
    : QObject(parent), m_store(store)
{}

OpenConversations::~OpenConversations() = default;

QSharedPointer<OpenConversation> OpenConversations::open(const QUuid &id)
{
    if (QSharedPointer<OpenConversation> held = m_open.value(id).toStrongRef())
        return held;
    // Deleted later, not at once: the last holder may be a send settling inside its own
    // call stack.
    QSharedPointer<OpenConversation> opened(new OpenConversation(id, m_store),
                                            &QObject::deleteLater);
    m_open.insert(id, opened);
    // Forget the ones nobody holds any more.
    m_open.removeIf([](const auto &entry) { return entry.value().isNull(); });
    return opened;
}

int OpenConversations::openCount() const
{
    int count = 0;
    for (const QWeakPointer<OpenConversation> &weak : m_open)
        count += weak.isNull() ? 0 : 1;
    return count;
}
