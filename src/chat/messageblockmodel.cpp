#include "chat/messageblockmodel.h"

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
    case LanguageRole:
        return block.language;
    case FirstRole:
        return block.first;
    case LastRole:
        return block.last;
    case CodeRole:
        return block.code;
    case LineBreaksRole:
        return block.lineBreaks;
    case BlockLineBreaksRole:
        return block.blockLineBreaks;
    default:
        return {};
    }
}

QHash<int, QByteArray> MessageBlockModel::roleNames() const
{
    return {{IsCodeRole, "isCode"},
            {TextRole, "text"},
            {LanguageRole, "language"},
            {FirstRole, "first"},
            {LastRole, "last"},
            {CodeRole, "code"},
            {LineBreaksRole, "lineBreaks"},
            {BlockLineBreaksRole, "blockLineBreaks"}};
}

void MessageBlockModel::setContent(const QString &content)
{
    if (content == m_content)
        return;
    m_content = content;
    // Before the rows change, so that delegates made for them see the new text's size.
    emit contentChanged();
    rebuild();
}

void MessageBlockModel::setLanguages(const QStringList &languages)
{
    if (languages == m_languages)
        return;
    m_languages = languages;
    rebuild();
    emit languagesChanged();
}

void MessageBlockModel::rebuild()
{
    const QList<MessageBlock> blocks = MessageBlocks::pieces(m_content, m_languages);
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
        if (was.language != now.language)
            roles.append(LanguageRole);
        if (was.first != now.first)
            roles.append(FirstRole);
        if (was.last != now.last)
            roles.append(LastRole);
        if (was.code != now.code)
            roles.append(CodeRole);
        if (was.lineBreaks != now.lineBreaks)
            roles.append(LineBreaksRole);
        if (was.blockLineBreaks != now.blockLineBreaks)
            roles.append(BlockLineBreaksRole);
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
}
