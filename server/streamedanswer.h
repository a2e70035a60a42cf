#pragma once

#include "replyencoder.h"

#include <QObject>

class AnswerSource;
class ChunkedReply;
class QHttpServerResponder;

// Relays one chat answer from its source to its client as it arrives: each piece is encoded in
// the client's family layout and sent at once. The status line waits for the first piece, so an
// answer that fails before any text still gets its error status; a failure after that can only
// end the body with the notice. A client that hangs up stops the source. Deletes itself when
// done.
class StreamedAnswer : public QObject {
    Q_OBJECT
public:
    // Takes `source` over and starts it.
    StreamedAnswer(QHttpServerResponder &&responder, const ReplyEncoder &encoder,
                   AnswerSource *source, QObject *parent = nullptr);

private:
    void send(const QByteArray &bytes, int status);
    void onPiece(const QString &text);
    void onEnded(int status, const QString &lastPiece);
    void onClientLeft();

    ChunkedReply *m_reply;
    ReplyEncoder m_encoder;
    AnswerSource *m_source;
};
