// Any bytes as a Claude-style event-stream answer: the reader ends, the text it collects
// comes from inside the body (never more UTF-8 than the body has), and the body read in pieces
// as it would arrive reads as the whole.
#include "fuzzpieces.h"
#include "service/replyreader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzSetUp();
    const QByteArray body = fuzzBytes(data, size);
    const QString text = ReplyReader::readClaudeStream(body);
    FUZZ_CHECK(text.toUtf8().size() <= body.size());
    fuzzPiecewise(ReplyStreamReader::Layout::Claude, body);
    return 0;
}
