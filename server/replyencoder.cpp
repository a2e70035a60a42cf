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

QJsonObject anthropicMessage(const QString &model)
{
    const QJsonObject usageIn{{QStringLiteral("input_tokens"), 1},
                              {QStringLiteral("output_tokens"), 1}};
    return {{QStringLiteral("id"), QStringLiteral("msg_talvoro")},
            {QStringLiteral("type"), QStringLiteral("message")},
            {QStringLiteral("role"), QStringLiteral("assistant")},
            {QStringLiteral("model"), model},
            {QStringLiteral("content"), QJsonArray{}},
            {QStringLiteral("stop_reason"), QJsonValue::Null},
            {QStringLiteral("stop_sequence"), QJsonValue::Null},
            {QStringLiteral("usage"), usageIn}};
}

} // namespace

ReplyEncoder::ReplyEncoder(ProxyFamily family, const QString &model, qint64 createdSecs)
    : m_family(family), m_model(model), m_created(createdSecs)
{}

QByteArray ReplyEncoder::openAIChunk(const QJsonObject &delta, const QJsonValue &finishReason) const
{
    const QJsonObject choice{{QStringLiteral("index"), 0},
                             {QStringLiteral("delta"), delta},
                             {QStringLiteral("logprobs"), QJsonValue::Null},
                             {QStringLiteral("finish_reason"), finishReason}};
    return dataLine({{QStringLiteral("id"), QStringLiteral("chatcmpl-talvoro%1").arg(m_created)},
                     {QStringLiteral("object"), QStringLiteral("chat.completion.chunk")},
                     {QStringLiteral("created"), m_created},
                     {QStringLiteral("model"), m_model},
                     {QStringLiteral("choices"), QJsonArray{choice}}});
}

QByteArray ReplyEncoder::head() const
{
    switch (m_family) {
    case ProxyFamily::OpenAI:
        return openAIChunk({{QStringLiteral("role"), QStringLiteral("assistant")},
                            {QStringLiteral("content"), ""}},
                           QJsonValue::Null);
    case ProxyFamily::Anthropic:
        return eventLines("message_start",
                          {{QStringLiteral("type"), "message_start"},
                           {QStringLiteral("message"), anthropicMessage(m_model)}}) +
               eventLines("content_block_start", {{QStringLiteral("type"), "content_block_start"},
                                                  {QStringLiteral("index"), 0},
                                                  {QStringLiteral("content_block"),
                                                   QJsonObject{{QStringLiteral("type"), "text"},
                                                               {QStringLiteral("text"), ""}}}});
    case ProxyFamily::Gemini:
        break;
    }
    return {};
}

QByteArray ReplyEncoder::piece(const QString &text)
{
    const bool first = m_pieces == 0;
    ++m_pieces;
    m_chars += text.size();
    switch (m_family) {
    case ProxyFamily::OpenAI:
        return openAIChunk({{QStringLiteral("content"), text}}, QJsonValue::Null);
    case ProxyFamily::Anthropic:
        return eventLines(
            "content_block_delta",
            {{QStringLiteral("type"), "content_block_delta"},
             {QStringLiteral("index"), 0},
             {QStringLiteral("delta"), QJsonObject{{QStringLiteral("type"), "text_delta"},
                                                   {QStringLiteral("text"), text}}}});
    case ProxyFamily::Gemini:
        // The reader takes each piece as running up to the next line feed that is followed by
        // "data: ", so a piece may hold line breaks of its own; one final line feed ends the
        // body.
        return (first ? QByteArrayLiteral("data: ") : QByteArrayLiteral("\ndata: ")) +
               text.toUtf8();
    }
    return {};
}

QByteArray ReplyEncoder::tail() const
{
    switch (m_family) {
    case ProxyFamily::OpenAI:
        return openAIChunk({}, QStringLiteral("stop")) + QByteArrayLiteral("data: [DONE]\n\n");
    case ProxyFamily::Anthropic:
        return eventLines("content_block_stop", {{QStringLiteral("type"), "content_block_stop"},
                                                 {QStringLiteral("index"), 0}}) +
               eventLines("message_delta",
                          {{QStringLiteral("type"), "message_delta"},
                           {QStringLiteral("delta"),
                            QJsonObject{{QStringLiteral("stop_reason"), "end_turn"},
                                        {QStringLiteral("stop_sequence"), QJsonValue::Null}}},
                           {QStringLiteral("usage"), QJsonObject{{QStringLiteral("output_tokens"),
                                                                  int(m_chars / 2 + 1)}}}}) +
               eventLines("message_stop", {{QStringLiteral("type"), "message_stop"}});
    case ProxyFamily::Gemini:
        return m_pieces > 0 ? QByteArrayLiteral("\n") : QByteArray();
    }
    return {};
}

QByteArray ReplyEncoder::encode(ProxyFamily family, const QString &model, const QStringList &pieces,
                                qint64 createdSecs)
{
    ReplyEncoder encoder(family, model, createdSecs);
    QByteArray out = encoder.head();
    for (const QString &piece : pieces)
        out += encoder.piece(piece);
    return out + encoder.tail();
}
