#pragma once

#include <QAbstractListModel>
#include <QPointer>
#include <QUuid>
#include <QtQml/qqmlregistration.h>

class ConversationStore;

// The stored conversations as the history panel lists them: ordered by when each one started
// (its first message), newest first, each titled by its latest message.
class ConversationListModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(int count READ rowCount NOTIFY countChanged)

public:
    enum Role { ConversationIdRole = Qt::UserRole + 1, TitleRole };

    explicit ConversationListModel(QObject *parent = nullptr);

    // Tests point the model at a store of their own; the process-wide one by default.
    void setStore(ConversationStore *store);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    // Removes the whole stored history at once; there is no confirmation step.
    Q_INVOKABLE void clearHistory();

signals:
    void countChanged();

private:
    struct Row {
        QUuid id;
        QString title;
    };

    void rebuild();

    QPointer<ConversationStore> m_store;
    QMetaObject::Connection m_connection;
    QList<Row> m_rows;
};
