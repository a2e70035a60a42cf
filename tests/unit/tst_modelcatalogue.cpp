#include "core/serviceorigin.h"
#include "service/modelcatalogue.h"

#include <QTest>

// The catalogue's rows themselves are exercised by the chat flows that send to each model; here
// only what the rows do not show: how an identifier that is no row is treated, and how addresses
// are built from the origin.
class TestModelCatalogue : public QObject {
    Q_OBJECT

private slots:
    void init() { ServiceOrigin::setCurrent(QStringLiteral("https://api.example.com")); }

    void everyModelHasAnEndpointAndAReader()
    {
        QCOMPARE(ModelCatalogue::identifiers().first(), ModelCatalogue::defaultModel());
        for (const QString &model : ModelCatalogue::identifiers()) {
            QVERIFY(ModelCatalogue::modelURLs().value(model).startsWith(
                QStringLiteral("https://api.example.com/api/")));
            QVERIFY(ModelCatalogue::replyFamily(model));
            QVERIFY(ModelCatalogue::modelIconName(model) != u"questionmark.circle");
        }
    }

    // Matching is exact: a display name or a different case is not an identifier, and costs
    // what the dearer tier costs.
    void unknownIdentifiers()
    {
        for (const QString model : {"GPT-4o", "DALL-E-3", ""}) {
            QVERIFY(!ModelCatalogue::modelURLs().contains(model));
            QVERIFY(!ModelCatalogue::replyFamily(model));
            QCOMPARE(ModelCatalogue::modelDisplayName(model), QStringLiteral("选择模型"));
            QCOMPARE(ModelCatalogue::modelIconName(model), QStringLiteral("questionmark.circle"));
            const PriceTier tier = ModelCatalogue::priceTier(model);
            QCOMPARE(tier.inputRate, ModelCatalogue::priceTier("gpt-4o").inputRate);
            QCOMPARE(tier.outputRate, ModelCatalogue::priceTier("gpt-4o").outputRate);
        }
        // With nothing selected the name falls back to the default model's, the icon does not.
        QCOMPARE(ModelCatalogue::modelDisplayName(std::nullopt), QStringLiteral("GPT-3.5"));
        QCOMPARE(ModelCatalogue::modelIconName(std::nullopt),
                 QStringLiteral("questionmark.circle"));
    }

    void originValidation_data()
    {
        QTest::addColumn<QString>("origin");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("https") << "https://api.example.com" << true;
        QTest::newRow("https with port") << "https://api.example.com:8443" << true;
        QTest::newRow("loopback http") << "http://127.0.0.1:8765" << true;
        QTest::newRow("other loopback") << "http://127.8.9.1:1" << true;
        QTest::newRow("localhost") << "http://localhost:8765" << true;
        QTest::newRow("ipv6 loopback") << "http://[::1]:8765" << true;
        QTest::newRow("plain http") << "http://api.example.com" << false;
        QTest::newRow("private http") << "http://192.168.1.2:8765" << false;
        QTest::newRow("loopback-looking name") << "http://127.0.0.1.evil.com" << false;
        QTest::newRow("other scheme") << "ftp://127.0.0.1" << false;
        QTest::newRow("with path") << "https://api.example.com/v1" << false;
        QTest::newRow("not a url") << "no origin" << false;
        QTest::newRow("empty") << "" << false;
    }

    void originValidation()
    {
        QFETCH(QString, origin);
        QFETCH(bool, allowed);
        QCOMPARE(!ServiceOrigin::problem(origin).has_value(), allowed);
    }

    void queryValuesArePercentEncoded()
    {
        const QString o = QStringLiteral("https://api.example.com");
        const auto text = [](const QUrl &url) {
            return url.toString(QUrl::FullyEncoded);
        };
        QCOMPARE(text(ServiceEndpoints::checkQuota("+8613800000000")),
                 o + "/api/check_quota?phone=%2B8613800000000");
        QCOMPARE(text(ServiceEndpoints::checkQuota("1&phone=2#x")),
                 o + "/api/check_quota?phone=1%26phone%3D2%23x");
        QCOMPARE(text(ServiceEndpoints::pricingPage("u 1")), o + "/pricing?userid=u%201");
        ServiceOrigin::setCurrent(QStringLiteral("http://127.0.0.1:8765/"));
        QCOMPARE(text(ServiceEndpoints::sendCode()),
                 QStringLiteral("http://127.0.0.1:8765/api/send-code"));
    }
};

QTEST_GUILESS_MAIN(TestModelCatalogue)
#include "tst_modelcatalogue.moc"
