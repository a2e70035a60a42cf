#pragma once

#include "conversation/conversationstore.h"

#include <QAbstractListModel>
#include <QDateTime>
#include <QPointer>
#include <QTimer>
#include <QtQml/qqmlregistration.h>

#include <optional>

// The messages of the history that hold what the user types in the history's search field,
// newest first, one row per message. Searches a moment after the typing stops, so a query is
// not run for every key.
class SearchResultsModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString query READ query WRITE setQuery NOTIFY queryChanged)
    Q_PROPERTY(int count READ rowCount NOTIFY countChanged)
    // The results shown are those of the current query (false while the typing goes on).
    Q_PROPERTY(bool settled READ settled NOTIFY settledChanged)
    // False while the index is still being built after an upgrade: older messages may be
    // missing from the results until it is done (the search then runs again by itself).
    Q_PROPERTY(bool complete READ complete NOTIFY completeChanged)

public:
    enum Role {
        MessageIdRole = Qt::UserRole + 1,
        ConversationIdRole,
        ConversationTextRole, // the conversation's row text or name
        DateRole,             // the short date of the message
        SnippetRole,          // the text around the match, as plain text
        SnippetMarkupRole,    // the same, escaped, with the matched words in <b>
    };

    // More than anyone reads through; a query that finds more is too broad to be useful.
    static constexpr int kLimit = 200;
    static constexpr int kDelayMs = 200;

    explicit SearchResultsModel(QObject *parent = nullptr);

    void setStore(ConversationStore *store);
    void setNow(const QDateTime &now) { m_now = now; }

    QString query() const { return m_query; }
    void setQuery(const QString &query);
    bool settled() const { return m_settled; }
    bool complete() const { return !m_store || m_store->isSearchComplete(); }
    // Runs the pending search now.
    Q_INVOKABLE void search();

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

signals:
    void queryChanged();
    void countChanged();
    void settledChanged();
    void completeChanged();

private:
    void setSettled(bool settled);

    QPointer<ConversationStore> m_store;
    QString m_query;
    QList<SearchHit> m_hits;
    QTimer m_delay;
    bool m_settled = true;
    std::optional<QDateTime> m_now;
};
