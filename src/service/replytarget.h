#pragma once

#include <QString>

#include <functional>
#include <optional>

// One deduction made for a send, as it was made.
struct Charge {
    enum class Part { Question, Answer };
    Part part = Part::Question;
    // Billable characters; none for a flat price.
    std::optional<qint64> characters;
    double amount = 0;
};

// Where the outcome of one send goes. Each send gets its own, bound to its placeholder, so a
// reply can never land on another send's message.
struct ReplyTarget {
    std::function<void()> clearLoadingFlag;
    // Raw text of an answer still arriving, as it comes: unformatted, whole characters.
    std::function<void(QStringView text)> appendPartialText;
    // The tidying rule of answers. The display side owns it; the stream still needs its result,
    // since the tidied text is what is charged and what decides that nothing came.
    std::function<QString(const QString &collected)> formatReplyText;
    // The answer's final text as the model wrote it (with the network notice on a line of its
    // own after it, when the connection broke): it takes the placeholder's place whole.
    std::function<void(const QString &text)> appendReplyText;
    std::function<void(const QString &path)> placeImageResult;
    std::function<void()> showQuotaExhausted;
    // A notice in the answer's place: a failure, or an answer that had no text.
    std::function<void(const QString &notice)> showFailure;
    // Stopped before any text arrived: the placeholder goes, the question stays.
    std::function<void()> withdraw;
    // Each deduction, when it is made (optional).
    std::function<void(const Charge &charge)> charged;
};
