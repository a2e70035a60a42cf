#include "streamedanswer.h"

#include "answersource.h"
#include "chunkedreply.h"
#include "serverlog.h"

StreamedAnswer::StreamedAnswer(QHttpServerResponder &&responder, const ReplyEncoder &encoder,
                               AnswerSource *source, Sent sent, QObject *parent)
    : QObject(parent), m_reply(new ChunkedReply(std::move(responder), this)), m_encoder(encoder),
      m_source(source), m_sent(std::move(sent))
{
    m_source->setParent(this);
    connect(m_reply, &ChunkedReply::clientLeft, this, &StreamedAnswer::onClientLeft);
    connect(m_source, &AnswerSource::piece, this, &StreamedAnswer::onPiece);
    connect(m_source, &AnswerSource::ended, this, &StreamedAnswer::onEnded);
    m_source->start();
}

void StreamedAnswer::send(const QByteArray &bytes, int status)
{
    if (!m_reply->isStarted()) {
        m_reply->start(status, ReplyEncoder::mimeType());
        m_reply->write(m_encoder.head() + bytes);
    } else {
        m_reply->write(bytes);
    }
}

void StreamedAnswer::onPiece(const QString &text)
{
    send(m_encoder.piece(text), 200);
    if (m_sent)
        m_text += text;
}

void StreamedAnswer::onEnded(int status, const QString &lastPiece)
{
    send((lastPiece.isEmpty() ? QByteArray() : m_encoder.piece(lastPiece)) + m_encoder.tail(),
         status);
    m_reply->finish();
    m_source->disconnect(this);
    finish();
}

void StreamedAnswer::onClientLeft()
{
    ServerLog::debug({m_reply->isStarted()
                          ? QStringLiteral("client left mid-answer")
                          : QStringLiteral("client left before its answer was ready")});
    // Deleting the source aborts its upstream request or stops its timer: nothing more is
    // fetched, or paid for, on behalf of a client that is gone.
    delete m_source;
    m_source = nullptr;
    finish();
}

void StreamedAnswer::finish()
{
    if (const Sent sent = std::exchange(m_sent, {}))
        sent(m_text);
    deleteLater();
}
