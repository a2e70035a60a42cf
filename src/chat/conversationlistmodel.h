#pragma once

#include "conversation/conversationstore.h"

#include <QAbstractListModel>
#include <QPointer>
#include <QUuid>
#include <QtQml/qqmlregistration.h>

// The stored conversations as the history panel lists them: ordered by when each one started
// (its first message), newest first, each titled by its latest message. Reads the rows it is
// asked to draw, a page at a time, never a message body: opening the list costs the same with
// fifty thousand messages as with ten.
class ConversationListModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(int count READ rowCount NOTIFY countChanged)

public:
    enum Role {
        ConversationIdRole = Qt::UserRole + 1,
        TitleRole, // the row text, as plain text
        CostRole, // "本对话共消耗 X 积分", every branch included; empty when nothing was charged
    };

    static constexpr int kPageSize = 50;

    explicit ConversationListModel(QObject *parent = nullptr);

    // Tests point the model at a store of their own; the process-wide one by default.
    void setStore(ConversationStore *store);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;
    bool canFetchMore(const QModelIndex &parent) const override;
    void fetchMore(const QModelIndex &parent) override;

    // Removes the whole stored history at once; there is no confirmation step.
    Q_INVOKABLE void clearHistory();

signals:
    void countChanged();

private:
    void reload();

    QPointer<ConversationStore> m_store;
    QMetaObject::Connection m_connection;
    QList<HistoryRow> m_rows;
    bool m_complete = true;
};
