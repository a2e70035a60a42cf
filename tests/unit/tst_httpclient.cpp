#include "core/httpclient.h"
#include "fakehttpserver.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

class TestHttpClient : public QObject {
    Q_OBJECT

private slots:
    void everyRequestEndsExactlyOnce_data()
    {
        QTest::addColumn<int>("behaviour");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("transferred");
        QTest::addColumn<QByteArray>("body");

        using B = FakeHttpServer::Behaviour;
        QTest::newRow("ok") << int(B::Answer) << 200 << true << QByteArray("{\"a\":1}");
        // An error status is still an answer: bodies are judged, not status codes.
        QTest::newRow("500 with body") << int(B::Answer) << 500 << true << QByteArray("oops");
        QTest::newRow("empty body") << int(B::Answer) << 200 << true << QByteArray();
        QTest::newRow("stall past idle time-out") << int(B::Stall) << 0 << false << QByteArray();
        QTest::newRow("reset") << int(B::Reset) << 0 << false << QByteArray();
        QTest::newRow("not HTTP") << int(B::Raw) << 0 << false
                                  << QByteArray("\x00\xff junk\r\n\r\n", 12);
        QTest::newRow("truncated") << int(B::Truncated) << 200 << false << QByteArray("{\"a\"");
    }

    void everyRequestEndsExactlyOnce()
    {
        QFETCH(int, behaviour);
        QFETCH(int, status);
        QFETCH(bool, transferred);
        QFETCH(QByteArray, body);

        FakeHttpServer server;
        FakeHttpServer::Response response(status, body);
        response.behaviour = FakeHttpServer::Behaviour(behaviour);
        server.on("/x", response);
        HttpClient client;
        client.setIdleTimeout(std::chrono::milliseconds(300));

        for (bool post : {false, true}) {
            int calls = 0;
            HttpResult result;
            const auto done = [&](const HttpResult &r) {
                ++calls;
                result = r;
            };
            if (post)
                client.postJson(server.url("/x"), QJsonObject{{"k", "v"}}, this, done);
            else
                client.get(server.url("/x"), this, done);
            QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 10000);
            QTest::qWait(50);
            QCOMPARE(calls, 1);
            QCOMPARE(result.transferred(), transferred);
            if (transferred) {
                QCOMPARE(result.status, status);
                QCOMPARE(result.body, body);
            }
        }
        const auto posted = server.requestsTo("/x").last();
        QCOMPARE(posted.headers.value("content-type"), QByteArray("application/json"));
        QCOMPARE(posted.body, QByteArray("{\"k\":\"v\"}"));
    }

    void goneContextGetsNoCall()
    {
        FakeHttpServer server;
        server.on("/slow", FakeHttpServer::Response(200, "{}"));
        HttpClient client;
        auto context = std::make_unique<QObject>();
        bool called = false;
        client.get(server.url("/slow"), context.get(), [&](const HttpResult &) { called = true; });
        context.reset();
        QTRY_COMPARE(server.requests().size(), 1);
        QTest::qWait(300);
        QVERIFY(!called);
    }
};

QTEST_GUILESS_MAIN(TestHttpClient)
#include "tst_httpclient.moc"
