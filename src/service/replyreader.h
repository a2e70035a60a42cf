#pragma once

#include <QByteArray>
#include <QString>

// Turns a complete chat response body into the answer's text. Each reader logs what the
// diagnostic log expects for the lines it meets and returns the collected, unformatted text;
// a body that is not UTF-8 reads as the empty text.
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

    // The clean-up applied to every collected chat reply: fenced code blocks become
    // "<code>…</code>", heading marks a space, "<br>" a line feed, "**" and "\"\"" vanish.
    static QString formatReplyText(const QString &text);
    // Its first step: every match of \s*```(\w+)?\s*\n([\s\S]*?)\n\s*```\s* (Unicode
    // properties on), left to right, becomes "<code>" + the second group + "</code>". Done by a
    // scan in linear time: the expression backtracks in cubic time over a long run of line
    // breaks after a fence that is never closed, freezing the program for seconds.
    static QString replaceCodeBlocks(const QString &text);
};
