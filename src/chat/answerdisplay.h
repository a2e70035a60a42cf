#pragma once

#include "conversation/message.h"

#include <QString>
#include <QStringList>

// How a message's stored text is shown in its bubble, copied, quoted and sent as context.
//
// An answer is kept as the model wrote it. The bubble shows it as Markdown with its code
// blocks apart ("<code>…</code>" around each, their fence words beside), so bold, headings and
// code languages render; copying, quoting, the request context and the charge use the tidied
// text of formatReplyText, exactly as answers always were.
class AnswerDisplay {
public:
    struct Shown {
        QString text;
        QStringList languages;
    };

    // What the bubble shows of `message`; `partial` for an answer still arriving, whose last
    // code block may not be closed yet and whose last mark may be half there.
    static Shown shown(const Message &message);
    static Shown shownMarkdown(const QString &raw, bool partial);

    // The tidied text: what copy and quote give, and what a request's context is made of.
    static QString tidied(const Message &message);
};
