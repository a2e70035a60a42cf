#pragma once

#include "conversation/message.h"

#include <QIODevice>
#include <QString>

#include <functional>

// A conversation as a PDF: the same content as the Markdown export, laid out as the chat shows
// it (Markdown rendered, code in a monospaced face, pictures drawn), on A4 pages in the CJK
// face. Pages break between lines, never through one. Safe to run on a worker thread.
class ConversationPdf {
public:
    // `progress` gets the share done, 0 to 1, now and then.
    static bool write(QIODevice *device, const QString &name, const MessageList &messages,
                      const std::function<void(double)> &progress = {});
};
