#pragma once

#include "messageblocks.h"

#include <QAbstractListModel>
#include <QtQml/qqmlregistration.h>

// The blocks of one assistant message as a list model. A new text changes only the blocks that
// differ: while an answer streams in, that is its last block, so the blocks above it keep their
// items and their laid-out text.
class MessageBlockModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString content READ content WRITE setContent NOTIFY contentChanged)

public:
    enum Role {
        IsCodeRole = Qt::UserRole + 1, // a code block, shown apart and exactly
        TextRole,                      // the block's text
    };

    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    QString content() const { return m_content; }
    void setContent(const QString &content);

signals:
    void contentChanged();

private:
    QString m_content;
    QList<MessageBlock> m_blocks;
};
