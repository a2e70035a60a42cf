// Any bytes as what arrives on a connection, read whole and read in pieces whose sizes come from
// the bytes themselves: the guard frames the same requests and refuses with the same status
// either way, and no request it lets through holds more head or body than the limits allow.
#include "fuzzcheck.h"
#include "requestframer.h"

namespace {

constexpr RequestFramer::Limits limits{256, 1024};

struct Framing {
    std::vector<RequestFramer::Framed> requests;
    int refusal = 0;
};

template <typename NextSize> Framing frame(const QByteArray &bytes, NextSize nextSize)
{
    RequestFramer framer(limits);
    Framing result;
    for (qsizetype pos = 0; pos < bytes.size();) {
        const qsizetype size = std::min(nextSize(), bytes.size() - pos);
        // The guard counts a piece of body without reading it.
        if (framer.state() == RequestFramer::State::Body && size <= framer.bodyLeft()) {
            const qint64 before = framer.bodyLeft();
            if (framer.skipBody(size, &result.requests))
                FUZZ_CHECK(before == size);
        } else {
            const int completed =
                framer.feed(QByteArrayView(bytes).sliced(pos, size), &result.requests);
            FUZZ_CHECK(completed >= 0);
        }
        pos += size;
        FUZZ_CHECK(framer.partialBytes() <= limits.maxHeadBytes + limits.maxBodyBytes);
    }
    if (framer.refusal())
        result.refusal = framer.refusal()->status;
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = fuzzBytes(data, size);
    const Framing whole = frame(bytes, [&] { return bytes.size(); });
    qsizetype next = 0;
    const Framing pieces = frame(bytes, [&] {
        const auto byte = static_cast<unsigned char>(bytes.at(next++ % bytes.size()));
        return qsizetype(byte % 64 + 1);
    });
    FUZZ_CHECK(pieces.requests == whole.requests);
    FUZZ_CHECK(pieces.refusal == whole.refusal);

    qint64 previousEnd = 0;
    for (const RequestFramer::Framed &r : whole.requests) {
        FUZZ_CHECK(previousEnd <= r.start && r.start < r.bodyStart && r.bodyStart <= r.end);
        FUZZ_CHECK(r.end <= bytes.size());
        FUZZ_CHECK(r.bodyStart - r.start <= limits.maxHeadBytes);
        FUZZ_CHECK(r.end - r.bodyStart <= limits.maxBodyBytes);
        // What the parser behind reads as the head: no NUL, and nothing after its empty line.
        const QByteArray head = bytes.mid(r.start, r.bodyStart - r.start);
        FUZZ_CHECK(!head.contains('\0'));
        FUZZ_CHECK(head.endsWith("\n\n") || head.endsWith("\n\r\n"));
        previousEnd = r.end;
    }
    FUZZ_CHECK(whole.refusal == 0 || whole.refusal == 400 || whole.refusal == 411 ||
               whole.refusal == 413 || whole.refusal == 431);
    return 0;
}
