#include "chat/messagelistmodel.h"

MessageListModel::MessageListModel(QObject *parent) : QAbstractListModel(parent) {}

int MessageListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_messages.size());
}

QVariant MessageListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Message &m = m_messages.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case ContentRole:
        return shown(index.row()).text;
    case CopyTextRole:
        return tidied(index.row());
    case MessageIdRole:
        return Message::idText(m.id);
    case IsUserMessageRole:
        return m.isUserMessage;
    case TimestampRole:
        return m.timestamp;
    case IsLoadingRole:
        return m.isLoading;
    case ImagePathRole:
        return m.cachedImagePath.value_or(QString());
    case IsLastRole:
        return index.row() == m_messages.size() - 1;
    case CodeLanguagesRole:
        return shown(index.row()).languages;
    default:
        return {};
    }
}

QHash<int, QByteArray> MessageListModel::roleNames() const
{
    return {
        {MessageIdRole, "messageId"},
        {ContentRole, "content"},
        {IsUserMessageRole, "isUserMessage"},
        {TimestampRole, "timestamp"},
        {IsLoadingRole, "isLoading"},
        {ImagePathRole, "imagePath"},
        {IsLastRole, "isLast"},
        {CodeLanguagesRole, "codeLanguages"},
        {CopyTextRole, "copyText"},
    };
}

const AnswerDisplay::Shown &MessageListModel::shown(int row) const
{
    Worked &worked = m_worked[row];
    if (!worked.hasShown) {
        worked.shown = AnswerDisplay::shown(m_messages.at(row));
        worked.hasShown = true;
    }
    return worked.shown;
}

const QString &MessageListModel::tidied(int row) const
{
    Worked &worked = m_worked[row];
    if (!worked.hasTidied) {
        worked.tidied = AnswerDisplay::tidied(m_messages.at(row));
        worked.hasTidied = true;
    }
    return worked.tidied;
}

std::optional<int> MessageListModel::indexOf(const QUuid &id) const
{
    for (qsizetype i = m_messages.size() - 1; i >= 0; --i) {
        if (m_messages.at(i).id == id)
            return int(i);
    }
    return std::nullopt;
}

void MessageListModel::lastRowChanged(int row)
{
    if (row < 0 || row >= m_messages.size())
        return;
    const QModelIndex i = index(row);
    emit dataChanged(i, i, {IsLastRole});
}

void MessageListModel::setMessages(const MessageList &messages)
{
    beginResetModel();
    m_messages = messages;
    m_worked = QList<Worked>(messages.size());
    endResetModel();
    emit countChanged();
}

void MessageListModel::append(const Message &message)
{
    const int row = int(m_messages.size());
    beginInsertRows(QModelIndex(), row, row);
    m_messages.append(message);
    m_worked.append(Worked());
    endInsertRows();
    lastRowChanged(row - 1);
    emit countChanged();
}

void MessageListModel::update(int row, const std::function<void(Message &)> &change)
{
    if (row < 0 || row >= m_messages.size())
        return;
    change(m_messages[row]);
    m_worked[row] = Worked();
    const QModelIndex i = index(row);
    emit dataChanged(i, i);
}

void MessageListModel::setContent(int row, const QString &content)
{
    if (row < 0 || row >= m_messages.size() || m_messages.at(row).content == content)
        return;
    m_messages[row].content = content;
    m_worked[row] = Worked();
    const QModelIndex i = index(row);
    emit dataChanged(i, i, {ContentRole, CodeLanguagesRole, CopyTextRole});
}

void MessageListModel::removeAt(int row)
{
    if (row < 0 || row >= m_messages.size())
        return;
    const bool wasLast = row == m_messages.size() - 1;
    beginRemoveRows(QModelIndex(), row, row);
    m_messages.removeAt(row);
    m_worked.removeAt(row);
    endRemoveRows();
    if (wasLast)
        lastRowChanged(row - 1);
    emit countChanged();
}

void MessageListModel::clear()
{
    setMessages({});
}

int MessageListModel::rowOf(const QString &messageId) const
{
    const std::optional<QUuid> id = Message::parseId(messageId);
    return id ? indexOf(*id).value_or(-1) : -1;
}
