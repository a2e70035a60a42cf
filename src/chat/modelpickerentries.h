#pragma once

#include <QObject>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>

// The model picker's rows in display order, each with the title of its group; the picker shows
// a group title above the first row of each group.
class ModelPickerEntries : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(QVariantList entries READ entries CONSTANT)

public:
    using QObject::QObject;

    // { modelId, displayName, iconName, group, startsGroup }
    static QVariantList entries();
};
