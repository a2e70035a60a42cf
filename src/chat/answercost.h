#pragma once

#include "conversation/message.h"

#include <QString>

#include <optional>

// What one answer cost, from the amounts actually deducted for it and for its question (the
// question's charge carries the context it was sent with). Answers kept from before charges
// were recorded cost nothing that is known, and show nothing.
class AnswerCost {
public:
    // `question` is the message the answer replies to, if it is known.
    static std::optional<AnswerCost> of(const Message *question, const Message &answer);
    // What sending `question` with `context` to `model` will be charged.
    static double questionCharge(const QString &model, const QString &question,
                                 const QString &context);

    // Two decimals; "<0.01" for an amount that would read as zero but is not.
    static QString amountText(double amount);

    double total = 0;
    // "消耗 X 积分".
    QString label;
    // The parts: "提问 N 字 × rate + 回答 M 字 × rate", or a picture's flat charge.
    QString parts;
};
