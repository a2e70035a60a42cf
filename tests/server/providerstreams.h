#pragma once

#include "fakehttpserver.h"
#include "providerconfig.h"
#include "service/replyreader.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// Streams in the providers' own published layouts, as the server receives them, and what a
// test needs to point a server at a fake provider and ask it.
namespace ProviderStreams {

inline QByteArray openAIChunk(const QByteArray &choices)
{
    return R"(data: {"id":"chatcmpl-1","object":"chat.completion.chunk","created":1,"model":"gpt-4o","system_fingerprint":"fp","choices":[)" +
           choices + "]}\n\n";
}

// One choice's delta, with the members OpenAI sends alongside it.
inline QByteArray openAIDelta(const QByteArray &delta, const QByteArray &finish = "null")
{
    return openAIChunk(R"({"index":0,"delta":{)" + delta + R"(},"logprobs":null,"finish_reason":)" +
                       finish + "}");
}

inline QList<QByteArray> openAIStream()
{
    const QByteArray split = openAIDelta(R"("content":"，世界")");
    const qsizetype cut = split.indexOf("界"); // one event cut in two across reads
    return {
        openAIDelta(R"("role":"assistant","content":"","refusal":null)"),
        openAIDelta(R"("content":"你好")"),
        split.left(cut),
        split.mid(cut),
        openAIDelta({}, R"("stop")"),
        R"(data: {"id":"chatcmpl-1","object":"chat.completion.chunk","created":1,"choices":[],"usage":{"prompt_tokens":9,"completion_tokens":3,"total_tokens":12}})"
        "\n\n",
        "data: [DONE]\n\n"};
}

// Anthropic's events name their type again at the start of their data.
inline QByteArray anthropicEvent(const QByteArray &type, const QByteArray &rest = "}")
{
    return "event: " + type + "\ndata: {\"type\":\"" + type + '"' + rest + "\n\n";
}

inline QByteArray anthropicText(const char *text)
{
    return anthropicEvent("content_block_delta",
                          R"(,"index":0,"delta":{"type":"text_delta","text":")" + QByteArray(text) +
                              "\"}}");
}

inline QList<QByteArray> anthropicStream()
{
    return {
        anthropicEvent(
            "message_start",
            R"(,"message":{"id":"msg_1","type":"message","role":"assistant","content":[],"model":"claude-3-5-sonnet-20240620","stop_reason":null,"stop_sequence":null,"usage":{"input_tokens":25,"output_tokens":1}}})"),
        anthropicEvent("content_block_start",
                       R"(,"index":0,"content_block":{"type":"text","text":""}})"),
        "event: ping\ndata: {\"type\": \"ping\"}\n\n",
        anthropicText("你好"),
        anthropicText("，世界"),
        anthropicEvent("content_block_stop", R"(,"index":0})"),
        anthropicEvent(
            "message_delta",
            R"(,"delta":{"stop_reason":"end_turn","stop_sequence":null},"usage":{"output_tokens":15}})"),
        anthropicEvent("message_stop")};
}

inline QList<QByteArray> geminiStream()
{
    const auto event = [](const char *text, const char *finish) {
        QByteArray e = R"(data: {"candidates": [{"content": {"parts": [{"text": ")" +
                       QByteArray(text) + R"("}],"role": "model"},)";
        e += finish ? R"("finishReason": ")" + QByteArray(finish) + R"(",)" : QByteArray();
        e +=
            R"("index": 0}],"usageMetadata": {"promptTokenCount": 4,"totalTokenCount": 9},"modelVersion": "gemini-1.5-pro"})";
        return e + "\r\n\r\n";
    };
    QByteArray last = event("界", "STOP");
    // A CR LF pair split across two reads.
    return {event("你好", nullptr), event("，世", nullptr), last.chopped(3), last.right(3)};
}

inline QString textOf(const QString &path, const QByteArray &body)
{
    if (path.contains("openai"))
        return ReplyReader::readOpenAIStream(body);
    if (path.contains("claude"))
        return ReplyReader::readClaudeStream(body);
    return ReplyReader::readPlainDataStream(body);
}

inline ProviderConfig pointedAt(const QString &origin, int idleMs = 20000)
{
    ProviderConfig c;
    for (ProviderEndpoint *p : {&c.openAI, &c.anthropic, &c.gemini, &c.image}) {
        p->apiKey = QStringLiteral("test-key");
        p->baseUrl = origin + QStringLiteral("/v1");
        p->configured = true;
    }
    c.idleTimeoutMs = idleMs;
    c.totalTimeoutMs = 30000;
    return c;
}

// A chat question as the client sends it: the context ends with the question.
inline QJsonObject question(const QString &model, const QString &asked = QStringLiteral("问候一下"))
{
    return {{"model", model},
            {"userMessage", asked},
            {"systemMessage", QStringLiteral("简短回答")},
            {"context", QStringLiteral("早上好\n") + asked}};
}

} // namespace ProviderStreams

// A provider's scripted answer to whatever it is asked: a status, body pieces sent apart, then
// the end of the connection, silence (stall), or an end before the promised length (cutShort).
inline FakeHttpServer::Response scripted(int status, const QList<QByteArray> &pieces,
                                         bool stall = false, int gapMs = 5, bool cutShort = false)
{
    FakeHttpServer::Response r = FakeHttpServer::Response::with(FakeHttpServer::Behaviour::Pieces);
    r.status = status;
    const bool json = status != 200 || pieces.value(0).startsWith('{');
    r.contentType = json ? "application/json" : "text/event-stream";
    r.pieces = pieces;
    r.stallAfterPieces = stall;
    r.gapMs = gapMs;
    r.cutShort = cutShort;
    return r;
}

// A recorded request's method and target as it arrived.
inline QByteArray targetOf(const FakeHttpServer::Request &r)
{
    const QByteArray query = r.query.toString(QUrl::FullyEncoded).toLatin1();
    return r.method + ' ' + r.path + (query.isEmpty() ? QByteArray() : '?' + query);
}
