#pragma once

#include <QObject>
#include <QString>
#include <QtQml/qqmlregistration.h>

// The system clipboard for the views: plain text, and a picture read from a file.
class Clipboard : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    Q_INVOKABLE static void setText(const QString &text);
    // False, with the clipboard untouched, when the file cannot be read as an image.
    Q_INVOKABLE static bool setImage(const QString &path);
};
