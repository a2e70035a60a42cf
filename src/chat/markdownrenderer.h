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
// Formulas ($…$, $$…$$, \(…\), \[…\]) are cut out before the parse and put back as pictures
// on the text's baseline, typeset by the script worker in the text's size and colour; until a
// formula is typeset, and when it cannot be, it shows as its TeX source in a monospace face.
// The source is also what a reader hears and what a copy gives.
//
// A piece is rendered once; rows that scroll back into view, and the pieces above a growing
// one, take the cached result (once its formulas are typeset).
class MarkdownRenderer : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    explicit MarkdownRenderer(QObject *parent = nullptr);
    ~MarkdownRenderer() override;

    // The views' body text size, in pixels.
    static constexpr int kBodyPixelSize = 14;
    // Where formula pictures are kept, as names in the rendered documents.
    static constexpr QStringView kFormulaScheme = u"talvoro-math";

    enum class Formulas {
        Typeset,  // as pictures once typeset, asking the worker for the ones it has not done
        AsSource, // as their source, starting nothing
    };

    // A line longer than this is not handed to the Markdown parser: nothing an answer means
    // needs one, and the parser's nesting and table work grows with it. Such a piece shows as
    // plain text.
    static constexpr qsizetype kLongestMarkdownLine = 8000;

    // `dark`: in the colours of the views' dark set. `waiting`, when given, is set when a
    // formula shows as its source only until the worker has typeset it.
    static QTextDocumentFragment render(const QString &source, bool dark = false,
                                        Formulas formulas = Formulas::Typeset,
                                        int pixelSize = kBodyPixelSize, bool *waiting = nullptr);
    // Puts the rendered `source` into a text item's document, replacing what it held. True
    // while formulas in it are being typeset: formulasReady() says when to show it again.
    Q_INVOKABLE static bool show(QQuickTextDocument *target, const QString &source, bool dark);
    // The text from `from` to `to` as a reader should get it: each formula as its source.
    Q_INVOKABLE static QString readableText(QQuickTextDocument *target, int from, int to);
    static QString readableText(const QTextDocument &document, int from, int to);

    // A formula a render asked for has been typeset (or has failed).
    static void formulaLanded();

signals:
    // Formulas have been typeset since the last time: views waiting for them render again.
    void formulasReady();

private:
    static QTextDocumentFragment build(const QString &source, bool dark, Formulas formulas,
                                       int pixelSize, bool *waiting);
};
