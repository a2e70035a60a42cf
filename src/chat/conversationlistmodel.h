#pragma once

#include "conversation/conversationstore.h"

#include <QAbstractListModel>
#include <QDateTime>
#include <QPointer>
#include <QUuid>
#include <QtQml/qqmlregistration.h>

#include <optional>

// The stored conversations as the history panel lists them: pinned ones first, then by when
// each one started (its first message), newest first, each titled by its name or its latest
// message, under the heading of its group. Reads the rows it is asked to draw, a page at a
// time, never a message body: opening the list costs the same with fifty thousand messages as
// with ten.
class ConversationListModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(int count READ rowCount NOTIFY countChanged)
    // A conversation was deleted and can still be brought back.
    Q_PROPERTY(bool canUndo READ canUndo NOTIFY canUndoChanged)

public:
    enum Role {
        ConversationIdRole = Qt::UserRole + 1,
        TitleRole,   // the row text, as plain text
        SectionRole, // the heading the row is listed under: "已置顶" or its date group
        DateRole,    // the short date of its start
        PinnedRole,
        CostRole, // "本对话共消耗 X 积分", every branch included; empty when nothing was charged
    };

    static constexpr int kPageSize = 50;

    explicit ConversationListModel(QObject *parent = nullptr);

    // Tests point the model at a store of their own; the process-wide one by default.
    void setStore(ConversationStore *store);
    // The moment groups and dates are seen from; the current time unless a test sets one.
    void setNow(const QDateTime &now);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;
    bool canFetchMore(const QModelIndex &parent) const override;
    void fetchMore(const QModelIndex &parent) override;

    // Removes the whole stored history at once; there is no confirmation step.
    Q_INVOKABLE void clearHistory();
    Q_INVOKABLE void rename(const QString &conversationId, const QString &name);
    Q_INVOKABLE void setPinned(const QString &conversationId, bool pinned);
    // Deletes one conversation, keeping it until the next remove or undo; true when it went.
    Q_INVOKABLE bool remove(const QString &conversationId);
    // Puts the last deleted conversation back as it was.
    Q_INVOKABLE void undoRemove();
    bool canUndo() const { return m_removed.has_value(); }

signals:
    void countChanged();
    void canUndoChanged();

private:
    void reload();

    QPointer<ConversationStore> m_store;
    QMetaObject::Connection m_connection;
    QList<HistoryRow> m_rows;
    bool m_complete = true;
    std::optional<RemovedConversation> m_removed;
    std::optional<QDateTime> m_now;
};
