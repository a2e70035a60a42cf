// Any text as a collected reply: the clean-up ends, its code-block step agrees with the
// expression \s*```(\w+)?\s*\n([\s\S]*?)\n\s*```\s* that it stands for, every block's code
// comes out as it went in, and text without any of the marks it rewrites (fences, "#",
// "<br>", "**", "\"\"") comes back unchanged.
#include "chat/replyformatter.h"
#include "fuzzcheck.h"

#include <QRegularExpression>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzSetUp();
    const QString text = QString::fromUtf8(fuzzBytes(data, size));
    const QString formatted = ReplyFormatter::formatReplyText(text);
    const bool hasMarks = text.contains(u'`') || text.contains(u'#') || text.contains(u'<') ||
                          text.contains(u'*') || text.contains(u'"');
    if (!hasMarks)
        FUZZ_CHECK(formatted == text);
    QList<std::pair<qsizetype, qsizetype>> code;
    const QString blocks = ReplyFormatter::replaceCodeBlocks(text, nullptr, &code);
    for (const auto &[start, end] : code)
        FUZZ_CHECK(formatted.contains(QStringLiteral("<code>") + blocks.mid(start, end - start) +
                                      QStringLiteral("</code>")));

    // The expression backtracks in cubic time: compared on short texts only.
    if (text.size() <= 300) {
        static const QRegularExpression codeBlock(
            QStringLiteral("\\s*```(\\w+)?\\s*\\n([\\s\\S]*?)\\n\\s*```\\s*"),
            QRegularExpression::UseUnicodePropertiesOption);
        QString expected = text;
        expected.replace(codeBlock, QStringLiteral("<code>\\2</code>"));
        FUZZ_CHECK(ReplyFormatter::replaceCodeBlocks(text) == expected);
    }
    return 0;
}
