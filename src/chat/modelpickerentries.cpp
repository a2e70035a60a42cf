#include "chat/modelpickerentries.h"

#include "service/modelcatalogue.h"

#include <QVariantMap>

QVariantList ModelPickerEntries::entries()
{
    static const QString groups[] = {QStringLiteral("基础模型"), QStringLiteral("基础模型"),
                                     QStringLiteral("高级模型"), QStringLiteral("高级模型"),
                                     QStringLiteral("高级模型"), QStringLiteral("绘画模型")};
    QVariantList list;
    const QStringList ids = ModelCatalogue::identifiers();
    QString previous;
    for (int i = 0; i < ids.size() && i < int(std::size(groups)); ++i) {
        const QString &id = ids.at(i);
        list.append(QVariantMap{
            {QStringLiteral("modelId"), id},
            {QStringLiteral("displayName"), ModelCatalogue::displayName(id)},
            {QStringLiteral("iconName"), ModelCatalogue::iconName(id)},
            {QStringLiteral("group"), groups[i]},
            {QStringLiteral("startsGroup"), groups[i] != previous},
        });
        previous = groups[i];
    }
    return list;
}
