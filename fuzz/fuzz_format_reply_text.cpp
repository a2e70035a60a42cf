// Any text as a collected reply: the clean-up ends, its code-block step agrees with the
// expression \s*```(\w+)?\s*\n([\s\S]*?)\n\s*```\s* that it stands for, and text without any
// of the marks it rewrites (fences, "#", "<br>", "**", "\"\"") comes back unchanged.
#include "fuzzcheck.h"
#include "service/replyreader.h"

#include <QRegularExpression>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzSetUp();
    const QString text = QString::fromUtf8(fuzzBytes(data, size));
    const QString formatted = ReplyReader::formatReplyText(text);
    const bool hasMarks = text.contains(u'`') || text.contains(u'#') || text.contains(u'<') ||
                          text.contains(u'*') || text.contains(u'"');
    if (!hasMarks)
        FUZZ_CHECK(formatted == text);

    // The expression backtracks in cubic time: compared on short texts only.
    if (text.size() <= 300) {
        static const QRegularExpression codeBlock(
            QStringLiteral("\\s*```(\\w+)?\\s*\\n([\\s\\S]*?)\\n\\s*```\\s*"),
            QRegularExpression::UseUnicodePropertiesOption);
        QString expected = text;
        expected.replace(codeBlock, QStringLiteral("<code>\\2</code>"));
        FUZZ_CHECK(ReplyReader::replaceCodeBlocks(text) == expected);
    }
    return 0;
}
