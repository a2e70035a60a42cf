#pragma once

#include <QObject>
#include <QString>

// What the user is typing in one chat view, apart from the conversation it goes to: the text,
// and the quotation that replaces it.
class EditorState : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString text READ text WRITE setText NOTIFY textChanged)

public:
    using QObject::QObject;

    QString text() const { return m_text; }
    void setText(const QString &text);
    // The earlier text is replaced, not kept.
    void quote(const QString &quoted) { setText(QStringLiteral("> ") + quoted + u'\n'); }

signals:
    void textChanged();

private:
    QString m_text;
};
