// Any bytes as one stored message: a decode either fails or gives a message that writes back to
// text that reads as the very same message.
#include "conversation/conversationcodec.h"
#include "fuzzcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto message = ConversationCodec::decodeMessage(fuzzBytes(data, size));
    if (!message)
        return 0;
    const QByteArray text = ConversationCodec::encodeMessage(*message);
    const auto again = ConversationCodec::decodeMessage(text);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(sameMessage(*message, *again));
    FUZZ_CHECK(ConversationCodec::encodeMessage(*again) == text);
    return 0;
}
