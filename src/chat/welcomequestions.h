#pragma once

#include <QObject>
#include <QStringList>
#include <QtQml/qqmlregistration.h>

// The four suggested questions of the welcome view: picture prompts for the image model,
// everyday questions for every other model.
class WelcomeQuestions : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    Q_INVOKABLE static QStringList forModel(const QString &model);
};
