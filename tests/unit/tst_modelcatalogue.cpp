#include "core/serviceorigin.h"
#include "service/modelcatalogue.h"

#include <QTest>

class TestModelCatalogue : public QObject {
    Q_OBJECT

private slots:
    void init() { ServiceOrigin::setCurrent(QStringLiteral("https://api.example.com")); }

    void lookups_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("icon");
        QTest::addColumn<int>("family"); // -1: none
        QTest::addColumn<double>("input");
        QTest::addColumn<double>("output");
        QTest::addColumn<double>("flat");

        const QString o = QStringLiteral("https://api.example.com");
        QTest::newRow("gpt-3.5") << "gpt-3.5-turbo-0125" << o + "/api/proxy_openai2"
                                 << "GPT-3.5"
                                 << "chat3.5" << int(ReplyFamily::OpenAIStream) << 0.0007 << 0.0021
                                 << 0.0;
        QTest::newRow("claude-3") << "claude-3-haiku-20240307" << o + "/api/proxy_claude2"
                                  << "Claude-3"
                                  << "claude3" << int(ReplyFamily::ClaudeStream) << 0.0007 << 0.0021
                                  << 0.0;
        QTest::newRow("gpt-4o") << "gpt-4o" << o + "/api/proxy_openai2"
                                << "GPT-4o"
                                << "chat4" << int(ReplyFamily::OpenAIStream) << 0.007 << 0.021
                                << 0.0;
        QTest::newRow("claude-3.5")
            << "claude-3-5-sonnet-20240620" << o + "/api/proxy_claude2"
            << "Claude-3.5"
            << "claude3.5" << int(ReplyFamily::ClaudeStream) << 0.007 << 0.021 << 0.0;
        QTest::newRow("gemini") << "gemini-1.5-pro" << o + "/api/proxy_gemini2"
                                << "Gemini-Pro"
                                << "gemini" << int(ReplyFamily::PlainDataStream) << 0.007 << 0.021
                                << 0.0;
        QTest::newRow("dall-e") << "dall-e-3" << o + "/api/generate_image"
                                << QString::fromUtf8("DALL\xC2\xB7"
                                                     "E")
                                << "dall" << int(ReplyFamily::ImageResult) << 0.0 << 0.0 << 100.0;
        // Matching is exact: a display name or a different case is not an identifier.
        QTest::newRow("display name") << "GPT-4o" << QString() << "选择模型"
                                      << "questionmark.circle" << -1 << 0.007 << 0.021 << 0.0;
        QTest::newRow("upper case") << "DALL-E-3" << QString() << "选择模型"
                                    << "questionmark.circle" << -1 << 0.007 << 0.021 << 0.0;
    }

    void lookups()
    {
        QFETCH(QString, model);
        QFETCH(QString, url);
        QFETCH(QString, name);
        QFETCH(QString, icon);
        QFETCH(int, family);
        QFETCH(double, input);
        QFETCH(double, output);
        QFETCH(double, flat);

        QCOMPARE(ModelCatalogue::modelURLs().value(model), url);
        QCOMPARE(ModelCatalogue::modelDisplayName(model), name);
        QCOMPARE(ModelCatalogue::modelIconName(model), icon);
        const auto f = ModelCatalogue::replyFamily(model);
        QCOMPARE(f ? int(*f) : -1, family);
        const PriceTier tier = ModelCatalogue::priceTier(model);
        QCOMPARE(tier.inputRate, input);
        QCOMPARE(tier.outputRate, output);
        QCOMPARE(tier.flatCharge, flat);
    }

    void absentSelection()
    {
        // The name falls back to the default model's, the icon does not.
        QCOMPARE(ModelCatalogue::modelDisplayName(std::nullopt), QStringLiteral("GPT-3.5"));
        QCOMPARE(ModelCatalogue::modelIconName(std::nullopt),
                 QStringLiteral("questionmark.circle"));
        QCOMPARE(ModelCatalogue::identifiers().size(), 6);
        QCOMPARE(ModelCatalogue::identifiers().first(), ModelCatalogue::defaultModel());
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

    void queryValuesArePercentEncoded_data()
    {
        QTest::addColumn<QUrl>("address");
        QTest::addColumn<QString>("expected");
        const QString o = QStringLiteral("https://api.example.com");
        QTest::newRow("phone with plus") << ServiceEndpoints::checkQuota("+8613800000000")
                                         << o + "/api/check_quota?phone=%2B8613800000000";
        QTest::newRow("empty phone")
            << ServiceEndpoints::checkQuota(QString()) << o + "/api/check_quota?phone=";
        QTest::newRow("injected parameter") << ServiceEndpoints::checkQuota("1&phone=2#x")
                                            << o + "/api/check_quota?phone=1%26phone%3D2%23x";
        QTest::newRow("user id") << ServiceEndpoints::accountInfo("10086")
                                 << o + "/api/macos_account_info?userid=10086";
        QTest::newRow("pricing") << ServiceEndpoints::pricingPage("u 1")
                                 << o + "/pricing?userid=u%201";
        QTest::newRow("terms") << ServiceEndpoints::termsPage() << o + "/yinsi";
    }

    void queryValuesArePercentEncoded()
    {
        QFETCH(QUrl, address);
        QFETCH(QString, expected);
        QCOMPARE(address.toString(QUrl::FullyEncoded), expected);
    }

    void trailingSlashOfTheOriginIsDropped()
    {
        ServiceOrigin::setCurrent(QStringLiteral("http://127.0.0.1:8765/"));
        QCOMPARE(ServiceEndpoints::sendCode().toString(QUrl::FullyEncoded),
                 QStringLiteral("http://127.0.0.1:8765/api/send-code"));
    }
};

QTEST_GUILESS_MAIN(TestModelCatalogue)
#include "tst_modelcatalogue.moc"
