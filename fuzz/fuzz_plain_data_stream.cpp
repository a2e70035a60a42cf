// Any bytes as a plain-text event stream: the pieces the reader joins are exactly the matches
// of (?<=data: )(.*?)(?=(\ndata: |$)) with "." matching line breaks, for every body with
// line-feed line ends. The matches are enumerated as the platform's regular-expression search
// does it: after an empty match the search goes on one character further (PCRE's own global
// matching would first retry the same place for a non-empty match). Read in pieces as it would
// arrive, the body reads as the whole.
#include "fuzzpieces.h"
#include "service/replyreader.h"

#include <QRegularExpression>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzSetUp();
    const QByteArray body = fuzzBytes(data, size);
    const QString text = ReplyReader::readPlainDataStream(body);
    FUZZ_CHECK(text.toUtf8().size() <= body.size());
    fuzzPiecewise(ReplyStreamReader::Layout::PlainData, body);

    // CR LF line ends are read as line ends, which the expression does not know about.
    const QString decoded = QString::fromUtf8(body);
    if (body.contains('\r') || decoded.toUtf8() != body)
        return 0;
    static const QRegularExpression pieces(QStringLiteral("(?<=data: )(.*?)(?=(\\ndata: |$))"),
                                           QRegularExpression::DotMatchesEverythingOption);
    QString expected;
    for (qsizetype from = 0; from <= decoded.size();) {
        const QRegularExpressionMatch match = pieces.match(decoded, from);
        if (!match.hasMatch())
            break;
        expected += match.captured(1);
        from = match.capturedEnd() > match.capturedStart() ? match.capturedEnd()
                                                           : match.capturedEnd() + 1;
    }
    FUZZ_CHECK(text == expected);
    return 0;
}
