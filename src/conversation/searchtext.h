#pragma once

#include "conversation/message.h"

#include <QString>

#include <optional>

// The words of a message as a search sees them: what its bubble shows, without Markdown marks,
// and the folded form that matching compares.
class SearchText {
public:
    // The shown text of a question or an answer; nothing for notices, pictures and answers
    // still arriving, which a search never finds.
    static std::optional<QString> of(const Message &message);

    // Full-width ASCII forms (U+FF01..U+FF5E) and the ideographic space become their
    // half-width forms, and every letter its lower-case form. One UTF-16 unit stays one unit,
    // so a place in the folded text is the same place in the shown text.
    static QString fold(QString text);

    // Markdown without its marks: fences, heading and quote marks, emphasis, code ticks, link
    // targets, table rules. Code keeps every character.
    static QString plain(const QString &markdown);
};
