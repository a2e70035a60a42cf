#include "chat/openconversation.h"

#include "chat/chatsend.h"
#include "conversation/conversationstore.h"
#include "conversation/historyrowtext.h"

OpenConversation::OpenConversation(const QUuid &id, ConversationStore *store, QObject *parent)
    : QObject(parent), m_id(id), m_store(store)
{
    if (!m_store)
        return;
    MessageList stored = m_store->messages(id);
    for (Message &m : stored) {
        if (m.kind == MessageKind::Arriving) {
            // No send of this run is on its way for it: the program ended before the answer.
            m = [&m] {
                Message notice = Message::notice(HistoryRowText::unanswered());
                notice.id = m.id;
                notice.timestamp = m.timestamp;
                notice.model = m.model;
                return notice;
            }();
        }
    }
    m_model.setMessages(stored);
    connect(m_store, &ConversationStore::historyCleared, this, [this] { m_writeAll = true; });
    // Deleted from the history while a window still shows it: a later change stores all of it,
    // never a conversation made of only its newest messages.
    connect(m_store, &ConversationStore::conversationRemoved, this, [this](const QUuid &id) {
        if (id == m_id)
            m_writeAll = true;
    });
}

OpenConversation::~OpenConversation() = default;

void OpenConversation::write(const MessageList &changed)
{
    if (!m_store)
        return;
    // After a clear or a failed write the stored copy lacks more than this change.
    const bool all = m_writeAll;
    if (m_store->saveMessages(m_id, all ? m_model.messages() : changed))
        m_writeAll = false;
    else
        m_writeAll = true;
}

void OpenConversation::append(const MessageList &messages)
{
    for (const Message &m : messages)
        m_model.append(m);
    write(messages);
}

bool OpenConversation::update(const QList<QUuid> &ids, const std::function<void(Message &)> &change)
{
    MessageList changed;
    for (const QUuid &id : ids) {
        if (const auto row = m_model.indexOf(id)) {
            m_model.update(*row, change);
            changed.append(m_model.at(*row));
        }
    }
    if (changed.isEmpty())
        return false;
    write(changed);
    return true;
}

void OpenConversation::show(const QUuid &id, const std::function<void(Message &)> &change)
{
    if (const auto row = m_model.indexOf(id))
        m_model.update(*row, change);
}

void OpenConversation::showPartial(const QUuid &id, const QString &text)
{
    if (const auto row = m_model.indexOf(id))
        m_model.setContent(*row, text);
}

void OpenConversation::remove(const QList<QUuid> &ids)
{
    for (const QUuid &id : ids) {
        if (const auto row = m_model.indexOf(id))
            m_model.removeAt(*row);
    }
    if (!m_store)
        return;
    if (!m_store->removeMessages(m_id, ids))
        m_writeAll = true;
    else if (m_writeAll)
        write({});
}

void OpenConversation::addSend(ChatSend *send)
{
    m_sends.append(send);
    connect(send, &QObject::destroyed, this, [this] {
        m_sends.removeAll(nullptr);
        emit isGeneratingChanged();
    });
    connect(send, &ChatSend::settled, this, [this] { emit isGeneratingChanged(); });
    emit isGeneratingChanged();
}

QList<ChatSend *> OpenConversation::sends() const
{
    QList<ChatSend *> live;
    for (const QPointer<ChatSend> &send : m_sends) {
        if (send && !send->isSettled() && !send->isDiscarded())
            live.append(send);
    }
    return live;
}

bool OpenConversation::isGenerating() const
{
    return !sends().isEmpty();
}
