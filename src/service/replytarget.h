#pragma once

#include <QString>

#include <functional>

// Where the outcome of one send goes. Each send gets its own, bound to its placeholder, so a
// reply can never land on another send's message.
struct ReplyTarget {
    std::function<void()> clearLoadingFlag;
    // Raw text of an answer still arriving, as it comes: unformatted, whole characters.
    std::function<void(QStringView text)> appendPartialText;
    // How the answer's collected text is shown and stored. The display side owns that rule; the
    // stream still needs its result, since the shown text is what is charged and what decides
    // that nothing came.
    std::function<QString(const QString &collected)> formatReplyText;
    // The answer's final text, formatted: it takes the placeholder's place whole.
    std::function<void(const QString &text)> appendReplyText;
    std::function<void(const QString &path)> placeImageResult;
    std::function<void()> showQuotaExhausted;
    std::function<void(const QString &notice)> showFailure;
    // Stopped before any text arrived: the placeholder goes, the question stays.
    std::function<void()> withdraw;
};
