#include "chat/modelorder.h"

#include <QQuickItem>
#include <QtQml/qqml.h>

#include <algorithm>

ModelOrder::ModelOrder(QObject *item) : QObject(item), m_item(qobject_cast<QQuickItem *>(item))
{
    // A delegate gets its index before the view gives it a parent.
    if (m_item)
        connect(m_item, &QQuickItem::parentChanged, this, &ModelOrder::restack);
}

ModelOrder *ModelOrder::qmlAttachedProperties(QObject *object)
{
    return new ModelOrder(object);
}

void ModelOrder::setIndex(int index)
{
    if (index == m_index)
        return;
    m_index = index;
    emit indexChanged();
    restack();
}

void ModelOrder::restack()
{
    QQuickItem *parent = m_item ? m_item->parentItem() : nullptr;
    if (!parent)
        return;
    // Sorting every ordered sibling, not just placing this one: rows inserted above shift many
    // indexes one at a time, and placing each against stale neighbours would leave them mixed.
    struct Row {
        QQuickItem *item;
        int index;
    };
    QList<Row> rows;
    const auto siblings = parent->childItems();
    for (QQuickItem *sibling : siblings) {
        if (auto *order =
                qobject_cast<ModelOrder *>(qmlAttachedPropertiesObject<ModelOrder>(sibling, false)))
            rows.append({sibling, order->m_index});
    }
    if (std::is_sorted(rows.cbegin(), rows.cend(),
                       [](const Row &a, const Row &b) { return a.index < b.index; }))
        return;
    std::stable_sort(rows.begin(), rows.end(),
                     [](const Row &a, const Row &b) { return a.index < b.index; });
    for (qsizetype i = 1; i < rows.size(); ++i)
        rows.at(i).item->stackAfter(rows.at(i - 1).item);
}
