#include "providerstreams.h"
#include "servertestkit.h"
#include "service/replyreader.h"

#include <QBuffer>
#include <QImage>

using namespace ProviderStreams;

class ProviderForwardingTest : public QObject {
    Q_OBJECT
private slots:
    void streamIsReEmitted_data();
    void streamIsReEmitted();
    void failuresBecomeReadableAnswers_data();
    void failuresBecomeReadableAnswers();
    void clientLeavingEarlyIsHarmless();
    void unreachableProvider();
    void pictureFromProvider_data();
    void pictureFromProvider();
};

void ProviderForwardingTest::streamIsReEmitted_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QList<QByteArray>>("stream");
    QTest::addColumn<QByteArray>("upstreamPath");
    QTest::addColumn<QByteArray>("keyHeader");
    QTest::newRow("openai") << "/api/proxy_openai2"
                            << "gpt-4o" << openAIStream()
                            << QByteArray("POST /v1/chat/completions ")
                            << QByteArray("authorization: Bearer test-key");
    QTest::newRow("openai refusal")
        << "/api/proxy_openai2"
        << "gpt-4o" << openAIRefusalStream() << QByteArray("POST /v1/chat/completions ")
        << QByteArray("authorization: Bearer test-key");
    QTest::newRow("openai two choices")
        << "/api/proxy_openai2"
        << "gpt-4o" << openAITwoChoicesStream() << QByteArray("POST /v1/chat/completions ")
        << QByteArray("authorization: Bearer test-key");
    QTest::newRow("openai-compatible without index")
        << "/api/proxy_openai2"
        << "gpt-4o" << openAIWithoutIndexStream() << QByteArray("POST /v1/chat/completions ")
        << QByteArray("authorization: Bearer test-key");
    QTest::newRow("anthropic") << "/api/proxy_claude2"
                               << "claude-3-5-sonnet-20240620" << anthropicStream()
                               << QByteArray("POST /v1/messages ")
                               << QByteArray("x-api-key: test-key");
    QTest::newRow("gemini") << "/api/proxy_gemini2"
                            << "gemini-1.5-pro" << geminiStream()
                            << QByteArray(
                                   "POST /v1/models/gemini-1.5-pro:streamGenerateContent?alt=sse ")
                            << QByteArray("x-goog-api-key: test-key");
}

void ProviderForwardingTest::streamIsReEmitted()
{
    QFETCH(QString, path);
    QFETCH(QString, model);
    QFETCH(QList<QByteArray>, stream);
    QFETCH(QByteArray, upstreamPath);
    QFETCH(QByteArray, keyHeader);
    FakeHttpServer upstream;
    upstream.otherwise(scripted(200, "text/event-stream", stream, false));
    TestServer s(pointedAt(upstream.origin()));
    TestHttp http;

    const ServerReply r = http.post(s.url(path), question(model));
    QCOMPARE(r.status, 200);
    QCOMPARE(textOf(path, r.body), QStringLiteral("你好，世界"));

    QVERIFY(!upstream.requests().isEmpty());
    const FakeHttpServer::Request asked = upstream.requests().last();
    QVERIFY2(headOf(asked).startsWith(upstreamPath), headOf(asked).constData());
    QVERIFY(headOf(asked).toLower().contains(keyHeader.toLower()));
    // The prompt is the context (which ends with the question) plus the system message.
    QVERIFY(asked.body.contains(QStringLiteral("早上好\\n问候一下").toUtf8()));
    QVERIFY(asked.body.contains(QStringLiteral("简短回答").toUtf8()));
    const QJsonObject sent = QJsonDocument::fromJson(asked.body).object();
    if (!path.contains("gemini")) {
        QCOMPARE(sent.value("model").toString(), model);
        QCOMPARE(sent.value("stream"), QJsonValue(true));
    }
}

void ProviderForwardingTest::failuresBecomeReadableAnswers_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("upstreamStatus");
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<bool>("stall");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("openai refuses the key")
        << "/api/proxy_openai2" << 401
        << QList<
               QByteArray>{R"({"error":{"message":"Incorrect API key provided","type":"invalid_request_error","code":"invalid_api_key"}})"}
        << false << 502 << QStringList{"401", "Incorrect API key provided"};
    QTest::newRow("anthropic overloaded")
        << "/api/proxy_claude2" << 529
        << QList<
               QByteArray>{R"({"type":"error","error":{"type":"overloaded_error","message":"Overloaded"}})"}
        << false << 502 << QStringList{"529", "Overloaded"};
    QTest::newRow("gemini bad request")
        << "/api/proxy_gemini2" << 400
        << QList<
               QByteArray>{R"([{"error":{"code":400,"message":"API key not valid.","status":"INVALID_ARGUMENT"}}])"}
        << false << 502 << QStringList{"400", "API key not valid."};
    QTest::newRow("anthropic error event mid-stream")
        << "/api/proxy_claude2" << 200
        << QList<QByteArray>{anthropicStream().at(3),
                             "event: error\ndata: "
                             "{\"type\":\"error\",\"error\":{\"type\":\"overloaded_error\","
                             "\"message\":\"Overloaded\"}}\n\n"}
        << false << 200 << QStringList{"你好", "Overloaded"};
    QTest::newRow("openai stalls after a piece")
        << "/api/proxy_openai2" << 200 << openAIStream().mid(0, 2) << true << 200
        << QStringList{"你好", QStringLiteral("模型服务响应超时")};
    QTest::newRow("gemini stalls at once")
        << "/api/proxy_gemini2" << 200 << QList<QByteArray>{} << true << 504
        << QStringList{QStringLiteral("模型服务响应超时")};
    QTest::newRow("openai sends nothing usable")
        << "/api/proxy_openai2" << 200 << QList<QByteArray>{"data: [DONE]\n\n"} << false << 200
        << QStringList{QStringLiteral("模型没有返回内容")};
}

void ProviderForwardingTest::failuresBecomeReadableAnswers()
{
    QFETCH(QString, path);
    QFETCH(int, upstreamStatus);
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(bool, stall);
    QFETCH(int, status);
    QFETCH(QStringList, expected);
    FakeHttpServer upstream;
    upstream.otherwise(scripted(upstreamStatus,
                                upstreamStatus == 200 ? "text/event-stream" : "application/json",
                                pieces, stall));
    TestServer s(pointedAt(upstream.origin(), 400));
    TestHttp http;

    const ServerReply r = http.post(s.url(path), question("m"));
    QCOMPARE(r.status, status);
    const QString text = textOf(path, r.body);
    for (const QString &part : expected)
        QVERIFY2(text.contains(part), qPrintable(text));
}

void ProviderForwardingTest::clientLeavingEarlyIsHarmless()
{
    FakeHttpServer upstream;
    upstream.otherwise(scripted(200, "text/event-stream", openAIStream().mid(0, 2), true));
    TestServer s(pointedAt(upstream.origin(), 500));
    TestHttp http;

    QNetworkRequest request{QUrl(s.url("/api/proxy_openai2"))};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    QNetworkReply *reply = http.nam().post(request, QJsonDocument(question("m")).toJson());
    QTRY_COMPARE(int(upstream.requests().size()), 1);
    reply->abort();
    reply->deleteLater();
    // The upstream gives up later; answering the departed client must not harm the server.
    QTest::qWait(800);
    upstream.otherwise(scripted(200, "text/event-stream", openAIStream(), false));
    const ServerReply r = http.post(s.url("/api/proxy_openai2"), question("m"));
    QCOMPARE(ReplyReader::readOpenAIStream(r.body), QStringLiteral("你好，世界"));
}

void ProviderForwardingTest::unreachableProvider()
{
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost, 0);
    const QString origin = QStringLiteral("http://127.0.0.1:%1").arg(closed.serverPort());
    closed.close();
    TestServer s(pointedAt(origin));
    TestHttp http;
    const ServerReply r = http.post(s.url("/api/proxy_claude2"), question("m"));
    QCOMPARE(r.status, 502);
    QVERIFY(ReplyReader::readClaudeStream(r.body).startsWith(QStringLiteral("无法连接模型服务")));
    QCOMPARE(http.post(s.url("/api/generate_image"), question("m")).status, 502);
}

void ProviderForwardingTest::pictureFromProvider_data()
{
    QTest::addColumn<int>("upstreamStatus");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("status");

    QImage red(8, 8, QImage::Format_RGB32);
    red.fill(Qt::red);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    red.save(&buffer, "PNG");
    QTest::newRow("base64 answer")
        << 200
        << R"({"created":1,"data":[{"b64_json":")" + png.toBase64() + R"(","revised_prompt":"a"}]})"
        << 200;
    QTest::newRow("address answer")
        << 200 << QByteArray(R"({"created":1,"data":[{"url":"https://example.com/p.png"}]})")
        << 200;
    QTest::newRow("no picture") << 200 << QByteArray(R"({"created":1,"data":[]})") << 502;
    QTest::newRow("refused")
        << 400
        << QByteArray(
               R"({"error":{"message":"Your request was rejected","type":"invalid_request_error"}})")
        << 502;
}

void ProviderForwardingTest::pictureFromProvider()
{
    QFETCH(int, upstreamStatus);
    QFETCH(QByteArray, answer);
    QFETCH(int, status);
    FakeHttpServer upstream;
    upstream.otherwise(scripted(upstreamStatus, "application/json", {answer}, false));
    TestServer s(pointedAt(upstream.origin()));
    TestHttp http;

    const ServerReply r = http.post(s.url("/api/generate_image"), question("dall-e-3"));
    QCOMPARE(r.status, status);
    QVERIFY(!upstream.requests().isEmpty());
    const FakeHttpServer::Request asked = upstream.requests().last();
    QVERIFY(headOf(asked).startsWith("POST /v1/images/generations "));
    QCOMPARE(QJsonDocument::fromJson(asked.body).object().value("prompt").toString(),
             QStringLiteral("问候一下"));
    if (status != 200) {
        QVERIFY(r.json().value("error").isString());
        QVERIFY(!r.json().contains("image_url"));
        return;
    }
    const QString address = r.json().value("image_url").toString();
    if (answer.contains("b64_json")) {
        QVERIFY(address.startsWith(s.server->origin() + "/images/"));
        const QImage served = QImage::fromData(http.get(address).body);
        QCOMPARE(served.size(), QSize(8, 8));
        QCOMPARE(served.pixelColor(3, 3), QColor(Qt::red));
    } else {
        QCOMPARE(address, QStringLiteral("https://example.com/p.png"));
    }
}

QTEST_GUILESS_MAIN(ProviderForwardingTest)
#include "tst_providerforwarding.moc"
