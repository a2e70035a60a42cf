#pragma once

#include <QString>
#include <QStringList>

// Answers when no model provider is configured: a fixed Chinese text about the question it got,
// cut into several pieces. It holds a heading, bold text, a line break tag and a fenced code
// block, so every part of the client's reply clean-up is exercised by an ordinary question.
class DemoResponder {
public:
    static QStringList answer(const QString &model, const QString &question);
    // The whole text, before it is cut into pieces.
    static QString text(const QString &model, const QString &question);
    // Cuts `text` into pieces of at most `graphemes` user-perceived characters.
    static QStringList split(const QString &text, int graphemes);
};
