#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>

class QQmlEngine;
class QJSEngine;

// One piece of an assistant reply as the bubble shows it.
struct MessageBlock {
    bool isCode = false;
    QString text;

    bool operator==(const MessageBlock &) const = default;
};

// Splits a reply into prose and code blocks on the "<code>" / "</code>" markers that the chat
// client leaves in the text. Code is kept exactly; prose is trimmed and empty pieces vanish.
class MessageBlocks : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    static QList<MessageBlock> split(const QString &content);
    // For delegates: a list of { isCode: bool, text: string }.
    Q_INVOKABLE static QVariantList blocks(const QString &content);
};
