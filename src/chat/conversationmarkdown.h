#pragma once

#include "conversation/message.h"

#include <QString>

// A conversation as one Markdown document: its name as the heading, then each question and
// answer in order, marked "**问：**" and "**答：**" with the model and the time. Answers are
// the model's own text, so code blocks keep their language; a picture is an image link to its
// file. Notices and unanswered placeholders are not part of it.
class ConversationMarkdown {
public:
    static QString of(const QString &name, const MessageList &messages);
    // The first line of a row text, as a heading or a file name can hold it.
    static QString headingOf(const QString &name);
    // `name` as a file name in any common file system, with `extension`.
    static QString fileName(const QString &name, const QString &extension);
    static QString timeText(const Message &message);
    static QString modelText(const Message &message);
};
