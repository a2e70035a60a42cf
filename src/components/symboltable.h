#pragma once

#include <QObject>
#include <QString>
#include <QtQml/qqmlregistration.h>

class QQmlEngine;
class QJSEngine;

// The one table from the system symbol names the views use to the Material Icons glyph that
// stands for each. Names that are not in it are application artwork (SVG resources).
class SymbolTable : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(QString fontFamily READ fontFamily CONSTANT)

public:
    using QObject::QObject;

    static QString fontFamily() { return QStringLiteral("Material Icons"); }

    // The glyph as a one-character string; empty for a name outside the table.
    Q_INVOKABLE static QString glyph(const QString &symbolName);
    Q_INVOKABLE static bool isSymbol(const QString &name);
    // The font has no crossed-out pin; the view draws the stroke over "push_pin".
    Q_INVOKABLE static bool isSlashed(const QString &symbolName);
    // Resource address of an artwork image by name; empty for symbols and unknown names.
    Q_INVOKABLE static QString artworkSource(const QString &name);
};
