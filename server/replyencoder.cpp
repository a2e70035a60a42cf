#include "replyencoder.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// The client strips every "data: " out of a data line before it parses the JSON, so a piece of
// text that contains those six characters would lose them. Compact JSON has no ": " outside
// strings, so escaping the colon there keeps the text intact through that step.
QByteArray dataLine(const QJsonObject &event)
{
    QByteArray json = QJsonDocument(event).toJson(QJsonDocument::Compact);
    json.replace("data: ", "data\\u003a ");
    return QByteArrayLiteral("data: ") + json + "\n\n";
}

QByteArray eventLines(const char *type, const QJsonObject &event)
{
    return QByteArrayLiteral("event: ") + type + '\n' + dataLine(event);
}

QJsonObject openAIChunk(const QString &id, qint64 created, const QString &model,
                        const QJsonObject &delta, const QJsonValue &finishReason)
{
    QJsonObject choice{{QStringLiteral("index"), 0},
                       {QStringLiteral("delta"), delta},
                       {QStringLiteral("logprobs"), QJsonValue::Null},
                       {QStringLiteral("finish_reason"), finishReason}};
    return {{QStringLiteral("id"), id},
            {QStringLiteral("object"), QStringLiteral("chat.completion.chunk")},
            {QStringLiteral("created"), created},
            {QStringLiteral("model"), model},
            {QStringLiteral("choices"), QJsonArray{choice}}};
}

int roughTokens(const QStringList &pieces)
{
    qsizetype chars = 0;
    for (const QString &p : pieces)
        chars += p.size();
    return int(chars / 2 + 1);
}

} // namespace

QByteArray ReplyEncoder::encode(ProxyFamily family, const QString &model, const QStringList &pieces,
                                qint64 createdSecs)
{
    switch (family) {
    case ProxyFamily::OpenAI:
        return openAI(model, pieces, createdSecs);
    case ProxyFamily::Anthropic:
        return anthropic(model, pieces);
    case ProxyFamily::Gemini:
        return gemini(pieces);
    }
    return {};
}

QByteArray ReplyEncoder::openAI(const QString &model, const QStringList &pieces, qint64 created)
{
    const QString id = QStringLiteral("chatcmpl-talvoro%1").arg(created);
    QByteArray out = dataLine(openAIChunk(
        id, created, model,
        {{QStringLiteral("role"), QStringLiteral("assistant")}, {QStringLiteral("content"), ""}},
        QJsonValue::Null));
    for (const QString &piece : pieces)
        out += dataLine(openAIChunk(id, created, model, {{QStringLiteral("content"), piece}},
                                    QJsonValue::Null));
    out += dataLine(openAIChunk(id, created, model, {}, QStringLiteral("stop")));
    out += QByteArrayLiteral("data: [DONE]\n\n");
    return out;
}

QByteArray ReplyEncoder::anthropic(const QString &model, const QStringList &pieces)
{
    const QJsonObject usageIn{{QStringLiteral("input_tokens"), 1},
                              {QStringLiteral("output_tokens"), 1}};
    const QJsonObject message{{QStringLiteral("id"), QStringLiteral("msg_talvoro")},
                              {QStringLiteral("type"), QStringLiteral("message")},
                              {QStringLiteral("role"), QStringLiteral("assistant")},
                              {QStringLiteral("model"), model},
                              {QStringLiteral("content"), QJsonArray{}},
                              {QStringLiteral("stop_reason"), QJsonValue::Null},
                              {QStringLiteral("stop_sequence"), QJsonValue::Null},
                              {QStringLiteral("usage"), usageIn}};
    QByteArray out = eventLines("message_start", {{QStringLiteral("type"), "message_start"},
                                                  {QStringLiteral("message"), message}});
    out +=
        eventLines("content_block_start",
                   {{QStringLiteral("type"), "content_block_start"},
                    {QStringLiteral("index"), 0},
                    {QStringLiteral("content_block"),
                     QJsonObject{{QStringLiteral("type"), "text"}, {QStringLiteral("text"), ""}}}});
    for (const QString &piece : pieces) {
        out += eventLines(
            "content_block_delta",
            {{QStringLiteral("type"), "content_block_delta"},
             {QStringLiteral("index"), 0},
             {QStringLiteral("delta"), QJsonObject{{QStringLiteral("type"), "text_delta"},
                                                   {QStringLiteral("text"), piece}}}});
    }
    out += eventLines("content_block_stop", {{QStringLiteral("type"), "content_block_stop"},
                                             {QStringLiteral("index"), 0}});
    out += eventLines("message_delta",
                      {{QStringLiteral("type"), "message_delta"},
                       {QStringLiteral("delta"),
                        QJsonObject{{QStringLiteral("stop_reason"), "end_turn"},
                                    {QStringLiteral("stop_sequence"), QJsonValue::Null}}},
                       {QStringLiteral("usage"),
                        QJsonObject{{QStringLiteral("output_tokens"), roughTokens(pieces)}}}});
    out += eventLines("message_stop", {{QStringLiteral("type"), "message_stop"}});
    return out;
}

QByteArray ReplyEncoder::gemini(const QStringList &pieces)
{
    // The reader takes each piece as running up to the next line feed that is followed by
    // "data: ", so a piece may hold line breaks of its own; one final line feed ends the body.
    if (pieces.isEmpty())
        return {};
    QByteArray out;
    for (const QString &piece : pieces) {
        out += out.isEmpty() ? QByteArrayLiteral("data: ") : QByteArrayLiteral("\ndata: ");
        out += piece.toUtf8();
    }
    out += '\n';
    return out;
}
