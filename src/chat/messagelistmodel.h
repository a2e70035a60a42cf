#pragma once

#include "chat/answerdisplay.h"
#include "conversation/message.h"

#include <QAbstractListModel>
#include <QHash>
#include <QStringList>
#include <QtQml/qqmlregistration.h>

#include <functional>
#include <optional>

// An open conversation's messages as a list model, shared by every view that shows it. Every
// change touches only the rows it concerns, so a long conversation is never laid out again
// because one answer arrived.
class MessageListModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Each open conversation owns its list")
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    enum Role {
        MessageIdRole = Qt::UserRole + 1,
        ContentRole, // what the bubble shows: Markdown, code blocks in "<code>" marks
        IsUserMessageRole,
        TimestampRole,
        IsLoadingRole,
        ImagePathRole,
        IsLastRole,
        CodeLanguagesRole, // the fence words of the shown code blocks, in order
        CopyTextRole,      // what copy gives: the tidied text
        CostRole,          // "消耗 X 积分" under an answer with a recorded charge, else empty
        CostPartsRole,     // what the cost is made of, for its tooltip
        VariantIndexRole,  // 1-based place among the message's variants ("‹ 2/3 ›")
        VariantCountRole,  // how many variants there are; 1 shows no switcher
        CanRegenerateRole, // an answer to the question just before it, not arriving any more
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
    // The same for QML: -1 when it is not here.
    Q_INVOKABLE int rowOf(const QString &messageId) const;

    void setMessages(const MessageList &messages);
    // Where a message is among its variants, (place, count); without it every message is alone.
    using VariantsOf = std::function<std::pair<int, int>(const QUuid &)>;
    void setVariantsOf(VariantsOf variantsOf) { m_variantsOf = std::move(variantsOf); }
    // Replaces the rows from `row` to the end by `tail`: another branch came into view.
    void replaceFrom(int row, const MessageList &tail);
    void append(const Message &message);
    // Changes the message at `row` in place and reports the change of that row only.
    void update(int row, const std::function<void(Message &)> &change);
    // Changes only the text at `row`, and reports only the roles that follow from it: an answer
    // that grows many times a second touches nothing else.
    void setContent(int row, const QString &content);
    void removeAt(int row);
    void clear();

signals:
    void countChanged();

private:
    void lastRowChanged(int row);
    const AnswerDisplay::Shown &shown(int row) const;
    const QString &tidied(int row) const;
    // The question the answer at `row` replies to: the row before it, when that is one.
    const Message *questionOf(int row) const;

    // What each row shows and copies, worked out when first asked for and again after a change:
    // a long answer is read by several bindings at every refresh.
    struct Worked {
        bool hasShown = false;
        bool hasTidied = false;
        AnswerDisplay::Shown shown;
        QString tidied;
    };

    MessageList m_messages;
    VariantsOf m_variantsOf;
    mutable QList<Worked> m_worked;
};
