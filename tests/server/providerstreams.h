#pragma once

#include "fakehttpserver.h"
#include "providerconfig.h"
#include "publishedstreams.h"
#include "service/replyreader.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// What a test needs to point a server at a fake provider and ask it.
namespace ProviderStreams {

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
