#include "conversation/shownpath.h"

#include <algorithm>

ShownPath::ShownPath(const MessageList &all) : m_all(all)
{
    m_linear = std::none_of(all.cbegin(), all.cend(),
                            [](const Message &m) { return m.parentId.has_value(); });
    m_index.reserve(all.size());
    for (int i = 0; i < all.size(); ++i)
        m_index.insert(all.at(i).id, i);
    for (int i = 0; i < all.size(); ++i)
        m_children[parentOf(i)].append(i);
    // Parents that go round in a circle (a hand-edited import) would put their messages out of
    // reach: each such message found first becomes a root.
    QList<bool> reached(all.size(), false);
    const auto reach = [&](int from) {
        QList<int> pending{from};
        while (!pending.isEmpty()) {
            const int at = pending.takeLast();
            for (const int child : m_children.value(at)) {
                if (!reached.at(child)) {
                    reached[child] = true;
                    pending.append(child);
                }
            }
        }
    };
    reach(-1);
    for (int i = 0; i < all.size(); ++i) {
        if (reached.at(i))
            continue;
        m_children[parentOf(i)].removeOne(i);
        m_roots.insert(i);
        m_children[-1].append(i);
        reached[i] = true;
        reach(i);
    }
}

int ShownPath::parentOf(int i) const
{
    if (m_linear)
        return i - 1;
    if (m_roots.contains(i))
        return -1;
    const std::optional<QUuid> &parent = m_all.at(i).parentId;
    // A parent that is not here (removed, or never imported) leaves its child a root, so no
    // message is ever out of reach.
    return parent ? m_index.value(*parent, -1) : -1;
}

bool ShownPath::later(int a, int b) const
{
    const double ka = shownKey(m_all.at(a));
    const double kb = shownKey(m_all.at(b));
    return ka != kb ? ka > kb : a > b;
}

int ShownPath::leafUnder(int i) const
{
    int best = -1;
    QList<int> pending{i};
    while (!pending.isEmpty()) {
        const int at = pending.takeLast();
        const auto children = m_children.constFind(at);
        if (children == m_children.cend() || children->isEmpty()) {
            if (best < 0 || later(at, best))
                best = at;
            continue;
        }
        pending.append(*children);
    }
    return best;
}

QList<int> ShownPath::path() const
{
    int leaf = -1;
    for (const int root : m_children.value(-1)) {
        const int candidate = leafUnder(root);
        if (leaf < 0 || later(candidate, leaf))
            leaf = candidate;
    }
    return pathTo(leaf);
}

QList<int> ShownPath::pathTo(int i) const
{
    QList<int> out;
    for (int at = i; at >= 0; at = parentOf(at))
        out.append(at);
    std::reverse(out.begin(), out.end());
    return out;
}

QList<int> ShownPath::siblings(int i) const
{
    return m_children.value(parentOf(i));
}

void ShownPath::chain(MessageList &messages)
{
    if (std::any_of(messages.cbegin(), messages.cend(),
                    [](const Message &m) { return m.parentId.has_value(); }))
        return;
    for (qsizetype i = 1; i < messages.size(); ++i)
        messages[i].parentId = messages.at(i - 1).id;
}

MessageList ShownPath::shown(const MessageList &all)
{
    MessageList out;
    for (const int i : ShownPath(all).path())
        out.append(all.at(i));
    return out;
}
