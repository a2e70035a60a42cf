#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>

// Streams in the providers' own published layouts, as a provider sends them: what the server
// forwards and what the client reads.
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

} // namespace ProviderStreams

// One piece of an OpenAI-style answer stream carrying `text`, with only the members the client
// reads.
inline QByteArray openAIPiece(const QString &text)
{
    const QJsonObject chunk{
        {"choices", QJsonArray{QJsonObject{{"delta", QJsonObject{{"content", text}}}}}}};
    return "data: " + QJsonDocument(chunk).toJson(QJsonDocument::Compact) + "\n\n";
}
