#pragma once

#include "fuzzcheck.h"
#include "piecewisereading.h"

// The body read whole and read in pieces whose sizes come from its own bytes (1 to 32 each)
// must give the same text and the same log lines, and the text handed out as it arrived must
// add up to the answer.
inline void fuzzPiecewise(ReplyStreamReader::Layout layout, const QByteArray &body)
{
    static LogCapture log;
    const Reading whole = readInPieces(
        layout, body, [&] { return body.size(); }, log);
    qsizetype next = 0;
    const Reading pieces = readInPieces(
        layout, body,
        [&] {
            const auto byte = static_cast<unsigned char>(body.at(next++ % body.size()));
            return qsizetype(byte % 32 + 1);
        },
        log);
    FUZZ_CHECK(pieces.text == whole.text);
    FUZZ_CHECK(pieces.log == whole.log);
    FUZZ_CHECK(pieces.utf8 == whole.utf8);
    FUZZ_CHECK(!whole.utf8 || (whole.handedOut == whole.text && pieces.handedOut == whole.text));
}
