#pragma once

#include <QString>

// Lengths as a reader counts them: user-perceived characters (extended grapheme clusters), so an
// emoji or a letter with its accents counts once and is never cut in half. Both the context a
// request carries and the characters it is charged for are measured so.
namespace Graphemes {
qsizetype count(const QString &text);
// The last `count` user-perceived characters of `text`.
QString last(const QString &text, qsizetype count);
} // namespace Graphemes
