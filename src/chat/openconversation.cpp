#include "chat/openconversation.h"

#include "chat/chatsend.h"
#include "conversation/conversationstore.h"
#include "conversation/historyrowtext.h"
#include "conversation/shownpath.h"

OpenConversation::OpenConversation(const QUuid &id, ConversationStore *store, QObject *parent)
    : QObject(parent), m_id(id), m_store(store)
{
    m_model.setVariantsOf([this](const QUuid &message) { return variantOf(message); });
    if (!m_store)
        return;
    m_all = m_store->messages(id);
    for (Message &m : m_all) {
        if (m.kind == MessageKind::Arriving) {
            // No send of this run is on its way for it: the program ended before the answer.
            m = [&m] {
                Message notice = Message::notice(HistoryRowText::unanswered());
                notice.id = m.id;
                notice.parentId = m.parentId;
                notice.shownAt = m.shownAt;
                notice.timestamp = m.timestamp;
                notice.model = m.model;
                notice.askedCharacters = m.askedCharacters;
                notice.askedAmount = m.askedAmount;
                return notice;
            }();
        }
    }
    // Kept before messages had parents (written by hand or by an older version after the
    // conversion): one line, stored with its parents at the next write.
    if (std::none_of(m_all.cbegin(), m_all.cend(),
                     [](const Message &m) { return m.parentId.has_value(); }) &&
        m_all.size() > 1) {
        ShownPath::chain(m_all);
        m_writeAll = true;
    }
    reindex();
    showBranch();
    connect(m_store, &ConversationStore::historyCleared, this, [this] { m_writeAll = true; });
    // Deleted from the history while a window still shows it: a later change stores all of it,
    // never a conversation made of only its newest messages.
    connect(m_store, &ConversationStore::conversationRemoved, this, [this](const QUuid &id) {
        if (id == m_id)
            m_writeAll = true;
    });
}

OpenConversation::~OpenConversation() = default;

void OpenConversation::reindex()
{
    m_index.clear();
    m_index.reserve(m_all.size());
    for (int i = 0; i < m_all.size(); ++i)
        m_index.insert(m_all.at(i).id, i);
}

void OpenConversation::showBranch()
{
    showBranch(ShownPath(m_all).path());
}

void OpenConversation::showBranch(const QList<int> &path)
{
    const MessageList &shown = m_model.messages();
    int same = 0;
    while (same < path.size() && same < shown.size() &&
           shown.at(same).id == m_all.at(path.at(same)).id)
        ++same;
    if (same == path.size() && same == shown.size())
        return;
    MessageList tail;
    tail.reserve(path.size() - same);
    for (int i = same; i < path.size(); ++i)
        tail.append(m_all.at(path.at(i)));
    m_model.replaceFrom(same, tail);
}

const Message *OpenConversation::find(const QUuid &id) const
{
    const auto at = m_index.constFind(id);
    return at == m_index.cend() ? nullptr : &m_all.at(*at);
}

std::pair<int, int> OpenConversation::variantOf(const QUuid &id) const
{
    const auto at = m_index.constFind(id);
    if (at == m_index.cend())
        return {1, 1};
    const Message &m = m_all.at(*at);
    // Siblings share the parent (roots: none); counted in stored order, oldest first.
    int place = 0;
    int count = 0;
    for (const Message &other : m_all) {
        if (other.parentId != m.parentId)
            continue;
        ++count;
        if (other.id == id)
            place = count;
    }
    return {place, count};
}

void OpenConversation::write(const MessageList &changed)
{
    if (!m_store)
        return;
    // After a clear or a failed write the stored copy lacks more than this change.
    const bool all = m_writeAll;
    if (m_store->saveMessages(m_id, all ? m_all : changed))
        m_writeAll = false;
    else
        m_writeAll = true;
}

void OpenConversation::append(const MessageList &messages)
{
    const std::optional<QUuid> last =
        m_model.isEmpty() ? std::nullopt : std::optional(m_model.messages().last().id);
    add(messages, last);
    for (qsizetype i = m_all.size() - messages.size(); i < m_all.size(); ++i)
        m_model.append(m_all.at(i));
    write(m_all.mid(m_all.size() - messages.size()));
}

void OpenConversation::branch(const MessageList &messages, const std::optional<QUuid> &parent)
{
    add(messages, parent);
    showBranch();
    write(m_all.mid(m_all.size() - messages.size()));
}

void OpenConversation::add(const MessageList &messages, std::optional<QUuid> parent)
{
    for (Message m : messages) {
        m.parentId = parent;
        parent = m.id;
        m_index.insert(m.id, int(m_all.size()));
        m_all.append(m);
    }
}

std::optional<Message> OpenConversation::change(const QUuid &id,
                                                const std::function<void(Message &)> &change)
{
    const auto at = m_index.constFind(id);
    if (at == m_index.cend())
        return std::nullopt;
    change(m_all[*at]);
    if (const auto row = m_model.indexOf(id))
        m_model.update(*row, [&](Message &m) { m = m_all.at(*at); });
    return m_all.at(*at);
}

bool OpenConversation::update(const QList<QUuid> &ids, const std::function<void(Message &)> &fill)
{
    MessageList changed;
    for (const QUuid &id : ids) {
        if (const auto m = change(id, fill))
            changed.append(*m);
    }
    if (changed.isEmpty())
        return false;
    write(changed);
    return true;
}

void OpenConversation::show(const QUuid &id, const std::function<void(Message &)> &fill)
{
    change(id, fill);
}

void OpenConversation::showPartial(const QUuid &id, const QString &text)
{
    const auto at = m_index.constFind(id);
    if (at == m_index.cend())
        return;
    m_all[*at].content = text;
    if (const auto row = m_model.indexOf(id))
        m_model.setContent(*row, text);
}

void OpenConversation::remove(const QList<QUuid> &ids)
{
    bool removed = false;
    for (const QUuid &id : ids) {
        const auto at = m_index.constFind(id);
        if (at == m_index.cend())
            continue;
        m_all.removeAt(*at);
        reindex();
        removed = true;
    }
    if (removed)
        showBranch();
    if (!m_store)
        return;
    if (!m_store->removeMessages(m_id, ids))
        m_writeAll = true;
    else if (m_writeAll)
        write({});
}

bool OpenConversation::switchVariant(const QUuid &id, int step)
{
    const auto at = m_index.constFind(id);
    if (at == m_index.cend())
        return false;
    const ShownPath paths(m_all);
    const QList<int> siblings = paths.siblings(*at);
    const qsizetype place = siblings.indexOf(*at) + step;
    if (place < 0 || place >= siblings.size())
        return false;
    // The chosen variant's own last leaf comes back into view, marked as put there now.
    const int leaf = paths.leafUnder(siblings.at(place));
    // Later than the leaf in view, which is the latest, even if the clock went back.
    const double inView =
        m_model.isEmpty() ? 0 : ShownPath::shownKey(m_model.messages().last()) + 1e-3;
    m_all[leaf].shownAt = std::max(Message::referenceNow(), inView);
    showBranch(paths.pathTo(leaf));
    write({m_all.at(leaf)});
    return true;
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
        if (send && !send->isSettled())
            live.append(send);
    }
    return live;
}

bool OpenConversation::isGenerating() const
{
    return !sends().isEmpty();
}
