#pragma once

#include "conversation/message.h"

#include <QString>

// The text a conversation's row in the history list shows: its last message, as plain text.
// It is kept in the conversation's own row, so the list never reads a message body.
class HistoryRowText {
public:
    static QString picture() { return QStringLiteral("【图片】"); }
    // What a question whose answer never came shows in the answer's place after a restart.
    static QString unanswered() { return QStringLiteral("网络请求失败，请稍后重试"); }

    // More than the row's two lines ever show; the rest is left in the message.
    static constexpr qsizetype kLongest = 300;

    static QString of(const Message &last);
    // An answer's Markdown without its marks: fences, heading marks, emphasis, code ticks.
    static QString plain(const QString &markdown);
};
