#include "chatharness.h"
#include "logcapture.h"
#include "service/modelcatalogue.h"

#include <QImage>
#include <QImageReader>
#include <QTest>

// The model catalogue and the service addresses, the HTTP client, the picture store, and quota.
class TestServices : public QObject {
    Q_OBJECT

    static void touch(const QString &path, const QByteArray &bytes = {})
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
    static void row(const char *name, const QString &address, const QString &fileName)
    {
        QTest::newRow(name) << address << fileName;
    }

    static void charge(const char *model, const QString &question, const QString &reply,
                       double input, double output)
    {
        QTest::addRow("%s, reply of %d", model, int(reply.size()))
            << model << question << reply << input << output;
    }

private slots:
    void init() { ServiceOrigin::setCurrent(QStringLiteral("https://api.example.com")); }

    // The catalogue's rows themselves are exercised by the chat flows that send to each model; here
    // only what the rows do not show: how an identifier that is no row is treated, and how
    // addresses are built from the origin.

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

    // Whatever address a picture comes from, it is stored as a new file directly inside the
    // Documents folder, under a name the file system accepts; and a shown picture saves as PNG.
    // Where a name is given, the picture is stored under exactly that name.
    void pictureLandsInsideDocuments_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("name");
        const QString o = QStringLiteral("https://cdn.example.com/images/");
        row("plain", o + "cat.png", "cat.png");
        row("query and fragment left out", o + "b.webp?sig=1&x=2#f", "b.webp");
        row("percent escapes decoded", o + "%E7%8C%AB%20cat.png", "猫 cat.png");
        row("encoded slash cannot leave the folder", o + "x/..%2F..%2Fetc%2Fpasswd", "passwd");
        row("backslash and control characters", o + "a%5Cb%0A.png", "a_b_.png");
        row("no name, and image.png taken", QStringLiteral("https://cdn.example.com/"),
            "image (2).png");
        row("dot dot", o + "a/%2E%2E", "image (2).png");
        row("overlong name keeps its extension", o + QString(300, u'n') + ".png",
            QString(196, u'n') + ".png");
        row("150 CJK characters", o + QString("%E5%9B%BE").repeated(150) + ".png", {});
        row("100 emoji, no extension", o + QString("%F0%9F%98%80").repeated(100), {});
        row("long extension", o + "a." + QString(300, u'x'), {});
        row("leading colon", o + ":scdn.e", {});
        row("colon and slash encoded", o + ":%2Fetc%2Fpasswd", {});
        row("encoded dot-dot segments", o + "..%2F..%2F.ssh%2Fauthorized_keys", {});
        row("NUL", o + "a%00b.png", {});
        row("hidden name", o + ".profile", {});
    }

    void pictureLandsInsideDocuments()
    {
        QFETCH(QString, address);
        QFETCH(QString, name);
        QTemporaryDir dir;
        const QString documents = QDir(dir.path()).canonicalPath() + QStringLiteral("/Documents");
        QVERIFY(QDir().mkpath(documents));
        touch(documents + QStringLiteral("/image.png"), "earlier");

        ImageService service(nullptr);
        service.setDocumentsFolder(documents);
        HttpResult download;
        download.status = 200;
        download.body = "picture bytes";
        QString stored;
        LogCapture log;
        service.saveImageToDocuments(
            download, QUrl(address, QUrl::StrictMode), [&](const QString &path) { stored = path; },
            [&](const QString &notice) { QFAIL(qPrintable(notice + log.all().join(u'\n'))); });

        QVERIFY(!stored.isEmpty());
        QCOMPARE(QFileInfo(stored).absoluteDir().canonicalPath(), documents);
        QVERIFY(QFileInfo(stored).fileName().toUtf8().size() <= 255);
        if (!name.isEmpty())
            QCOMPARE(QFileInfo(stored).fileName(), name);
        QFile file(stored);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), download.body);
        QFile earlier(documents + QStringLiteral("/image.png")); // never overwritten
        QVERIFY(earlier.open(QIODevice::ReadOnly));
        QCOMPARE(earlier.readAll(), QByteArray("earlier"));
        QCOMPARE(log.all(), QStringList{QStringLiteral("Image saved at: ") + stored});
    }

    void freePathNeverOverwrites_data()
    {
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("free") << QStringList{} << "a.png" << QStringLiteral("a.png");
        QTest::newRow("taken") << QStringList{"a.png"} << "a.png" << QStringLiteral("a (2).png");
        QTest::newRow("taken twice")
            << QStringList{"a.png", "a (2).png"} << "a.png" << QStringLiteral("a (3).png");
        QTest::newRow("no extension") << QStringList{"a"} << "a" << QStringLiteral("a (2)");
        QTest::newRow("two dots") << QStringList{"a.b.png"} << "a.b.png"
                                  << QStringLiteral("a.b (2).png");
        QTest::newRow("hidden file") << QStringList{".png"} << ".png" << QStringLiteral(".png (2)");
        QTest::newRow("percent signs in the name")
            << QStringList{"%1.png"} << "%1.png" << QStringLiteral("%1 (2).png");
    }

    void freePathNeverOverwrites()
    {
        QFETCH(QStringList, existing);
        QFETCH(QString, name);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        for (const QString &f : existing)
            touch(dir.filePath(f));
        QCOMPARE(ImageService::freePath(dir.path(), name), dir.filePath(expected));
    }

    void saveImageAs()
    {
        QTemporaryDir dir;
        QImage picture(32, 16, QImage::Format_RGB32);
        picture.fill(Qt::darkRed);
        const QString source = dir.filePath(QStringLiteral("stored.jpg"));
        QVERIFY(picture.save(source, "JPG"));
        const QString target = dir.filePath(QStringLiteral("保存图片.png"));
        touch(target, "old"); // an existing file is replaced
        touch(dir.filePath(QStringLiteral("x.png")), "no");
        HttpClient http;
        ImageService images(&http);
        LogCapture log;

        QVERIFY(images.saveImageAs(source, QUrl::fromLocalFile(target)));
        QCOMPARE(log.all(), QStringList{QStringLiteral("图片保存成功：") + target});
        QImageReader reader(target);
        QCOMPARE(reader.format(), QByteArray("png"));
        QCOMPARE(reader.read().size(), QSize(32, 16));

        // Nothing to convert, or no destination chosen: nothing happens, nothing is logged.
        log.clear();
        const QUrl other = QUrl::fromLocalFile(dir.filePath(QStringLiteral("o.png")));
        QVERIFY(!images.saveImageAs(dir.filePath(QStringLiteral("x.png")), other));
        QVERIFY(!images.saveImageAs(dir.filePath(QStringLiteral("missing.png")), other));
        QVERIFY(!images.saveImageAs(source, QUrl()));
        QVERIFY(log.all().isEmpty());
        QVERIFY(!QFile::exists(other.toLocalFile()));

        QVERIFY(!images.saveImageAs(source, QUrl::fromLocalFile(dir.filePath("no/such/o.png"))));
        QCOMPARE(log.all().size(), 1);
        QVERIFY(log.all().first().startsWith(QStringLiteral("保存图片失败：")));
        QVERIFY(log.all().first().size() > QStringLiteral("保存图片失败：").size());
    }

    // Counting, charging and the upgrade flow. What a send does with each quota verdict, and a
    // failed charge, are in tst_chatflow.
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

QTEST_GUILESS_MAIN(TestServices)
#include "tst_services.moc"
