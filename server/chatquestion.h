#pragma once

#include <QString>

// The four members every chat and picture request carries.
struct ChatQuestion {
    QString model;
    QString userMessage;
    QString systemMessage;
    QString context; // recent conversation; already ends with the question

    // What the provider is asked: the context, or the question alone when there is none.
    QString prompt() const { return context.trimmed().isEmpty() ? userMessage : context; }
};
