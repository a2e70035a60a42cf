#include "demoresponder.h"
#include "providerstreams.h"
#include "replyencoder.h"
#include "servertestkit.h"
#include "service/replyreader.h"

#include <functional>

using namespace ProviderStreams;

Q_DECLARE_METATYPE(ProxyFamily)

namespace {

// A chat request whose answer is watched read by read, as the network layer hands it over.
// `onRead` runs at each read, so a test can note what the other side had done by then.
class WatchedAnswer {
public:
    WatchedAnswer(QNetworkAccessManager &nam, const QString &url, const QJsonObject &question,
                  std::function<void()> onRead = {})
    {
        QNetworkRequest request{QUrl(url)};
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/json"));
        reply = nam.post(request, QJsonDocument(question).toJson(QJsonDocument::Compact));
        QObject::connect(reply, &QNetworkReply::readyRead, reply, [this, onRead] {
            reads.append(reply->readAll());
            if (onRead)
                onRead();
        });
    }
    ~WatchedAnswer() { reply->deleteLater(); }

    bool waitForEnd()
    {
        return QTest::qWaitFor([this] { return reply->isFinished(); }, 20000);
    }
    QByteArray body() const { return reads.join(); }
    // The number of reads until the body first held `bytes`, -1 when it never did.
    qsizetype readsUntil(const QByteArray &bytes) const
    {
        QByteArray sofar;
        for (qsizetype i = 0; i < reads.size(); ++i) {
            sofar += reads.at(i);
            if (sofar.contains(bytes))
                return i + 1;
        }
        return -1;
    }

    QNetworkReply *reply = nullptr;
    QList<QByteArray> reads;
};

QString path(ProxyFamily family)
{
    switch (family) {
    case ProxyFamily::Anthropic:
        return QStringLiteral("/api/proxy_claude2");
    case ProxyFamily::Gemini:
        return QStringLiteral("/api/proxy_gemini2");
    case ProxyFamily::OpenAI:
        break;
    }
    return QStringLiteral("/api/proxy_openai2");
}

void addFamilyRows()
{
    QTest::addColumn<ProxyFamily>("family");
    QTest::newRow("openai") << ProxyFamily::OpenAI;
    QTest::newRow("anthropic") << ProxyFamily::Anthropic;
    QTest::newRow("gemini") << ProxyFamily::Gemini;
}

// Each provider stream, and the event in it that carries the first text ("你好").
QList<QByteArray> streamOf(ProxyFamily family, int *firstTextEvent)
{
    switch (family) {
    case ProxyFamily::Anthropic:
        *firstTextEvent = 3;
        return anthropicStream();
    case ProxyFamily::Gemini:
        *firstTextEvent = 0;
        return geminiStream();
    case ProxyFamily::OpenAI:
        break;
    }
    *firstTextEvent = 1;
    return openAIStream();
}

} // namespace

class AnswerStreamingTest : public QObject {
    Q_OBJECT
private slots:
    void providerPiecesReachTheClientAsTheyArrive_data() { addFamilyRows(); }
    void providerPiecesReachTheClientAsTheyArrive();
    void clientHangingUpAbortsTheUpstreamCall_data();
    void clientHangingUpAbortsTheUpstreamCall();
    void failureAfterTextEndsTheBodyWithTheNotice_data();
    void failureAfterTextEndsTheBodyWithTheNotice();
    void demoAnswerStreamsInItsWholeBodyLayout_data() { addFamilyRows(); }
    void demoAnswerStreamsInItsWholeBodyLayout();
};

void AnswerStreamingTest::providerPiecesReachTheClientAsTheyArrive()
{
    QFETCH(ProxyFamily, family);
    int firstTextEvent = 0;
    FakeHttpServer upstream;
    upstream.otherwise(
        scripted(200, "text/event-stream", streamOf(family, &firstTextEvent), false, 200));
    TestServer s(pointedAt(upstream.origin()));
    TestHttp http;

    QList<int> upstreamSentAtRead;
    WatchedAnswer answer(http.nam(), s.url(path(family)), question("m"),
                         [&] { upstreamSentAtRead.append(upstream.piecesSent); });
    QVERIFY(answer.waitForEnd());
    QCOMPARE(answer.reply->error(), QNetworkReply::NoError);
    QCOMPARE(textOf(path(family), answer.body()), QStringLiteral("你好，世界"));

    // The first text was with the client while the provider had not yet sent the next event.
    const qsizetype read = answer.readsUntil(QStringLiteral("你好").toUtf8());
    QVERIFY(read > 0);
    QCOMPARE(upstreamSentAtRead.at(read - 1), firstTextEvent + 1);
}

void AnswerStreamingTest::clientHangingUpAbortsTheUpstreamCall_data()
{
    QTest::addColumn<ProxyFamily>("family");
    QTest::addColumn<bool>("afterText");
    QTest::newRow("openai, mid-answer") << ProxyFamily::OpenAI << true;
    QTest::newRow("anthropic, mid-answer") << ProxyFamily::Anthropic << true;
    QTest::newRow("gemini, before any text") << ProxyFamily::Gemini << false;
}

void AnswerStreamingTest::clientHangingUpAbortsTheUpstreamCall()
{
    QFETCH(ProxyFamily, family);
    QFETCH(bool, afterText);
    int firstTextEvent = 0;
    QList<QByteArray> stream = streamOf(family, &firstTextEvent);
    if (!afterText)
        stream.clear();
    FakeHttpServer upstream;
    // The provider would keep the call open for 20 s more: only our abort ends it sooner.
    upstream.otherwise(scripted(200, "text/event-stream", stream, true, 200));
    TestServer s(pointedAt(upstream.origin()));
    TestHttp http;

    WatchedAnswer answer(http.nam(), s.url(path(family)), question("m"));
    if (afterText)
        QTRY_VERIFY(answer.readsUntil(QStringLiteral("你好").toUtf8()) > 0);
    else
        QTRY_COMPARE(int(upstream.requests().size()), 1);
    answer.reply->abort();

    QTRY_VERIFY(upstream.closedByPeer);
    if (afterText)
        QVERIFY(upstream.piecesSent < stream.size());
}

void AnswerStreamingTest::failureAfterTextEndsTheBodyWithTheNotice_data()
{
    QTest::addColumn<ProxyFamily>("family");
    QTest::addColumn<QList<QByteArray>>("stream");
    QTest::addColumn<bool>("stall");
    QTest::addColumn<bool>("cutShort");
    QTest::addColumn<QString>("notice");
    QTest::addColumn<QByteArray>("bodyEnd");

    QTest::newRow("openai connection breaks")
        << ProxyFamily::OpenAI << openAIStream().mid(0, 2) << false << true
        << QStringLiteral("无法连接模型服务：") << QByteArray("data: [DONE]\n\n");
    QTest::newRow("anthropic error event")
        << ProxyFamily::Anthropic
        << QList<QByteArray>{anthropicStream().at(3),
                             "event: error\ndata: "
                             "{\"type\":\"error\",\"error\":{\"type\":\"overloaded_error\","
                             "\"message\":\"Overloaded\"}}\n\n"}
        << false << false << QStringLiteral("模型服务出错：Overloaded")
        << QByteArray("event: message_stop\ndata: {\"type\":\"message_stop\"}\n\n");
    QTest::newRow("gemini goes silent")
        << ProxyFamily::Gemini << geminiStream().mid(0, 1) << true << false
        << QStringLiteral("模型服务响应超时，请稍后重试") << QByteArray("\n");
}

void AnswerStreamingTest::failureAfterTextEndsTheBodyWithTheNotice()
{
    QFETCH(ProxyFamily, family);
    QFETCH(QList<QByteArray>, stream);
    QFETCH(bool, stall);
    QFETCH(bool, cutShort);
    QFETCH(QString, notice);
    QFETCH(QByteArray, bodyEnd);
    FakeHttpServer upstream;
    upstream.otherwise(scripted(200, "text/event-stream", stream, stall, 5, cutShort));
    TestServer s(pointedAt(upstream.origin(), 400));
    TestHttp http;

    const ServerReply r = http.post(s.url(path(family)), question("m"));
    // The status went out with the first text; the body still ends properly.
    QCOMPARE(r.status, 200);
    QCOMPARE(r.error, QNetworkReply::NoError);
    QVERIFY(r.body.endsWith(bodyEnd));
    const QString text = textOf(path(family), r.body);
    QVERIFY2(text.startsWith(QStringLiteral("你好\n\n") + notice), qPrintable(text));
}

void AnswerStreamingTest::demoAnswerStreamsInItsWholeBodyLayout()
{
    QFETCH(ProxyFamily, family);
    TestServer s;
    TestHttp http;
    const QString model = QStringLiteral("gpt-4o");
    const QString asked = QStringLiteral("什么是 data: 流？");

    WatchedAnswer answer(
        http.nam(), s.url(path(family)),
        {{"model", model}, {"userMessage", asked}, {"systemMessage", ""}, {"context", asked}});
    QVERIFY(answer.waitForEnd());
    QCOMPARE(answer.reply->error(), QNetworkReply::NoError);
    QVERIFY2(answer.reads.size() > 1, "the demo answer came in one read");
    const QStringList pieces = DemoResponder::answer(model, asked);
    QCOMPARE(answer.body(), ReplyEncoder::encode(family, model, pieces, s.clock.nowMs() / 1000));
    QCOMPARE(textOf(path(family), answer.body()), DemoResponder::text(model, asked));
}

QTEST_GUILESS_MAIN(AnswerStreamingTest)
#include "tst_answerstreaming.moc"
