#include "provideranswer.h"

#include "serverlog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const char *familyName(ProxyFamily family)
{
    switch (family) {
    case ProxyFamily::Anthropic:
        return "anthropic";
    case ProxyFamily::Gemini:
        return "gemini";
    case ProxyFamily::OpenAI:
        break;
    }
    return "openai";
}

QString errorText(const QJsonValue &error)
{
    if (error.isObject())
        return error.toObject().value(QStringLiteral("message")).toString();
    return error.toString();
}

// The client shows one answer, so only choice 0 is forwarded, even when the request made the
// provider write several and their chunks arrive interleaved in any order. Servers that only
// ever write one choice may leave "index" out; such a choice counts as choice 0 only when it is
// the chunk's first element, so a stray indexless entry behind others never slips in.
QString firstChoiceText(const QJsonArray &choices)
{
    for (qsizetype i = 0; i < choices.size(); ++i) {
        const QJsonObject choice = choices.at(i).toObject();
        const QJsonValue index = choice.value(QStringLiteral("index"));
        if (index.isUndefined() ? i != 0 : index.toInteger(-1) != 0)
            continue;
        const QJsonObject delta = choice.value(QStringLiteral("delta")).toObject();
        const QString content = delta.value(QStringLiteral("content")).toString();
        // A refused question is answered in "refusal" with "content" left null; the user must
        // still read why.
        return content.isEmpty() ? delta.value(QStringLiteral("refusal")).toString() : content;
    }
    return {};
}

} // namespace

ProviderAnswer::ProviderAnswer(ProxyFamily family, QNetworkAccessManager *nam,
                               const QNetworkRequest &request, const QByteArray &body,
                               Limits limits, QObject *parent)
    : AnswerSource(parent), m_family(family), m_nam(nam), m_request(request), m_body(body),
      m_limits(limits)
{}

void ProviderAnswer::start()
{
    m_call = new UpstreamCall(m_nam, m_request, m_body, m_limits.idleMs, m_limits.totalMs, this);
    connect(m_call, &UpstreamCall::received, this,
            [this](const QByteArray &bytes) { take(m_reader.feed(bytes)); });
    connect(m_call, &UpstreamCall::finished, this, &ProviderAnswer::finish);
}

void ProviderAnswer::take(const QList<SseReader::Event> &events)
{
    for (const SseReader::Event &e : events) {
        QString error;
        for (const QString &text : piecesOf(m_family, e.type, e.data, &error)) {
            m_anyPiece = true;
            emit piece(text);
        }
        if (!error.isEmpty() && m_streamError.isEmpty())
            m_streamError = error;
    }
}

void ProviderAnswer::finish(const UpstreamCall::Result &result)
{
    take(m_reader.finish());
    int status = 200;
    QString notice;
    switch (result.ending) {
    case UpstreamCall::Ending::Complete:
        if (!m_streamError.isEmpty()) {
            notice = QStringLiteral("模型服务出错：") + m_call->scrubbed(m_streamError);
            status = m_anyPiece ? 200 : 502;
        } else if (!m_anyPiece) {
            notice = QStringLiteral("（模型没有返回内容）");
        }
        break;
    case UpstreamCall::Ending::TotalTimeout:
        notice = QStringLiteral("（回答时间过长，已截断）");
        status = m_anyPiece ? 200 : 504;
        break;
    case UpstreamCall::Ending::IdleTimeout:
        notice = QStringLiteral("模型服务响应超时，请稍后重试");
        status = m_anyPiece ? 200 : 504;
        break;
    case UpstreamCall::Ending::HttpError:
        notice = QStringLiteral("模型服务返回错误（") + result.detail + QStringLiteral("）");
        status = 502;
        break;
    case UpstreamCall::Ending::NetworkError:
        notice = QStringLiteral("无法连接模型服务：") + result.detail;
        status = 502;
        break;
    }
    if (!notice.isEmpty()) {
        ServerLog::warning(
            {QStringLiteral("upstream"), QString::fromLatin1(familyName(m_family)), notice});
    }
    m_call->deleteLater();
    m_call = nullptr;
    emit ended(status, notice.isEmpty() || !m_anyPiece ? notice : QStringLiteral("\n\n") + notice);
}

QStringList ProviderAnswer::piecesOf(ProxyFamily family, const QByteArray &type,
                                     const QByteArray &data, QString *error)
{
    if (data == "[DONE]")
        return {};
    const QJsonDocument doc = QJsonDocument::fromJson(data);
    const QJsonObject event = doc.isArray() ? doc.array().at(0).toObject() : doc.object();
    if (event.contains(QStringLiteral("error")) || type == "error") {
        *error = errorText(event.value(QStringLiteral("error")));
        if (error->isEmpty())
            *error = QString::fromUtf8(data.left(300));
        return {};
    }
    switch (family) {
    case ProxyFamily::OpenAI: {
        const QString text = firstChoiceText(event.value(QStringLiteral("choices")).toArray());
        if (!text.isEmpty())
            return {text};
        return {};
    }
    case ProxyFamily::Anthropic: {
        if (event.value(QStringLiteral("type")).toString() != u"content_block_delta")
            return {};
        const QJsonValue text =
            event.value(QStringLiteral("delta")).toObject().value(QStringLiteral("text"));
        if (text.isString() && !text.toString().isEmpty())
            return {text.toString()};
        return {};
    }
    case ProxyFamily::Gemini: {
        QStringList pieces;
        const QJsonArray candidates = event.value(QStringLiteral("candidates")).toArray();
        const QJsonArray parts = candidates.at(0)
                                     .toObject()
                                     .value(QStringLiteral("content"))
                                     .toObject()
                                     .value(QStringLiteral("parts"))
                                     .toArray();
        for (const QJsonValue &part : parts) {
            const QString text = part.toObject().value(QStringLiteral("text")).toString();
            if (!text.isEmpty())
                pieces.append(text);
        }
        return pieces;
    }
    }
    return {};
}
