#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <string>

// Reads a chat response body as it arrives, in whatever pieces the network hands over. For any
// split of a body it collects the same text and writes the same diagnostic log lines, in the same
// order, as for the body in one piece:
// - the two line families handle a line when its line end arrives, so a line is never read half;
// - the plain-data family shows a piece's text as it grows and holds back only what may still
//   turn out to be a separator ("\ndata: ") or the line end that ends the body. Its log quotes
//   the whole body first, so it writes its log when the body ends.
// New text is handed out in whole characters only: a character split across two network reads
// is never shown half.
//
// A body that is not UTF-8 reads as the empty text. That is known only once the bad bytes have
// arrived: the reader stops there, and its final text is empty.
class ReplyStreamReader {
public:
    enum class Layout { OpenAI, Claude, PlainData };
    static std::unique_ptr<ReplyStreamReader> create(Layout layout);
    virtual ~ReplyStreamReader();

    // The next bytes of the body. Reads are kept as they come where the family needs the body
    // again: pass the network's own array, not a copy.
    void feed(const QByteArray &bytes);
    // The body is complete: a last line without a line end is read too.
    void finish();
    // The body was cut off (stopped by the user, or the connection broke): what arrived is
    // kept, except a line of the line families that never got its line end.
    void cutOff();

    // Text collected since the last call, in whole characters; empty once the body turned out
    // not to be UTF-8.
    QString takeNewText();
    // Everything collected so far; after finish(), the whole answer, unformatted.
    QString text() const;
    bool isUtf8() const { return !m_notUtf8; }

protected:
    ReplyStreamReader() = default;
    virtual void consume(const QByteArray &bytes) = 0;
    virtual void end(bool complete) = 0;

    std::string m_collected; // UTF-8 text collected since it was last handed out
    bool m_notUtf8 = false;

private:
    // Everything handed out so far, as it was handed out: each byte is converted once, and a
    // long answer is joined once at its end instead of being grown thousands of times.
    QList<QString> m_handedOut;
    qsizetype m_handedOutSize = 0;
    bool m_ended = false;
};

// Whole-body reading. Each reader logs what the diagnostic log expects for the lines it meets
// and returns the collected, unformatted text.
//
// Lines end at "\n"; a "\r" before it (CR LF line ends) belongs to the line end, not the line.
class ReplyReader {
public:
    // "data: " lines whose payload is a JSON object with choices[0].delta.content.
    static QString readOpenAIStream(const QByteArray &body);
    // "data: " lines whose payload is a JSON event: "content_block_delta" carries delta.text.
    static QString readClaudeStream(const QByteArray &body);
    // Plain-text payloads, each running to the next line end followed by "data: ".
    static QString readPlainDataStream(const QByteArray &body);
};
