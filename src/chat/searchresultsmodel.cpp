#include "chat/searchresultsmodel.h"

#include "chat/historydates.h"

SearchResultsModel::SearchResultsModel(QObject *parent) : QAbstractListModel(parent)
{
    m_delay.setSingleShot(true);
    m_delay.setInterval(kDelayMs);
    connect(&m_delay, &QTimer::timeout, this, &SearchResultsModel::search);
    setStore(ConversationStore::instance());
}

void SearchResultsModel::setStore(ConversationStore *store)
{
    if (m_store)
        disconnect(m_store, nullptr, this, nullptr);
    m_store = store;
    // An edit or a delete elsewhere changes what the query finds.
    if (m_store) {
        connect(m_store, &ConversationStore::historyChanged, this, [this] {
            if (!m_query.trimmed().isEmpty())
                m_delay.start();
        });
        connect(m_store, &ConversationStore::searchCompleteChanged, this, [this] {
            emit completeChanged();
            if (complete() && !m_query.trimmed().isEmpty())
                search();
        });
    }
    emit completeChanged();
}

void SearchResultsModel::setQuery(const QString &query)
{
    if (query == m_query)
        return;
    m_query = query;
    emit queryChanged();
    setSettled(false);
    m_delay.start();
}

void SearchResultsModel::search()
{
    m_delay.stop();
    const qsizetype before = m_hits.size();
    beginResetModel();
    m_hits = m_store && !m_query.trimmed().isEmpty() ? m_store->search(m_query, kLimit)
                                                     : QList<SearchHit>();
    endResetModel();
    if (before != m_hits.size())
        emit countChanged();
    setSettled(true);
}

void SearchResultsModel::setSettled(bool settled)
{
    if (settled == m_settled)
        return;
    m_settled = settled;
    emit settledChanged();
}

int SearchResultsModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_hits.size());
}

QVariant SearchResultsModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const SearchHit &hit = m_hits.at(index.row());
    switch (role) {
    case MessageIdRole:
        return Message::idText(hit.message);
    case ConversationIdRole:
        return Message::idText(hit.conversation);
    case ConversationTextRole:
        return hit.conversationText;
    case DateRole:
        return HistoryDates::shortDate(Message::dateTimeOf(hit.timestamp),
                                       m_now.value_or(QDateTime::currentDateTime()));
    case SnippetRole:
    case Qt::DisplayRole:
        return hit.snippet;
    case SnippetMarkupRole: {
        QString markup;
        qsizetype done = 0;
        for (const auto &[at, length] : hit.marks) {
            markup += hit.snippet.mid(done, at - done).toHtmlEscaped();
            markup += QStringLiteral("<b>") + hit.snippet.mid(at, length).toHtmlEscaped() +
                      QStringLiteral("</b>");
            done = at + length;
        }
        return markup + hit.snippet.mid(done).toHtmlEscaped();
    }
    default:
        return {};
    }
}

QHash<int, QByteArray> SearchResultsModel::roleNames() const
{
    return {{MessageIdRole, "messageId"},
            {ConversationIdRole, "conversationId"},
            {ConversationTextRole, "conversationText"},
            {DateRole, "date"},
            {SnippetRole, "snippet"},
            {SnippetMarkupRole, "snippetMarkup"}};
}
