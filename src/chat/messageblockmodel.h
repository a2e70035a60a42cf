#pragma once

#include "chat/messageblocks.h"

#include <QAbstractListModel>
#include <QStringList>
#include <QtQml/qqmlregistration.h>

// The blocks of one assistant message as a list model, in pieces small enough to lay out one
// at a time. A new text changes only the pieces that differ: while an answer streams in, that
// is its last one, so the pieces above it keep their items and their laid-out text.
class MessageBlockModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString content READ content WRITE setContent NOTIFY contentChanged)
    Q_PROPERTY(QStringList languages READ languages WRITE setLanguages NOTIFY languagesChanged)

public:
    enum Role {
        IsCodeRole = Qt::UserRole + 1, // a code block, shown apart and exactly
        TextRole,                      // the piece's text
        LanguageRole,                  // code: the fence's language word, or ""
        FirstRole,                     // the first piece of its block
        LastRole,                      // the last piece of its block
        CodeRole,                      // code, first piece: the whole block
        LineBreaksRole,                // line ends in the piece's text
        BlockLineBreaksRole,           // code: line ends in the whole block
    };

    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    QString content() const { return m_content; }
    void setContent(const QString &content);
    QStringList languages() const { return m_languages; }
    void setLanguages(const QStringList &languages);

signals:
    void contentChanged();
    void languagesChanged();

private:
    void rebuild();

    QString m_content;
    QStringList m_languages;
    QList<MessageBlock> m_blocks;
};
