// Any bytes as the stored history: a decode either fails or gives a map that is written back
// and read again unchanged; the store never refuses to write what it read.
#include "conversation/conversationcodec.h"
#include "fuzzcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto map = ConversationCodec::decode(fuzzBytes(data, size));
    if (!map)
        return 0;
    const auto again = ConversationCodec::decode(ConversationCodec::encode(*map));
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(again->size() == map->size());
    for (auto it = map->cbegin(); it != map->cend(); ++it) {
        FUZZ_CHECK(again->contains(it.key()));
        const MessageList &back = again->value(it.key());
        FUZZ_CHECK(back.size() == it.value().size());
        for (qsizetype i = 0; i < back.size(); ++i)
            FUZZ_CHECK(sameMessage(back.at(i), it.value().at(i)));
    }
    return 0;
}
