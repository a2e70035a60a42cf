#pragma once

#include <QObject>
#include <QQuickTextDocument>
#include <QString>
#include <QTextDocumentFragment>
#include <QtQml/qqmlregistration.h>

// Turns one prose piece of an answer into formatted text: CommonMark with GitHub's tables,
// strikethrough and autolinks, and never anything that reaches out of the program. Raw HTML
// stays text, pictures become their alt text (a link at most, never loaded), and only links
// that AnswerLinks would open stay links.
//
// A piece is rendered once; rows that scroll back into view, and the pieces above a growing
// one, take the cached result.
class MarkdownRenderer : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    // A line longer than this is not handed to the Markdown parser: nothing an answer means
    // needs one, and the parser's nesting and table work grows with it. Such a piece shows as
    // plain text.
    static constexpr qsizetype kLongestMarkdownLine = 8000;

    // `dark`: in the colours of the views' dark set.
    static QTextDocumentFragment render(const QString &source, bool dark = false);
    // Puts the rendered `source` into a text item's document, replacing what it held.
    Q_INVOKABLE static void show(QQuickTextDocument *target, const QString &source, bool dark);

private:
    static QTextDocumentFragment build(const QString &source, bool dark);
};
