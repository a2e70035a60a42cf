#pragma once

#include <QObject>
#include <QPointer>
#include <QtQml/qqmlregistration.h>

class QQuickItem;

// Keeps a view's delegates stacked among their siblings in model order. Assistive technology
// reads an item's children in stacking order, and a view that reuses delegates leaves them in
// whatever order they were last recycled; `ModelOrder.index: index` on a delegate fixes that.
class ModelOrder : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("ModelOrder is an attached property")
    QML_ATTACHED(ModelOrder)
    Q_PROPERTY(int index READ index WRITE setIndex NOTIFY indexChanged FINAL)

public:
    explicit ModelOrder(QObject *item);

    static ModelOrder *qmlAttachedProperties(QObject *object);

    [[nodiscard]] int index() const { return m_index; }
    void setIndex(int index);

signals:
    void indexChanged();

private:
    void restack();

    QPointer<QQuickItem> m_item;
    int m_index = -1;
};
