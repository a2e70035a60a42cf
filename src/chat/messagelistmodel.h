#pragma once

#include "conversation/message.h"

#include <QAbstractListModel>
#include <QHash>
#include <QStringList>
#include <QtQml/qqmlregistration.h>

#include <functional>
#include <optional>

// The open conversation of one chat view as a list model. Every change touches only the rows
// it concerns, so a long conversation is never laid out again because one answer arrived.
class MessageListModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Each ChatController owns its list")
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    enum Role {
        MessageIdRole = Qt::UserRole + 1,
        ContentRole,
        IsUserMessageRole,
        TimestampRole,
        IsLoadingRole,
        ImagePathRole,
        IsLastRole,
        CodeLanguagesRole, // the fence words of an answer's code blocks, when still known
    };

    explicit MessageListModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    int count() const { return int(m_messages.size()); }
    const MessageList &messages() const { return m_messages; }
    const Message &at(int row) const { return m_messages.at(row); }
    bool isEmpty() const { return m_messages.isEmpty(); }

    // Row of the message with this id, or nullopt.
    std::optional<int> indexOf(const QUuid &id) const;

    void setMessages(const MessageList &messages);
    void append(const Message &message);
    // Puts `message` in place of the one at `row` (the id may change).
    void replace(int row, const Message &message);
    // Changes the message at `row` in place and reports the change of that row only.
    void update(int row, const std::function<void(Message &)> &change);
    // Changes only the text at `row`, and reports only that role of that row: an answer that
    // grows many times a second touches nothing else.
    void setContent(int row, const QString &content);
    // The fence words of an answer's code blocks, which its stored text no longer holds: kept
    // for as long as the program runs, whichever conversation is open.
    void setCodeLanguages(const QUuid &id, const QStringList &languages);
    void removeAt(int row);
    void clear();

signals:
    void countChanged();

private:
    void lastRowChanged(int row);

    MessageList m_messages;
    QHash<QUuid, QStringList> m_codeLanguages;
};
