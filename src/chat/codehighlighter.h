#pragma once

#include <QColor>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QQuickTextDocument>
#include <QString>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>

class RangeHighlighter;

// Colours the text of a code block by its language, from the ranges the script worker finds.
// The block shows plain until they come; a block that grows (an answer streaming in) is sent
// again at most once per answer from the worker, and only the lines whose colours changed are
// laid out again. The text itself is never touched: copying gives what the model wrote.
class CodeHighlighter : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QQuickTextDocument *document READ document WRITE setDocument NOTIFY documentChanged)
    // The fence's language word; "" lets a clear guess decide.
    Q_PROPERTY(QString language READ language WRITE setLanguage NOTIFY languageChanged)
    // One colour per Role, in order.
    Q_PROPERTY(QVariantList colours READ colours WRITE setColours NOTIFY coloursChanged)
    // Line ends in the whole block (of which the document may hold one piece).
    Q_PROPERTY(int blockLineBreaks READ blockLineBreaks WRITE setBlockLineBreaks NOTIFY
                   blockLineBreaksChanged)
    // Whether colours from the worker are shown.
    Q_PROPERTY(bool coloured READ coloured NOTIFY colouredChanged)

public:
    enum Role {
        Keyword,
        String,
        Comment,
        Number,
        Function,
        Type,
        Attribute,
        Meta,
        Addition,
        Deletion,
        RoleCount
    };
    Q_ENUM(Role)

    using QObject::QObject;
    ~CodeHighlighter() override;

    QQuickTextDocument *document() const { return m_document; }
    void setDocument(QQuickTextDocument *document);
    QString language() const { return m_language; }
    void setLanguage(const QString &language);
    QVariantList colours() const { return m_colours; }
    void setColours(const QVariantList &colours);
    int blockLineBreaks() const { return m_blockLineBreaks; }
    void setBlockLineBreaks(int lineBreaks);
    bool coloured() const { return m_coloured; }

signals:
    void documentChanged();
    void languageChanged();
    void coloursChanged();
    void blockLineBreaksChanged();
    void colouredChanged();

private:
    void request();
    void apply(const QString &text, const QList<int> &ranges);
    void setColoured(bool coloured);

    QPointer<QQuickTextDocument> m_document;
    RangeHighlighter *m_highlighter = nullptr;
    QString m_language;
    QVariantList m_colours;
    int m_blockLineBreaks = 0;
    bool m_coloured = false;
    int m_length = 0; // the document's character count after the last change
    bool m_inFlight = false;
    bool m_again = false;
};
