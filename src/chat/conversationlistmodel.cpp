#include "chat/conversationlistmodel.h"

#include "conversation/conversationstore.h"

#include <algorithm>
#include <limits>

ConversationListModel::ConversationListModel(QObject *parent) : QAbstractListModel(parent)
{
    setStore(ConversationStore::instance());
}

void ConversationListModel::setStore(ConversationStore *store)
{
    disconnect(m_connection);
    m_store = store;
    if (m_store) {
        m_connection = connect(m_store, &ConversationStore::conversationsChanged, this,
                               &ConversationListModel::rebuild);
    }
    rebuild();
}

void ConversationListModel::rebuild()
{
    struct Keyed {
        double started;
        Row row;
    };
    QList<Keyed> keyed;
    if (m_store) {
        const ConversationMap &map = m_store->conversations();
        keyed.reserve(map.size());
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            const MessageList &list = it.value();
            if (list.isEmpty()) {
                keyed.append(
                    {std::numeric_limits<double>::lowest(), {it.key(), QStringLiteral("无标题")}});
                continue;
            }
            const Message &last = list.last();
            keyed.append(
                {list.first().timestamp,
                 {it.key(), last.cachedImagePath ? QStringLiteral("【图片】") : last.content}});
        }
    }
    // Equal start times have no order of their own; the id keeps the list stable between
    // rebuilds so rows do not jump around.
    std::sort(keyed.begin(), keyed.end(), [](const Keyed &a, const Keyed &b) {
        if (a.started != b.started)
            return a.started > b.started;
        return a.row.id < b.row.id;
    });

    const int before = m_rows.size();
    beginResetModel();
    m_rows.clear();
    m_rows.reserve(keyed.size());
    for (Keyed &k : keyed)
        m_rows.append(std::move(k.row));
    endResetModel();
    if (before != m_rows.size())
        emit countChanged();
}

int ConversationListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant ConversationListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Row &row = m_rows.at(index.row());
    switch (role) {
    case ConversationIdRole:
        return Message::idText(row.id);
    case TitleRole:
    case Qt::DisplayRole:
        return row.title;
    default:
        return {};
    }
}

QHash<int, QByteArray> ConversationListModel::roleNames() const
{
    return {{ConversationIdRole, "conversationId"}, {TitleRole, "title"}};
}

void ConversationListModel::clearHistory()
{
    if (m_store)
        m_store->clearHistory();
    // The store signals the change; rebuild anyway so a store that stays silent on an
    // already empty history still leaves an empty list.
    rebuild();
}
