#include "messageblockmodel.h"

int MessageBlockModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_blocks.size());
}

QVariant MessageBlockModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const MessageBlock &block = m_blocks.at(index.row());
    switch (role) {
    case IsCodeRole:
        return block.isCode;
    case Qt::DisplayRole:
    case TextRole:
        return block.text;
    default:
        return {};
    }
}

QHash<int, QByteArray> MessageBlockModel::roleNames() const
{
    return {{IsCodeRole, "isCode"}, {TextRole, "text"}};
}

void MessageBlockModel::setContent(const QString &content)
{
    if (content == m_content)
        return;
    m_content = content;
    const QList<MessageBlock> blocks = MessageBlocks::split(content);
    const int kept = int(std::min(blocks.size(), m_blocks.size()));
    for (int row = 0; row < kept; ++row) {
        const MessageBlock &was = m_blocks.at(row);
        const MessageBlock &now = blocks.at(row);
        if (was == now)
            continue;
        QList<int> roles;
        if (was.isCode != now.isCode)
            roles.append(IsCodeRole);
        if (was.text != now.text)
            roles.append(TextRole);
        m_blocks[row] = now;
        emit dataChanged(index(row), index(row), roles);
    }
    if (blocks.size() > kept) {
        beginInsertRows(QModelIndex(), kept, int(blocks.size()) - 1);
        m_blocks.append(blocks.mid(kept));
        endInsertRows();
    } else if (m_blocks.size() > kept) {
        beginRemoveRows(QModelIndex(), kept, int(m_blocks.size()) - 1);
        m_blocks.resize(kept);
        endRemoveRows();
    }
    emit contentChanged();
}
