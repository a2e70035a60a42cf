// Any text as a collected reply: the clean-up ends, and text without any of the marks it
// rewrites (fences, "#", "<br>", "**", "\"\"") comes back unchanged.
#include "fuzzcheck.h"
#include "replyreader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzSetUp();
    const QString text = QString::fromUtf8(fuzzBytes(data, size));
    const QString formatted = ReplyReader::formatReplyText(text);
    const bool hasMarks = text.contains(u'`') || text.contains(u'#') || text.contains(u'<') ||
                          text.contains(u'*') || text.contains(u'"');
    if (!hasMarks)
        FUZZ_CHECK(formatted == text);
    return 0;
}
