#include "chat/conversationlistmodel.h"

#include "chat/answercost.h"
#include "chat/historydates.h"

ConversationListModel::ConversationListModel(QObject *parent) : QAbstractListModel(parent)
{
    setStore(ConversationStore::instance());
}

void ConversationListModel::setStore(ConversationStore *store)
{
    disconnect(m_connection);
    m_store = store;
    if (m_store) {
        m_connection = connect(m_store, &ConversationStore::historyChanged, this,
                               &ConversationListModel::reload);
    }
    reload();
}

// Back to the first page: a change may move any row, and the pages the reader had scrolled
// to come again as the list asks for them.
void ConversationListModel::reload()
{
    const qsizetype before = m_rows.size();
    beginResetModel();
    m_rows = m_store ? m_store->historyRows(0, kPageSize) : QList<HistoryRow>();
    m_complete = m_rows.size() < kPageSize;
    endResetModel();
    if (before != m_rows.size())
        emit countChanged();
}

bool ConversationListModel::canFetchMore(const QModelIndex &parent) const
{
    return !parent.isValid() && !m_complete;
}

void ConversationListModel::fetchMore(const QModelIndex &parent)
{
    if (!canFetchMore(parent) || !m_store)
        return;
    const QList<HistoryRow> more = m_store->historyRows(int(m_rows.size()), kPageSize);
    m_complete = more.size() < kPageSize;
    if (more.isEmpty())
        return;
    beginInsertRows(QModelIndex(), int(m_rows.size()), int(m_rows.size() + more.size()) - 1);
    m_rows.append(more);
    endInsertRows();
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
    const HistoryRow &row = m_rows.at(index.row());
    switch (role) {
    case ConversationIdRole:
        return Message::idText(row.id);
    case TitleRole:
    case Qt::DisplayRole:
        return row.text;
    case SectionRole:
        return row.pinned ? HistoryDates::pinnedHeading()
                          : HistoryDates::group(Message::dateTimeOf(row.started),
                                                m_now.value_or(QDateTime::currentDateTime()));
    case DateRole:
        return HistoryDates::shortDate(Message::dateTimeOf(row.started),
                                       m_now.value_or(QDateTime::currentDateTime()));
    case PinnedRole:
        return row.pinned;
    case CostRole: {
        // Read when a row asks for it (its tooltip), not with the page.
        const double total = m_store ? m_store->conversationCost(row.id) : 0;
        return total > 0 ? QStringLiteral("本对话共消耗 %1 积分").arg(AnswerCost::amountText(total))
                         : QString();
    }
    default:
        return {};
    }
}

QHash<int, QByteArray> ConversationListModel::roleNames() const
{
    return {{ConversationIdRole, "conversationId"},
            {TitleRole, "title"},
            {SectionRole, "section"},
            {DateRole, "date"},
            {PinnedRole, "pinned"},
            {CostRole, "cost"}};
}

void ConversationListModel::clearHistory()
{
    if (m_store)
        m_store->clearHistory();
    // The store signals the change; reload anyway so a store that could not write still
    // shows what it holds.
    reload();
}

void ConversationListModel::setNow(const QDateTime &now)
{
    m_now = now;
    if (!m_rows.isEmpty())
        emit dataChanged(index(0), index(int(m_rows.size()) - 1), {SectionRole, DateRole});
}

void ConversationListModel::rename(const QString &conversationId, const QString &name)
{
    if (const auto id = Message::parseId(conversationId); id && m_store)
        m_store->renameConversation(*id, name);
}

void ConversationListModel::setPinned(const QString &conversationId, bool pinned)
{
    if (const auto id = Message::parseId(conversationId); id && m_store)
        m_store->setPinned(*id, pinned);
}

bool ConversationListModel::remove(const QString &conversationId)
{
    const auto id = Message::parseId(conversationId);
    if (!id || !m_store)
        return false;
    std::optional<RemovedConversation> removed = m_store->removeConversation(*id);
    if (!removed)
        return false;
    m_removed = std::move(removed);
    emit canUndoChanged();
    return true;
}

void ConversationListModel::undoRemove()
{
    if (!m_removed)
        return;
    if (m_store)
        m_store->restoreConversation(*m_removed);
    m_removed.reset();
    emit canUndoChanged();
}
