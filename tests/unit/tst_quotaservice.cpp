#include "chatharness.h"
#include "logcapture.h"

#include <QSignalSpy>
#include <QTest>

class TestQuotaService : public QObject {
    Q_OBJECT

private slots:
    void countBillableCharacters_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("count");

        QTest::newRow("empty") << "" << 0;
        QTest::newRow("only white space") << " \t\r\n\f\v" << 0;
        QTest::newRow("ten letters") << "abcde fghij" << 10;
        QTest::newRow("CJK") << "中文字" << 3;
        QTest::newRow("ideographic space") << "你好\u3000世界" << 4;
        QTest::newRow("no-break, em space, line and paragraph separators")
            << "a\u00A0b\u2003c\u2028d\u2029e\u202Ff" << 6;
        QTest::newRow("next line") << "a\u0085b" << 2;
        QTest::newRow("ZWJ family") << "👨‍👩‍👧‍👦" << 1;
        QTest::newRow("two flags") << "🇨🇳🇺🇸" << 2;
        QTest::newRow("skin tone") << "👍🏽" << 1;
        QTest::newRow("couple with two skin tones") << "🧑🏻‍🤝‍🧑🏿" << 1;
        QTest::newRow("rainbow flag") << "🏳️‍🌈" << 1;
        QTest::newRow("combining acute") << "e\u0301" << 1;
        QTest::newRow("stacked combining marks") << "a\u0301\u0323\u0302b" << 2;
        QTest::newRow("white space removed first joins a mark to its letter") << "e \u0301" << 1;
        QTest::newRow("Hangul jamo") << "\u1100\u1161\u11A8" << 1;
        QTest::newRow("mixed") << "Hi 👋🏻 世界!" << 6;
    }

    void countBillableCharacters()
    {
        QFETCH(QString, text);
        QFETCH(int, count);
        QCOMPARE(QuotaService::countBillableCharacters(text), qsizetype(count));
    }

    void charges_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("userMessage");
        QTest::addColumn<QString>("context");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<double>("input");
        QTest::addColumn<double>("output");

        QTest::newRow("gpt-4o") << "gpt-4o"
                                << "a b"
                                << "c d"
                                << "0123456789" << 0.028 << 0.21;
        QTest::newRow("gpt-3.5") << "gpt-3.5-turbo-0125"
                                 << "a b"
                                 << "c d"
                                 << "0123456789" << 0.0028 << 0.021;
        QTest::newRow("claude haiku") << "claude-3-haiku-20240307"
                                      << "ab"
                                      << "ab"
                                      << "x" << 0.0028 << 0.0021;
        QTest::newRow("claude sonnet") << "claude-3-5-sonnet-20240620"
                                       << "ab"
                                       << "ab"
                                       << "x" << 0.028 << 0.021;
        QTest::newRow("gemini is in the high tier") << "gemini-1.5-pro"
                                                    << "ab"
                                                    << "ab"
                                                    << "x" << 0.028 << 0.021;
        QTest::newRow("unknown model is in the high tier") << "GPT-4o"
                                                           << "ab"
                                                           << "ab"
                                                           << "x" << 0.028 << 0.021;
        QTest::newRow("image model: flat, whatever the prompt")
            << "dall-e-3" << QString(500, u'x') << QString(500, u'x') << "x" << 100.0 << 0.0;
        QTest::newRow("empty reply costs 0") << "gpt-4o"
                                             << ""
                                             << ""
                                             << "" << 0.0 << 0.0;
    }

    void charges()
    {
        QFETCH(QString, model);
        QFETCH(QString, userMessage);
        QFETCH(QString, context);
        QFETCH(QString, reply);
        QFETCH(double, input);
        QFETCH(double, output);
        QVERIFY(qAbs(QuotaService::inputCharge(model, userMessage, context) - input) < 1e-12);
        QVERIFY(qAbs(QuotaService::outputCharge(model, reply) - output) < 1e-12);
    }

    void readQuotaAnswer_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("granted");

        QTest::newRow("yes") << QByteArray("{\"hasQuota\":true}") << true;
        QTest::newRow("no") << QByteArray("{\"hasQuota\":false}") << false;
        QTest::newRow("yes among booleans")
            << QByteArray("{\"vip\":false,\"hasQuota\":true}") << true;
        QTest::newRow("a text member spoils it")
            << QByteArray("{\"hasQuota\":true,\"m\":\"ok\"}") << false;
        QTest::newRow("an array member spoils it")
            << QByteArray("{\"hasQuota\":true,\"m\":[]}") << false;
        QTest::newRow("an object member spoils it")
            << QByteArray("{\"hasQuota\":true,\"m\":{}}") << false;
        QTest::newRow("a number member spoils it")
            << QByteArray("{\"hasQuota\":true,\"balance\":12}") << false;
        QTest::newRow("hasQuota as number") << QByteArray("{\"hasQuota\":1}") << false;
        QTest::newRow("hasQuota null") << QByteArray("{\"hasQuota\":null}") << false;
        QTest::newRow("no hasQuota") << QByteArray("{\"vip\":true}") << false;
        QTest::newRow("array") << QByteArray("[true]") << false;
        QTest::newRow("not JSON") << QByteArray("<html>500</html>") << false;
        QTest::newRow("empty") << QByteArray() << false;
    }

    void readQuotaAnswer()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, granted);
        QCOMPARE(QuotaService::readQuotaAnswer(body), granted);
    }

    void checkQuotaVerdicts_data()
    {
        QTest::addColumn<int>("behaviour");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("verdict");

        using B = FakeHttpServer::Behaviour;
        QTest::newRow("granted") << int(B::Answer) << QByteArray("{\"hasQuota\":true}")
                                 << int(QuotaVerdict::Granted);
        QTest::newRow("refused") << int(B::Answer) << QByteArray("{\"hasQuota\":false}")
                                 << int(QuotaVerdict::Refused);
        QTest::newRow("error page is a refusal")
            << int(B::Answer) << QByteArray("oops") << int(QuotaVerdict::Refused);
        QTest::newRow("reset is no answer")
            << int(B::Reset) << QByteArray() << int(QuotaVerdict::Unanswered);
        QTest::newRow("stall is no answer")
            << int(B::Stall) << QByteArray() << int(QuotaVerdict::Unanswered);
        QTest::newRow("garbage is no answer")
            << int(B::Garbage) << QByteArray() << int(QuotaVerdict::Unanswered);
    }

    void checkQuotaVerdicts()
    {
        QFETCH(int, behaviour);
        QFETCH(QByteArray, body);
        QFETCH(int, verdict);

        ChatHarness h;
        h.http.setIdleTimeout(std::chrono::milliseconds(300));
        FakeHttpServer::Response response(behaviour == 0 && body == "oops" ? 500 : 200, body);
        response.behaviour = FakeHttpServer::Behaviour(behaviour);
        h.server.on("/api/check_quota", response);

        LogCapture log;
        QList<int> verdicts;
        h.quota.checkQuota(this, [&](QuotaVerdict v) { verdicts.append(int(v)); });
        QTRY_COMPARE_WITH_TIMEOUT(verdicts.size(), 1, 10000);
        QCOMPARE(verdicts.first(), verdict);
        QCOMPARE(log.all(), QStringList{"userPhone +8613800000000"});
        // The "+" of the stored phone number arrives as "%2B", so the server reads it back.
        QCOMPARE(h.server.requestsTo("/api/check_quota").first().query.query(QUrl::FullyEncoded),
                 QStringLiteral("phone=%2B8613800000000"));
    }

    void deductQuota_data()
    {
        QTest::addColumn<int>("behaviour");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("success");

        using B = FakeHttpServer::Behaviour;
        QTest::newRow("accepted") << int(B::Answer) << 200 << true;
        // The body and status are not judged: a refusal by the server still logs success.
        QTest::newRow("refused by the server") << int(B::Answer) << 400 << true;
        QTest::newRow("reset") << int(B::Reset) << 0 << false;
        QTest::newRow("stall") << int(B::Stall) << 0 << false;
    }

    void deductQuota()
    {
        QFETCH(int, behaviour);
        QFETCH(int, status);
        QFETCH(bool, success);

        ChatHarness h;
        h.http.setIdleTimeout(std::chrono::milliseconds(300));
        FakeHttpServer::Response response(status, "{\"error\":\"no\"}");
        response.behaviour = FakeHttpServer::Behaviour(behaviour);
        h.server.on("/api/deduct_quota", response);

        LogCapture log;
        h.quota.deductQuota(0.028);
        QTRY_COMPARE_WITH_TIMEOUT(log.all().size(), 1, 10000);
        if (success)
            QCOMPARE(log.all().first(), QStringLiteral("扣减配额成功"));
        else
            QVERIFY2(log.all().first().startsWith(QStringLiteral("扣减配额失败: ")) &&
                         log.all().first().size() > QStringLiteral("扣减配额失败: ").size(),
                     qPrintable(log.all().first()));

        const auto request = h.server.requestsTo("/api/deduct_quota").first();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.headers.value("content-type"), QByteArray("application/json"));
        const QJsonObject body = QJsonDocument::fromJson(request.body).object();
        QCOMPARE(body.size(), 2);
        QCOMPARE(body.value("phone").toString(), QStringLiteral("+8613800000000"));
        QCOMPARE(body.value("amount").toDouble(), 0.028);
    }

    void upgradeAlertAnswers()
    {
        ChatHarness h;
        LogCapture log;
        h.quota.answerUpgradeAlert(false);
        QCOMPARE(log.all(), QStringList{"用户选择取消"});
        QVERIFY(h.openedPages.isEmpty());

        h.settings.set(QStringLiteral("userid"), QStringLiteral("a+b 1"));
        h.quota.answerUpgradeAlert(true);
        // Not opened while the click is being answered; right after.
        QVERIFY(h.openedPages.isEmpty());
        QTRY_COMPARE(h.openedPages.size(), 1);
        QCOMPARE(h.openedPages.first().toString(QUrl::FullyEncoded),
                 h.server.origin() + QStringLiteral("/pricing?userid=a%2Bb%201"));

        h.quota.openPricingPage(QUrl());
        h.quota.openPricingPage(QUrl(QStringLiteral("http://exa mple.com/%zz"), QUrl::StrictMode));
        QTest::qWait(20);
        QCOMPARE(h.openedPages.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestQuotaService)
#include "tst_quotaservice.moc"
