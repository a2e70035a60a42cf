#pragma once

#include <QList>
#include <QString>
#include <QStringView>

// One formula in a prose piece of an answer.
struct MathSpan {
    qsizetype start = 0;  // where it starts in the prose, its opening delimiter included
    qsizetype length = 0; // its closing delimiter included, when there is one
    QString tex;          // what lies between the delimiters
    bool display = false; // $$…$$ or \[…\]: set on a line of its own
    // False for a formula whose closing delimiter has not come (still arriving, or never
    // written): it runs to the end of its paragraph and is shown as its source.
    bool closed = true;

    bool operator==(const MathSpan &) const = default;
};

// Finds the formulas in a prose piece before Markdown reads it, since the Markdown parser
// would take TeX for marks: "\(a+b\)" comes out as "(a+b)", "$a*b*c$" in italics.
// Recognised: $…$, $$…$$, \(…\) and \[…\], never inside inline code spans or fenced code,
// never across a blank line. A single "$" opens only before a non-space and closes only after
// one, and not before a digit, so "$5 和 $10" stays text; "\$" is a dollar sign.
class MathCutter {
public:
    static QList<MathSpan> find(QStringView prose);
};
