#pragma once

#include "logcapture.h"
#include "service/replyreader.h"

#include <functional>

// One reading of a chat body: the final text, the text handed out while the body arrived,
// and the diagnostic log.
struct Reading {
    QString text;
    QString handedOut;
    QStringList log;
    bool utf8 = true;
};

// Reads `body` fed in pieces of the sizes `nextSize` picks (at least one byte each), every piece
// a copy of its own so that a read past its end is a read past an allocation. `log` must be
// capturing; it is cleared first.
inline Reading readInPieces(ReplyStreamReader::Layout layout, const QByteArray &body,
                            const std::function<qsizetype()> &nextSize, LogCapture &log)
{
    log.clear();
    const auto reader = ReplyStreamReader::create(layout);
    Reading r;
    for (qsizetype at = 0; at < body.size();) {
        const qsizetype n = qBound<qsizetype>(1, nextSize(), body.size() - at);
        reader->feed(QByteArray(body.constData() + at, n));
        r.handedOut += reader->takeNewText();
        at += n;
    }
    reader->finish();
    r.handedOut += reader->takeNewText();
    r.text = reader->text();
    r.utf8 = reader->isUtf8();
    r.log = log.all();
    return r;
}
