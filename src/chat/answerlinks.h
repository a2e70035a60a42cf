#pragma once

#include <QObject>
#include <QString>
#include <QUrl>
#include <QtQml/qqmlregistration.h>

// Links inside answers. The text comes from a model, so a link is only ever opened by the
// user's click, and only when it leads to a web page or a mail window: anything else (file:,
// javascript:, data:, an application's own scheme) could run or reveal something on this
// machine, and stays plain text.
class AnswerLinks : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    static bool isOpenable(const QUrl &url);
    // True when the link was handed to the desktop.
    Q_INVOKABLE static bool open(const QString &link);
};
