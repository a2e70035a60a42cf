#pragma once

#include "replyencoder.h"

#include <QObject>

#include <functional>

class AnswerSource;
class ChunkedReply;
class QHttpServerResponder;

// Relays one chat answer from its source to its client as it arrives: each piece is encoded in
// the client's family layout and sent at once. The status line waits for the first piece, so an
// answer that fails before any text still gets its error status; a failure after that can only
// end the body with the notice. A client that hangs up stops the source. Deletes itself when
// done, after handing the model's text it sent (the pieces, not a closing notice of its own) to
// `sent`, once, when one is given.
class StreamedAnswer : public QObject {
    Q_OBJECT
public:
    using Sent = std::function<void(const QString &text)>;

    // Takes `source` over and starts it.
    StreamedAnswer(QHttpServerResponder &&responder, const ReplyEncoder &encoder,
                   AnswerSource *source, Sent sent = {}, QObject *parent = nullptr);

private:
    void send(const QByteArray &bytes, int status);
    void onPiece(const QString &text);
    void onEnded(int status, const QString &lastPiece);
    void onClientLeft();
    void finish();

    ChunkedReply *m_reply;
    ReplyEncoder m_encoder;
    AnswerSource *m_source;
    Sent m_sent;
    QString m_text; // kept only for `m_sent`
};
