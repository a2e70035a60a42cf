#include "providerstreams.h"
#include "servertestkit.h"
#include "service/replyreader.h"
#include "ssereader.h"

#include <QImage>

using namespace Qt::StringLiterals;

using namespace ProviderStreams;

namespace {

const QByteArray hello = u"你好"_s.toUtf8();
const QString openAI = "/api/proxy_openai2", claude = "/api/proxy_claude2",
              gemini = "/api/proxy_gemini2";

} // namespace

class ProviderForwardingTest : public QObject {
    Q_OBJECT
private slots:
    // Upstream streams arrive in arbitrary pieces; the events must not depend on where they split.
    void eventsDoNotDependOnSplits_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QList<QByteArray>>("expected"); // "type|data" per event
        const auto row = [](const char *name, const char *stream, const QList<QByteArray> &events) {
            QTest::newRow(name) << QByteArray(stream) << events;
        };
        row("line feeds", "data: a\n\ndata: b\n\n", {"|a", "|b"});
        row("cr lf", "data: a\r\n\r\ndata: b\r\n\r\n", {"|a", "|b"});
        row("bare cr", "data: a\r\rdata: b\r\r", {"|a", "|b"});
        row("event names", "event: ping\ndata: {}\n\nevent: x\ndata:y\n\n", {"ping|{}", "x|y"});
        row("data over lines", "data: one\ndata: two\n\n", {"|one\ntwo"});
        row("comments and unknown fields", ": keep-alive\nid: 7\nretry: 10\ndata: a\n\n", {"|a"});
        row("no blank line at the end", "data: a\n\ndata: last", {"|a", "|last"});
        row("blank lines only", "\n\n\r\n", {});
        row("only one space is dropped", "data:  two spaces\n\n", {"| two spaces"});
    }

    void eventsDoNotDependOnSplits()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QList<QByteArray>, expected);
        for (qsizetype piece = 1; piece <= stream.size() + 1; ++piece) {
            SseReader reader;
            QList<SseReader::Event> events;
            for (qsizetype at = 0; at < stream.size(); at += piece)
                events += reader.feed(stream.mid(at, piece));
            events += reader.finish();
            QList<QByteArray> got;
            for (const auto &e : events)
                got.append(e.type + '|' + e.data);
            QCOMPARE(got, expected);
        }
    }

    void streamIsReEmittedAsItArrives_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QList<QByteArray>>("stream");
        const auto row = [](const char *name, const QString &path, const QList<QByteArray> &s) {
            QTest::newRow(name) << path << s;
        };
        row("openai", openAI, openAIStream());
        const QByteArray done = "data: [DONE]\n\n";
        // The answer as a refusal: the text comes in delta.refusal while content stays null.
        row("openai refusal", openAI,
            {openAIChunk(R"({"index":0,"delta":{"role":"assistant","content":null,"refusal":""}})"),
             openAIChunk(R"({"index":0,"delta":{"refusal":"你好"}})"),
             openAIChunk(R"({"index":0,"delta":{"refusal":"，世界"}})"), done});
        // Two choices (n = 2), interleaved the way a provider may send them.
        row("openai two choices", openAI,
            {openAIChunk(R"({"index":1,"delta":{"content":"另一个"}},)"
                         R"({"index":0,"delta":{"content":"你好"}})"),
             openAIChunk(R"({"index":1,"delta":{"content":"回答"}})"),
             openAIChunk(R"({"index":0,"delta":{"content":"，世界"}})"), done});
        // Some OpenAI-compatible servers leave "index" out when they only ever send one choice.
        row("openai-compatible without index", openAI,
            {openAIChunk(R"({"delta":{"content":"你好"}})"),
             openAIChunk(R"({"delta":{"content":"，世界"}})")});
        row("anthropic", claude, anthropicStream());
        row("gemini", gemini, geminiStream());
    }

    void streamIsReEmittedAsItArrives()
    {
        QFETCH(QString, path);
        QFETCH(QList<QByteArray>, stream);
        FakeHttpServer upstream;
        upstream.otherwise(scripted(200, stream, false, 200));
        TestServer s(pointedAt(upstream.origin()));

        QNetworkReply *reply = s.http.start(s.url(path), QJsonDocument(question("m-1")).toJson());
        QByteArray body;
        qsizetype sentAtText = -1; // pieces the provider had sent when the text reached the client
        QObject::connect(reply, &QNetworkReply::readyRead, [&] {
            body += reply->readAll();
            if (sentAtText < 0 && body.contains(hello))
                sentAtText = upstream.piecesSent;
        });
        const ServerReply r = TestHttp::wait(reply);
        QCOMPARE(r.error, QNetworkReply::NoError);
        QCOMPARE(textOf(path, body + r.body), u"你好，世界"_s);
        // The first text was with the client before the provider sent its next piece.
        const auto firstText = std::find_if(stream.cbegin(), stream.cend(),
                                            [](const QByteArray &p) { return p.contains(hello); });
        QCOMPARE(sentAtText, firstText - stream.cbegin() + 1);

        QCOMPARE(int(upstream.requests().size()), 1);
        const FakeHttpServer::Request asked = upstream.requests().last();
        // Each provider is asked at its own address, with the key in its own header.
        static const QHash<QString, QByteArrayList> ways{
            {openAI, {"POST /v1/chat/completions", "authorization", "Bearer test-key"}},
            {claude, {"POST /v1/messages", "x-api-key", "test-key"}},
            {gemini,
             {"POST /v1/models/m-1:streamGenerateContent?alt=sse", "x-goog-api-key", "test-key"}}};
        const QByteArrayList way = ways.value(path);
        QCOMPARE(targetOf(asked), way.value(0));
        QCOMPARE(asked.headers.value(way.value(1)), way.value(2));
        // The prompt is the context (which ends with the question) plus the system message.
        QVERIFY(asked.body.contains(u"早上好\\n问候一下"_s.toUtf8()));
        QVERIFY(asked.body.contains(u"简短回答"_s.toUtf8()));
        const QJsonObject sent = QJsonDocument::fromJson(asked.body).object();
        if (!path.contains("gemini")) {
            QCOMPARE(sent.value("model").toString(), u"m-1"_s);
            QCOMPARE(sent.value("stream"), QJsonValue(true));
        }
    }

    void failuresBecomeReadableAnswers_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("upstreamStatus");
        QTest::addColumn<QList<QByteArray>>("pieces");
        // After the pieces: "" closes, "stall", "cut short"; "unreachable": nothing listens.
        QTest::addColumn<QString>("ending");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("expected");
        const auto row = [](const char *name, const QString &path, int upstreamStatus,
                            const QList<QByteArray> &pieces, const QString &ending, int status,
                            const QStringList &expected) {
            QTest::newRow(name) << path << upstreamStatus << pieces << ending << status << expected;
        };
        const QByteArray overloaded =
            R"(,"error":{"type":"overloaded_error","message":"Overloaded"}})";
        row("openai refuses the key", openAI, 401,
            {R"({"error":{"message":"Incorrect API key provided","type":"invalid_request_error","code":"invalid_api_key"}})"},
            "", 502, {"401", "Incorrect API key provided"});
        row("anthropic overloaded", claude, 529, {R"({"type":"error")" + overloaded}, "", 502,
            {"529", "Overloaded"});
        row("gemini bad request", gemini, 400,
            {R"([{"error":{"code":400,"message":"API key not valid.","status":"INVALID_ARGUMENT"}}])"},
            "", 502, {"400", "API key not valid."});
        // After text the status has gone out with it: the notice follows the text and the body
        // still ends properly.
        row("anthropic error event after text", claude, 200,
            {anthropicText("你好"), anthropicEvent("error", overloaded)}, "", 200,
            {"你好\n\n模型服务出错：Overloaded"});
        row("openai connection breaks after text", openAI, 200, openAIStream().mid(0, 2),
            "cut short", 200, {"你好\n\n无法连接模型服务："});
        row("gemini goes silent after text", gemini, 200, geminiStream().mid(0, 1), "stall", 200,
            {"你好\n\n模型服务响应超时，请稍后重试"});
        row("gemini stalls at once", gemini, 200, {}, "stall", 504, {"模型服务响应超时"});
        row("openai sends nothing usable", openAI, 200, {"data: [DONE]\n\n"}, "", 200,
            {"模型没有返回内容"});
        row("anthropic unreachable", claude, 0, {}, "unreachable", 502, {"无法连接模型服务"});
        // A provider may quote the key it refused, or another one.
        row("openai quotes the key", openAI, 401,
            {R"({"error":{"message":"Incorrect API key provided: test-key. Did you mean )"
             R"(sk-proj-Ab12Cd34Ef56Gh78Ij90?"}})"},
            "", 502, {"Incorrect API key provided: ***. Did you mean ***?"});
        row("anthropic quotes a key in an error event", claude, 200,
            {anthropicEvent("error", R"(,"error":{"message":"key test-key revoked"}})")}, "", 502,
            {"key *** revoked"});
        row("picture provider quotes a key", "/api/generate_image", 403,
            {R"({"error":{"message":"bad key AIzaSyA1234567890abcdefghijklmnopqrstu"}})"}, "", 502,
            {});
        // A redirect would take the key along to wherever it points.
        row("openai redirects", openAI, 307, {}, "", 502, {"307"});
        row("picture provider redirects", "/api/generate_image", 302, {}, "", 502, {});
        row("picture, provider unreachable", "/api/generate_image", 0, {}, "unreachable", 502, {});
    }

    void failuresBecomeReadableAnswers()
    {
        QFETCH(QString, path);
        QFETCH(int, upstreamStatus);
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(QString, ending);
        QFETCH(int, status);
        QFETCH(QStringList, expected);
        FakeHttpServer upstream, elsewhere;
        FakeHttpServer::Response scriptedAnswer =
            scripted(upstreamStatus, pieces, ending == u"stall", 5, ending == u"cut short");
        scriptedAnswer.headers.append({"Location", elsewhere.origin().toUtf8() + "/v1/x"});
        upstream.otherwise(scriptedAnswer);
        const QString origin = ending == u"unreachable" ? "http://127.0.0.1:1" : upstream.origin();
        TestServer s(pointedAt(origin, 400));
        static QStringList log;
        log.clear();
        ServerLog::setSink([](const QString &line) { log.append(line); });

        const ServerReply r = s.post(path, question("m"));
        QCOMPARE(r.status, status);
        QVERIFY(status != 200 || r.error == QNetworkReply::NoError);
        const QString text = textOf(path, r.body) + r.json().value("error").toString();
        for (const QString &part : expected)
            QVERIFY2(text.contains(part), qPrintable(text));
        QVERIFY(elsewhere.requests().isEmpty());
        const QStringList said = log + QStringList{text};
        for (const QString &line : said) {
            for (const char *key : {"test-key", "sk-proj-", "AIzaSy"})
                QVERIFY2(!line.contains(key), qPrintable(line));
        }
        const QByteArray end = path == openAI   ? "data: [DONE]\n\n"
                               : path == claude ? "data: {\"type\":\"message_stop\"}\n\n"
                                                : "\n";
        QVERIFY2(status != 200 || r.body.endsWith(end), r.body.right(60).constData());
    }

    void clientHangingUpAbortsTheUpstreamCall_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QList<QByteArray>>("stream");
        QTest::newRow("openai, mid-answer") << openAI << openAIStream();
        QTest::newRow("gemini, before any text") << gemini << QList<QByteArray>{};
    }

    void clientHangingUpAbortsTheUpstreamCall()
    {
        QFETCH(QString, path);
        QFETCH(QList<QByteArray>, stream);
        FakeHttpServer upstream;
        // The provider would keep the call open for 20 s more: only our abort ends it sooner.
        upstream.otherwise(scripted(200, stream, true, 200));
        TestServer s(pointedAt(upstream.origin()));

        QNetworkReply *reply = s.http.start(s.url(path), QJsonDocument(question("m")).toJson());
        QByteArray body;
        QObject::connect(reply, &QNetworkReply::readyRead, [&] { body += reply->readAll(); });
        QTRY_VERIFY(stream.isEmpty() ? upstream.requests().size() == 1 : body.contains(hello));
        reply->abort();
        reply->deleteLater();
        QTRY_VERIFY(upstream.closedByPeer);
        QVERIFY(upstream.piecesSent < qMax(stream.size(), 1));

        // The server goes on answering after the departed client.
        upstream.otherwise(scripted(200, openAIStream()));
        const ServerReply r = s.post(openAI, question("m"));
        QCOMPARE(ReplyReader::readOpenAIStream(r.body), u"你好，世界"_s);
    }

    void pictureFromProvider_data()
    {
        QTest::addColumn<int>("upstreamStatus");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("answer");
        const QByteArray redSquare =
            "iVBORw0KGgoAAAANSUhEUgAAAAgAAAAICAIAAABLbSncAAAAEUlEQVR42mP4z8CA"
            "FTEMLQkAKP8/wc53yE8AAAAASUVORK5CYII="; // 8×8 PNG
        const auto row = [](const char *name, int upstream, int status, const QByteArray &answer) {
            QTest::newRow(name) << upstream << status << answer;
        };
        row("base64 answer", 200, 200,
            R"({"created":1,"data":[{"b64_json":")" + redSquare + R"(","revised_prompt":"a"}]})");
        row("address answer", 200, 200,
            "{\"created\":1,\"data\":[{\"url\":\"https://example.com/p.png\"}]}");
        row("no picture", 200, 502, R"({"created":1,"data":[]})");
        row("refused", 400, 502,
            R"({"error":{"message":"Your request was rejected","type":"invalid_request_error"}})");
    }

    void pictureFromProvider()
    {
        QFETCH(int, upstreamStatus);
        QFETCH(int, status);
        QFETCH(QByteArray, answer);
        FakeHttpServer upstream;
        upstream.otherwise(scripted(upstreamStatus, {answer}));
        TestServer s(pointedAt(upstream.origin()));

        const ServerReply r = s.post("/api/generate_image", question("dall-e-3"));
        QCOMPARE(r.status, status);
        QCOMPARE(int(upstream.requests().size()), 1);
        const FakeHttpServer::Request asked = upstream.requests().last();
        QCOMPARE(targetOf(asked), QByteArray("POST /v1/images/generations"));
        QCOMPARE(QJsonDocument::fromJson(asked.body).object().value("prompt").toString(),
                 u"问候一下"_s);
        const QString address = r.json().value("image_url").toString();
        if (status != 200) {
            QVERIFY(r.json().value("error").isString() && !r.json().contains("image_url"));
        } else if (answer.contains("b64_json")) {
            QVERIFY(address.startsWith(s.url("/images/")));
            const QImage served = QImage::fromData(s.http.get(address).body);
            QCOMPARE(served.size(), QSize(8, 8));
            QCOMPARE(served.pixelColor(3, 3), QColor(Qt::red));
        } else {
            QCOMPARE(address, u"https://example.com/p.png"_s);
        }
    }
};

QTEST_GUILESS_MAIN(ProviderForwardingTest)
#include "tst_providerforwarding.moc"
