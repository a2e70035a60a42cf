#include "chatharness.h"
#include "logcapture.h"

#include <QTest>

// Counting, charging and the upgrade flow. What a send does with each quota verdict, and a
// failed charge, are in tst_hostileanswers.
class TestQuotaService : public QObject {
    Q_OBJECT

    static void charge(const char *model, const QString &question, const QString &reply,
                       double input, double output)
    {
        QTest::addRow("%s, reply of %d", model, int(reply.size()))
            << model << question << reply << input << output;
    }

private slots:
    void countBillableCharacters_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("count");
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("only white space") << " \t\r\n\f\v" << 0;
        QTest::newRow("ten letters") << "abcde fghij" << 10;
        QTest::newRow("ideographic space") << "你好\u3000世界" << 4;
        QTest::newRow("no-break, em space, line and paragraph separators")
            << "a\u00A0b\u2003c\u2028d\u2029e\u202Ff" << 6;
        QTest::newRow("next line") << "a\u0085b" << 2;
        QTest::newRow("ZWJ family") << "👨‍👩‍👧‍👦" << 1;
        QTest::newRow("two flags") << "🇨🇳🇺🇸" << 2;
        QTest::newRow("couple with two skin tones") << "🧑🏻‍🤝‍🧑🏿" << 1;
        QTest::newRow("stacked combining marks") << "a\u0301\u0323\u0302b" << 2;
        QTest::newRow("white space removed first joins a mark to its letter") << "e \u0301" << 1;
        QTest::newRow("Hangul jamo") << "\u1100\u1161\u11A8" << 1;
    }

    void countBillableCharacters()
    {
        QFETCH(QString, text);
        QFETCH(int, count);
        QCOMPARE(QuotaService::countBillableCharacters(text), qsizetype(count));
    }

    // The question is charged with its context (here the same text again).
    void charges_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("question");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<double>("input");
        QTest::addColumn<double>("output");
        charge("gpt-4o", "a b", "0123456789", 0.028, 0.21);
        charge("gpt-3.5-turbo-0125", "a b", "0123456789", 0.0028, 0.021);
        charge("GPT-4o", "ab", "x", 0.028, 0.021);               // unknown: the dearer tier
        charge("dall-e-3", QString(500, u'x'), "x", 100.0, 0.0); // flat, whatever the prompt
        charge("claude-3-haiku-20240307", "ab", "x", 0.0028, 0.0021);
        charge("gpt-4o", "", "", 0.0, 0.0);
    }

    void charges()
    {
        QFETCH(QString, model);
        QFETCH(QString, question);
        QFETCH(QString, reply);
        QFETCH(double, input);
        QFETCH(double, output);
        QVERIFY(qAbs(QuotaService::inputCharge(model, question, question) - input) < 1e-12);
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
        QTest::newRow("an object member spoils it")
            << QByteArray("{\"hasQuota\":true,\"m\":{}}") << false;
        QTest::newRow("a number member spoils it")
            << QByteArray("{\"hasQuota\":true,\"balance\":12}") << false;
        QTest::newRow("hasQuota as text") << QByteArray("{\"hasQuota\":\"true\"}") << false;
        QTest::newRow("hasQuota null") << QByteArray("{\"hasQuota\":null}") << false;
        QTest::newRow("array") << QByteArray("[true]") << false;
        QTest::newRow("empty") << QByteArray() << false;
    }

    void readQuotaAnswer()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, granted);
        QCOMPARE(QuotaService::readQuotaAnswer(body), granted);
    }

    // The body and status are not judged: a refusal by the server still logs success.
    void deductQuota_data()
    {
        QTest::addColumn<int>("status");
        QTest::newRow("accepted") << 200;
        QTest::newRow("refused by the server") << 400;
    }

    void deductQuota()
    {
        QFETCH(int, status);
        ChatHarness h;
        h.server.on("/api/deduct_quota", FakeHttpServer::Response(status, "{\"error\":\"no\"}"));
        LogCapture log;
        h.quota.deductQuota(0.028);
        QTRY_COMPARE(log.all(), QStringList{QStringLiteral("扣减配额成功")});

        const auto request = h.server.requestsTo("/api/deduct_quota").first();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.headers.value("content-type"), QByteArray("application/json"));
        QCOMPARE(QJsonDocument::fromJson(request.body).object(),
                 (QJsonObject{{"phone", "+8613800000000"}, {"amount", 0.028}}));
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
