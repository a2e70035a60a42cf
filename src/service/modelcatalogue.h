#pragma once

#include "service/chargerules.h"
#include "service/modelids.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QtQml/qqmlregistration.h>

#include <optional>

enum class ReplyFamily { OpenAIStream, ClaudeStream, PlainDataStream, ImageResult };

// The six models, fixed at build time: where each one's requests go, how it is shown, which
// reader understands its replies and what it costs.
class ModelCatalogue : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(QStringList identifiers READ identifiers CONSTANT)
    Q_PROPERTY(QString defaultModel READ defaultModel CONSTANT)

public:
    using QObject::QObject;

    // In the order the model picker lists them.
    static QStringList identifiers();
    static QString defaultModel() { return ModelIds::gpt35Turbo; }

    // Identifier -> absolute URL (service origin + endpoint path), six entries.
    static QHash<QString, QString> modelURLs();
    // The address requests for `model` go to; empty for an unknown model or a broken origin.
    static QUrl modelURL(const QString &model);
    static QHash<QString, QString> modelDisplayNames();

    // Display name of the selection, or of the default model when nothing is selected;
    // "选择模型" for an unknown identifier.
    static QString modelDisplayName(const std::optional<QString> &selected);
    // Icon asset name; "questionmark.circle" for an unknown or absent selection.
    static QString modelIconName(const std::optional<QString> &selected);
    static std::optional<ReplyFamily> replyFamily(const QString &model);
    static PriceTier priceTier(const QString &model);
    // The model answers with a picture rather than text.
    static bool isImageModel(const QString &model);

    // For views: a null or empty identifier stands for "no selection".
    Q_INVOKABLE static QString displayName(const QString &selected);
    Q_INVOKABLE static QString iconName(const QString &selected);
};
