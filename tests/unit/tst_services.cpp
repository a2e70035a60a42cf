#include "chat/mathcutter.h"
#include "chat/messageblocks.h"
#include "chat/replyformatter.h"
#include "chatharness.h"
#include "logcapture.h"
#include "piecewisereading.h"
#include "publishedstreams.h"
#include "service/chargerules.h"
#include "service/modelcatalogue.h"
#include "service/replyreader.h"

#include <QCryptographicHash>
#include <QImage>
#include <QImageReader>
#include <QRandomGenerator>
#include <QTest>

using namespace Qt::StringLiterals;

using Layout = ReplyStreamReader::Layout;
Q_DECLARE_METATYPE(ReplyStreamReader::Layout)

// The model catalogue and the service addresses, the HTTP client, the picture store, quota, and
// reading and formatting replies.
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

    // An OpenAI data line whose first choice carries `content` (JSON), and a Claude text delta.
    static QByteArray oa(const QByteArray &content)
    {
        return "data: {\"choices\":[{\"delta\":{\"content\":" + content + "}}]}\n";
    }
    static QByteArray delta(const QByteArray &text)
    {
        return "data: {\"type\":\"content_block_delta\",\"delta\":{\"text\":" + text + "}}\n";
    }
    // A reply's text as shown once it has all arrived, or (`partial`) while it arrives.
    static void shownRow(const char *name, const QString &text, const QString &shown,
                         bool partial = false)
    {
        QTest::newRow(name) << text << shown << partial;
    }

    // The prose with each formula found shown as «inline:TeX», «display:TeX», or for one whose
    // closing delimiter has not come, «open inline:TeX» or «open display:TeX».
    static QString cut(const QString &prose)
    {
        QString out;
        qsizetype at = 0;
        for (const MathSpan &span : MathCutter::find(prose)) {
            out += prose.mid(at, span.start - at) + u'«' + (span.closed ? u""_s : u"open "_s) +
                   (span.display ? u"display:"_s : u"inline:"_s) + span.tex + u'»';
            at = span.start + span.length;
        }
        return out + prose.mid(at);
    }

private slots:
    void init() { ServiceOrigin::setCurrent(u"https://api.example.com"_s); }

    // The catalogue's rows themselves are exercised by the chat flows that send to each model; here
    // only what the rows do not show: how an identifier that is no row is treated, and how
    // addresses are built from the origin.

    void everyModelHasAnEndpointAndAReader()
    {
        QCOMPARE(ModelCatalogue::identifiers().first(), ModelCatalogue::defaultModel());
        for (const QString &model : ModelCatalogue::identifiers()) {
            QVERIFY(ModelCatalogue::modelURLs().value(model).startsWith(
                u"https://api.example.com/api/"_s));
            QVERIFY(ModelCatalogue::replyFamily(model));
            QVERIFY(ModelCatalogue::modelIconName(model) != u"questionmark.circle");
        }
    }

    // Matching is exact: a display name or a different case is not an identifier. (What it
    // costs is in the charges table.)
    void unknownIdentifiers()
    {
        for (const QString model : {"GPT-4o", "DALL-E-3", ""}) {
            QVERIFY(!ModelCatalogue::modelURLs().contains(model));
            QVERIFY(!ModelCatalogue::replyFamily(model));
            QCOMPARE(ModelCatalogue::modelDisplayName(model), u"选择模型"_s);
            QCOMPARE(ModelCatalogue::modelIconName(model), u"questionmark.circle"_s);
        }
        // With nothing selected the name falls back to the default model's, the icon does not.
        QCOMPARE(ModelCatalogue::modelDisplayName(std::nullopt), u"GPT-3.5"_s);
        QCOMPARE(ModelCatalogue::modelIconName(std::nullopt), u"questionmark.circle"_s);
    }

    void originValidation_data()
    {
        QTest::addColumn<QString>("origin");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("https") << "https://api.example.com" << true;
        QTest::newRow("loopback http") << "http://127.0.0.1:8765" << true;
        QTest::newRow("other loopback") << "http://127.8.9.1:1" << true;
        QTest::newRow("localhost") << "http://localhost:8765" << true;
        QTest::newRow("plain http") << "http://api.example.com" << false;
        QTest::newRow("private http") << "http://192.168.1.2:8765" << false;
        QTest::newRow("loopback-looking name") << "http://127.0.0.1.evil.com" << false;
        QTest::newRow("other scheme") << "ftp://127.0.0.1" << false;
        QTest::newRow("with path") << "https://api.example.com/v1" << false;
        QTest::newRow("empty") << "" << false;
    }

    void originValidation()
    {
        QFETCH(QString, origin);
        QFETCH(bool, allowed);
        QCOMPARE(!ServiceOrigin::problem(origin).has_value(), allowed);
    }

    // (The "+" of a phone number and the pricing page's query are checked where they are sent.)
    void queryValuesArePercentEncoded()
    {
        QCOMPARE(ServiceEndpoints::checkQuota("1&phone=2#x").toString(QUrl::FullyEncoded),
                 u"https://api.example.com/api/check_quota?phone=1%26phone%3D2%23x"_s);
        ServiceOrigin::setCurrent(u"http://127.0.0.1:8765/"_s);
        QCOMPARE(ServiceEndpoints::sendCode().toString(), u"http://127.0.0.1:8765/api/send-code"_s);
    }

    void everyRequestEndsExactlyOnce_data()
    {
        QTest::addColumn<int>("behaviour");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("transferred");
        QTest::addColumn<QByteArray>("body");

        using B = FakeHttpServer::Behaviour;
        QTest::newRow("ok") << int(B::Answer) << 200 << true << QByteArray("{\"a\":1}");
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

    // Whatever address a picture comes from, it is stored as a new file directly inside the
    // Documents folder, under a name the file system accepts; and a shown picture saves as PNG.
    // Where a name is given, the picture is stored under exactly that name.
    void pictureLandsInsideDocuments_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("name");
        const QString o = u"https://cdn.example.com/images/"_s;
        row("plain", o + "cat.png", "cat.png");
        row("query and fragment left out", o + "b.webp?sig=1&x=2#f", "b.webp");
        row("percent escapes decoded", o + "%E7%8C%AB%20cat.png", "猫 cat.png");
        row("encoded slash cannot leave the folder", o + "x/..%2F..%2Fetc%2Fpasswd", "passwd");
        row("backslash and control characters", o + "a%5Cb%0A.png", "a_b_.png");
        row("no name, and image.png taken", u"https://cdn.example.com/"_s, "image (2).png");
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
        const QString documents = QDir(dir.path()).canonicalPath() + u"/Documents"_s;
        QVERIFY(QDir().mkpath(documents));
        touch(documents + u"/image.png"_s, "earlier");

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
        QFile earlier(documents + u"/image.png"_s); // never overwritten
        QVERIFY(earlier.open(QIODevice::ReadOnly));
        QCOMPARE(earlier.readAll(), QByteArray("earlier"));
        QCOMPARE(log.all(), QStringList{u"Image saved at: "_s + stored});
    }

    void freePathNeverOverwrites_data()
    {
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        // (A free name, and one taken once, are in the table above.)
        QTest::newRow("taken twice")
            << QStringList{"a.png", "a (2).png"} << "a.png" << u"a (3).png"_s;
        QTest::newRow("no extension") << QStringList{"a"} << "a" << u"a (2)"_s;
        QTest::newRow("two dots") << QStringList{"a.b.png"} << "a.b.png" << u"a.b (2).png"_s;
        QTest::newRow("hidden file") << QStringList{".png"} << ".png" << u".png (2)"_s;
        QTest::newRow("percent signs in the name")
            << QStringList{"%1.png"} << "%1.png" << u"%1 (2).png"_s;
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
        const QString source = dir.filePath(u"stored.jpg"_s);
        QVERIFY(picture.save(source, "JPG"));
        const QString target = dir.filePath(u"保存图片.png"_s);
        touch(target, "old"); // an existing file is replaced
        touch(dir.filePath(u"x.png"_s), "no");
        HttpClient http;
        ImageService images(&http);
        LogCapture log;

        QVERIFY(images.saveImageAs(source, QUrl::fromLocalFile(target)));
        QCOMPARE(log.all(), QStringList{u"图片保存成功："_s + target});
        QImageReader reader(target);
        QCOMPARE(reader.format(), QByteArray("png"));
        QCOMPARE(reader.read().size(), QSize(32, 16));

        // Nothing to convert, or no destination chosen: nothing happens, nothing is logged.
        log.clear();
        const QUrl other = QUrl::fromLocalFile(dir.filePath(u"o.png"_s));
        QVERIFY(!images.saveImageAs(dir.filePath(u"x.png"_s), other));
        QVERIFY(!images.saveImageAs(dir.filePath(u"missing.png"_s), other));
        QVERIFY(!images.saveImageAs(source, QUrl()));
        QVERIFY(log.all().isEmpty());
        QVERIFY(!QFile::exists(other.toLocalFile()));

        QVERIFY(!images.saveImageAs(source, QUrl::fromLocalFile(dir.filePath("no/such/o.png"))));
        QCOMPARE(log.all().size(), 1);
        QVERIFY(log.all().first().startsWith(u"保存图片失败："_s));
        QVERIFY(log.all().first().size() > u"保存图片失败："_s.size());
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
        QTest::newRow("white space removed first joins a mark to its letter") << "e \u0301" << 1;
    }

    void countBillableCharacters()
    {
        QFETCH(QString, text);
        QFETCH(int, count);
        QCOMPARE(ChargeRules::countBillableCharacters(text), qsizetype(count));
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
        charge("gpt-4o", "", "", 0.0, 0.0);
    }

    void charges()
    {
        QFETCH(QString, model);
        QFETCH(QString, question);
        QFETCH(QString, reply);
        QFETCH(double, input);
        QFETCH(double, output);
        QVERIFY(qAbs(ChargeRules::inputCharge(model, question, question) - input) < 1e-12);
        QVERIFY(qAbs(ChargeRules::outputCharge(model, reply) - output) < 1e-12);
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
        QTest::newRow("a number member spoils it")
            << QByteArray("{\"hasQuota\":true,\"balance\":12}") << false;
        QTest::newRow("hasQuota as text") << QByteArray("{\"hasQuota\":\"true\"}") << false;
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
    void deductQuota()
    {
        ChatHarness h;
        h.server.on("/api/deduct_quota", FakeHttpServer::Response(400, "{\"error\":\"no\"}"));
        LogCapture log;
        h.quota.deductQuota(0.028);
        QTRY_COMPARE(log.all(), QStringList{u"扣减配额成功"_s});

        const auto request = h.server.requestsTo("/api/deduct_quota").first();
        QCOMPARE(request.method, QByteArray("POST"));
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

        h.settings.set(u"userid"_s, u"a+b 1"_s);
        h.quota.answerUpgradeAlert(true);
        // Not opened while the click is being answered; right after.
        QVERIFY(h.openedPages.isEmpty());
        QTRY_COMPARE(h.openedPages.size(), 1);
        QCOMPARE(h.openedPages.first().toString(QUrl::FullyEncoded),
                 h.server.origin() + u"/pricing?userid=a%2Bb%201"_s);

        h.quota.openPricingPage(QUrl());
        h.quota.openPricingPage(QUrl(u"http://exa mple.com/%zz"_s, QUrl::StrictMode));
        QTest::qWait(20);
        QCOMPARE(h.openedPages.size(), 1);

        // A service that shows the page only by a one-time link for the session: that link.
        h.server.on("/api/pricing-link",
                    FakeHttpServer::Response{200, R"({"path":"/pricing?link=abc"})"});
        h.quota.answerUpgradeAlert(true);
        QTRY_COMPARE(h.openedPages.size(), 2);
        QCOMPARE(h.openedPages.last(), QUrl(h.server.origin() + u"/pricing?link=abc"_s));
    }

    // Event-stream bodies as the providers publish them, and the edge cases the readers must get
    // exactly right.
    void openAIStream_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("parseFailures");

        QTest::newRow("two pieces, escapes, then an end marker")
            << oa("\"Hel\"") + oa("\"lo\\n\\\"\\u4f60\\\"\"") + "data: [DONE]\n"
            << "Hello\n\"你\"" << 1;
        const QByteArray published = ProviderStreams::openAIStream().join();
        QTest::newRow("published chunks, usage chunk, done") << published << "你好，世界" << 1;
        QTest::newRow("published chunks with CR LF")
            << QByteArray(published).replace("\n", "\r\n") << "你好，世界" << 1;
        QTest::newRow("only the first choice is read")
            << QByteArray("data: {\"choices\":[{\"delta\":{\"content\":\"a\"}},"
                          "{\"delta\":{\"content\":\"b\"}}]}")
            << "a" << 0;
        QTest::newRow("choices holding a non-object")
            << QByteArray("data: {\"choices\":[{\"delta\":{\"content\":\"a\"}},7]}") << "" << 0;
        QTest::newRow("content null, delta not an object, choices not an array")
            << QByteArray("data: {\"choices\":[{\"delta\":{\"content\":null}}]}\n"
                          "data: {\"choices\":[{\"delta\":\"x\"}]}\n"
                          "data: {\"choices\":{\"delta\":{\"content\":\"x\"}}}\n")
            << "" << 0;
        QTest::newRow("every data: is removed, inside the text too")
            << QByteArray("data: data: {\"choices\":[{\"delta\":{\"content\":\"a data: b\"}}]}")
            << "a b" << 0;
        QTest::newRow("other lines and data: without a space are not data")
            << QByteArray(": keep-alive\nevent: x\nid: 3\n\n\n"
                          "data:{\"choices\":[{\"delta\":{\"content\":\"no\"}}]}\n"
                          " data: {\"choices\":[{\"delta\":{\"content\":\"no\"}}]}\n")
            << "" << 0;
        QTest::newRow("bare values are errors")
            << QByteArray("data: 42\ndata: \"text\"\ndata: true\ndata: null\ndata: \n") << "" << 5;
        QTest::newRow("a top-level array is valid and ignored")
            << QByteArray("data: [{\"choices\":[{\"delta\":{\"content\":\"x\"}}]}]") << "" << 0;
        QTest::newRow("broken JSON anywhere fails the whole line")
            << QByteArray("data: {\"choices\":[{\"delta\":{\"content\":\"a\"}}],\"x\":tru}\n") +
                   oa("\"b\"").replace("\n", " trailing\n") + oa("\"c\"").replace("\n", "}\n") +
                   "data: {\"choices\":[{\"delta\":{\"content\":\"d\"\n" + oa("\"e\"")
            << "e" << 4;
        QTest::newRow("last line without a line end") << oa("\"end\"").chopped(1) << "end" << 0;
        QTest::newRow("not UTF-8 reads as nothing") << oa("\"\xff\"") << "" << 0;
        QTest::newRow("empty body") << QByteArray() << "" << 0;
        // Each of these overflowed the stack before nesting was limited.
        const QByteArray deep = QByteArray(200000, '[') + QByteArray(200000, ']');
        QTest::newRow("200000 nested arrays") << "data: " + deep + "\n"
                                              << "" << 1;
        QTest::newRow("200000 nested arrays inside choices, then an answer")
            << "data: {\"choices\":" + deep + "}\n" + oa("\"ok\"") << "ok" << 1;
        QTest::newRow("1000 nested arrays are still JSON")
            << "data: " + QByteArray(1000, '[') + QByteArray(1000, ']') << "" << 0;
    }

    void openAIStream()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        QFETCH(int, parseFailures);
        LogCapture log;
        QCOMPARE(ReplyReader::readOpenAIStream(body), expected);
        QCOMPARE(log.count(u"JSON解析失败: "_s), parseFailures);
        QCOMPARE(log.all().size(), parseFailures);
        verifyAnySplitReadsTheSame(Layout::OpenAI, body);
    }

    void claudeStream_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QStringList>("logLines");

        const QByteArray messageDelta =
            "{\"type\":\"message_delta\",\"delta\":{\"stop_reason\":\"end_turn\"}}";
        QTest::newRow("two deltas, one message_delta, three others")
            << "data: {\"type\":\"message_start\"}\n" + delta("\"Hi \"") +
                   "data: {\"type\":\"ping\"}\n"
                   "data: {\"delta\":{\"text\":\"there\"},\"type\":\"content_block_delta\"}\n"
                   "data: " +
                   messageDelta + "\ndata: {\"type\":\"message_stop\"}\n"
            << "Hi there"
            << QStringList{"Unhandled event type: message_start", "Unhandled event type: ping",
                           "Message Delta: " + messageDelta, "Unhandled event type: message_stop"};

        QByteArray published = ProviderStreams::anthropicStream().join();
        const QStringList publishedLog{
            "Unhandled event type: message_start",
            "Unhandled event type: content_block_start",
            "Unhandled event type: ping",
            "Unhandled event type: content_block_stop",
            "Message Delta: " + QRegularExpression("data: (.*message_delta.*)\n")
                                    .match(QString::fromUtf8(published))
                                    .captured(1),
            "Unhandled event type: message_stop",
        };
        QTest::newRow("published events with event: lines and ping")
            << published << "你好，世界" << publishedLog;
        published.replace("\n", "\r\n");
        QTest::newRow("published events with CR LF") << published << "你好，世界" << publishedLog;

        QTest::newRow("delta without text or not an object, type not a string, error event")
            << QByteArray("data: {\"type\":\"content_block_delta\",\"delta\":{\"type\":"
                          "\"input_json_delta\",\"partial_json\":\"{}\"}}\n"
                          "data: {\"type\":5,\"delta\":{\"text\":\"x\"}}\n"
                          "data: {\"type\":\"content_block_delta\",\"delta\":\"x\"}\n"
                          "data: {\"delta\":{\"text\":\"x\"}}\n"
                          "data: {\"type\":\"error\",\"error\":{\"type\":\"overloaded_error\"}}\n"
                          "data: [DONE]\n")
            << ""
            << QStringList{"Unhandled event type: error",
                           "JSON解析失败: " + simdjsonTapeError("[DONE]")};
        QTest::newRow("200000 nested arrays in a delta")
            << "data: {\"type\":\"content_block_delta\",\"delta\":{\"text\":" +
                   QByteArray(200000, '[') + QByteArray(200000, ']') + "}}\n"
            << ""
            << QStringList{u"JSON解析失败: "_s +
                           simdjsonTapeError(QByteArray(2000, '[') + QByteArray(2000, ']'))};
    }

    void claudeStream()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        QFETCH(QStringList, logLines);
        LogCapture log;
        QCOMPARE(ReplyReader::readClaudeStream(body), expected);
        QCOMPARE(log.all(), logLines);
        verifyAnySplitReadsTheSame(Layout::Claude, body);
    }

    // The text read is the pieces logged, put together.
    void plainDataStream_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QStringList>("pieces");
        const auto pieces = [](const char *name, const QByteArray &body,
                               const QStringList &pieces) {
            QTest::newRow(name) << body << pieces;
        };
        pieces("two pieces, final line end dropped", "data: Hello\ndata:  world\n",
               {"Hello", " world"});
        pieces("CR LF line ends", "data: Hello\r\ndata:  world\r\n", {"Hello", " world"});
        pieces("a piece runs over line breaks", "data: line1\nline2\n\ndata: x",
               {"line1\nline2\n", "x"});
        pieces("text before the first data: is dropped", "junk\ndata: a", {"a"});
        pieces("data: not after a line end does not split", "data: a data: b", {"a data: b"});
        pieces("only one final line break is dropped", "data: a\n\n", {"a\n"});
        pieces("empty pieces", "data: \ndata: ", {"", ""});
        pieces("no data at all", "hello\nworld\n", {});
        pieces("not UTF-8", "data: \xfe\xff", {});
    }

    void plainDataStream()
    {
        QFETCH(QByteArray, body);
        QFETCH(QStringList, pieces);
        LogCapture log;
        QCOMPARE(ReplyReader::readPlainDataStream(body), pieces.join(QString()));

        // A body that is not UTF-8 is logged, like everything else about it, as empty text.
        const bool utf8 = !QString::fromUtf8(body).contains(QChar::ReplacementCharacter);
        QStringList expectedLog{u"原文 "_s + (utf8 ? QString::fromUtf8(body) : QString())};
        for (const QString &piece : pieces)
            expectedLog.append(u"提取的完整内容:\n "_s + piece);
        QCOMPARE(log.all(), expectedLog);
        verifyAnySplitReadsTheSame(Layout::PlainData, body);
    }

    // The bodies the fuzzers start from, and bodies whose separators, line ends and characters
    // fall on every byte: any split reads as the whole.
    void bodiesReadTheSameInAnyPieces_data()
    {
        QTest::addColumn<Layout>("layout");
        QTest::addColumn<QByteArray>("body");
        const std::pair<const char *, Layout> corpora[] = {
            {"openai_stream", Layout::OpenAI},
            {"claude_stream", Layout::Claude},
            {"plain_data_stream", Layout::PlainData}};
        for (const auto &[name, layout] : corpora) {
            const QDir dir(QStringLiteral(TALVORO_FUZZ_CORPUS "/") + QLatin1String(name));
            const QStringList files = dir.entryList(QDir::Files);
            QVERIFY(!files.isEmpty());
            for (const QString &file : files) {
                QFile f(dir.filePath(file));
                QVERIFY(f.open(QIODevice::ReadOnly));
                QTest::addRow("%s/%s", name, qPrintable(file)) << layout << f.readAll();
            }
        }
        const QByteArray mixed =
            "data: 你好\r\ndata:  🙂 wo\r\n\r\rdata: x\ndata: \n\r\ndata: \r";
        // Read a byte at a time, the separator starts where the unsettled bytes start.
        QTest::newRow("separator at the start of what is unsettled")
            << Layout::PlainData << QByteArray("data: ab\ndata:  c");
        for (Layout layout : {Layout::OpenAI, Layout::Claude, Layout::PlainData}) {
            QTest::addRow("line ends and characters everywhere, layout %d", int(layout))
                << layout << mixed;
            QTest::addRow("not UTF-8 after some text, layout %d", int(layout))
                << layout << mixed + "\ndata: \xe4\xbd\n" + mixed;
        }
    }

    void bodiesReadTheSameInAnyPieces()
    {
        QFETCH(Layout, layout);
        QFETCH(QByteArray, body);
        verifyAnySplitReadsTheSame(layout, body);
    }

    // A body cut off mid-line keeps the lines that ended; the plain-data family keeps the
    // piece that was growing.
    void cutOffKeepsWhatArrived_data()
    {
        QTest::addColumn<Layout>("layout");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("kept");
        QTest::newRow("OpenAI, half a line")
            << Layout::OpenAI << oa("\"a\"") + oa("\"b\"").chopped(1) << "a";
        QTest::newRow("Claude, half a line")
            << Layout::Claude << delta("\"a\"") + "data: {\"type\":"
            << "a";
        QTest::newRow("plain data, a growing piece")
            << Layout::PlainData << QByteArray("data: a\ndata: bc\r\n") << "abc";
    }

    void cutOffKeepsWhatArrived()
    {
        QFETCH(Layout, layout);
        QFETCH(QByteArray, body);
        QFETCH(QString, kept);
        LogCapture log;
        const auto reader = ReplyStreamReader::create(layout);
        reader->feed(body);
        reader->cutOff();
        QCOMPARE(reader->text(), kept);
        QCOMPARE(log.count(u"JSON解析失败: "_s), 0);
    }

    // As an answer arrives character by character, what its bubble shows only ever grows:
    // every block but the last is already final, and the last is the start of its final self,
    // of the same kind. A block never shows as code and then as prose, or the other way.
    void partialAnswerNeverFlashes_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::newRow("prose, code, prose")
            << QStringLiteral("## 关于\n\n你好！**重点**<br>下面：\n\n```python\ndef f(x):\n"
                              "    return x  # 注释\n\nprint(f(1))\n```\n\n如需真实回答，请设置。");
        QTest::newRow("two blocks, quotes and a list")
            << QStringLiteral("说 \"\"引号\"\" 和 \"hi\"：\n- 一\n- 二\n```\na\n```\n中间\n"
                              "```js\nlet b = 2;\n```");
        QTest::newRow("emoji and four number signs") << u"####🙂 标题\n```\n🙂\n```"_s;
    }

    void partialAnswerNeverFlashes()
    {
        QFETCH(QString, answer);
        const QList<MessageBlock> final =
            MessageBlocks::split(ReplyFormatter::formatReplyText(answer));
        for (qsizetype end = 0; end <= answer.size(); ++end) {
            if (end < answer.size() && answer.at(end).isLowSurrogate())
                continue; // text arrives in whole characters
            const QString partial = answer.left(end);
            const QList<MessageBlock> shown =
                MessageBlocks::split(ReplyFormatter::formatPartialReplyText(partial));
            QVERIFY2(shown.size() <= final.size(), qPrintable(partial));
            for (qsizetype i = 0; i < shown.size(); ++i) {
                const MessageBlock &now = shown.at(i);
                const MessageBlock &then = final.at(i);
                QVERIFY2(now.isCode == then.isCode, qPrintable(partial));
                if (i + 1 < shown.size())
                    QVERIFY2(now.text == then.text, qPrintable(partial));
                else
                    QVERIFY2(then.text.startsWith(now.text), qPrintable(partial));
            }
        }
    }

    // The scripts the program carries are the ones third_party/rebuild.sh built from its pinned
    // packages: the checksums it recorded hold for its inputs and for what the program reads.
    void bundledScriptsAreTheRebuiltOnes_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("bundle");
        QTest::newRow("highlight.js") << u"highlightjs"_s << u"highlight.bundle.js"_s;
        QTest::newRow("MathJax") << u"mathjax"_s << u"mathjax.bundle.js"_s;
    }

    void bundledScriptsAreTheRebuiltOnes()
    {
        QFETCH(QString, folder);
        QFETCH(QString, bundle);
        const QString dir = QStringLiteral(TALVORO_THIRD_PARTY) + u'/' + folder + u'/';
        QFile sums(dir + u"SHA256SUMS"_s);
        QVERIFY(sums.open(QIODevice::ReadOnly));
        QStringList checked;
        for (const QByteArray &line : sums.readAll().split('\n')) {
            if (line.isEmpty())
                continue;
            const QString name = QString::fromUtf8(line.mid(66));
            QFile file(name == bundle ? u":/scripts/"_s + bundle : dir + name);
            QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
            QCOMPARE(QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex(),
                     line.left(64));
            checked.append(name);
        }
        for (const QString &name : {u"package.json"_s, u"package-lock.json"_s, bundle})
            QVERIFY2(checked.contains(name), qPrintable(name));
        // Versions are exact: a range would let a rebuild pick another release.
        QFile manifest(dir + u"package.json"_s);
        QVERIFY(manifest.open(QIODevice::ReadOnly));
        const QByteArray pins = manifest.readAll();
        QVERIFY(!pins.contains('^') && !pins.contains('~'));
    }

    // What is cut out of a prose piece as math before Markdown reads it, and what stays text.
    void mathIsCutOut_data()
    {
        QTest::addColumn<QString>("prose");
        QTest::addColumn<QString>("cut");
        const auto row = [](const char *name, const QString &prose, const QString &cut) {
            QTest::newRow(name) << prose << cut;
        };
        row("inline dollars in Chinese", u"面积是 $\\pi r^2$，单位平方米"_s,
            u"面积是 «inline:\\pi r^2»，单位平方米"_s);
        row("display dollars on lines of their own", u"如下：\n$$\n\\int_0^1 x\\,dx\n$$\n完"_s,
            u"如下：\n«display:\n\\int_0^1 x\\,dx\n»\n完"_s);
        row("parentheses", u"设 \\(a+b\\) 为和"_s, u"设 «inline:a+b» 为和"_s);
        row("brackets", u"\\[x^2 + y^2\\]"_s, u"«display:x^2 + y^2»"_s);
        row("two in a row", u"$a$$b$"_s, u"«inline:a»«inline:b»"_s);
        row("currency stays text", u"$5 和 $10"_s, u"$5 和 $10"_s);
        row("a price among many", u"原价 $5，会员 $4，学生 $3"_s, u"原价 $5，会员 $4，学生 $3"_s);
        row("a digit after the closing sign", u"$x$2"_s, u"$x$2"_s);
        row("a space after the opening sign", u"$ x$"_s, u"$ x$"_s);
        row("a space before the closing sign", u"$x $"_s, u"$x $"_s);
        row("escaped dollars are dollars", u"\\$x\\$ 和 \\$5"_s, u"\\$x\\$ 和 \\$5"_s);
        row("an escaped dollar inside a formula", u"\\(x = \\$3\\)"_s, u"«inline:x = \\$3»"_s);
        row("math in an inline code span", u"`$x$` 和 $y$"_s, u"`$x$` 和 «inline:y»"_s);
        row("math in fenced code", u"```\n$x$\n```\n$y$"_s, u"```\n$x$\n```\n«inline:y»"_s);
        row("a single dollar never closed", u"只有 $x 一个"_s, u"只有 $x 一个"_s);
        row("no formula across a blank line", u"$a\n\nb$"_s, u"$a\n\nb$"_s);
        row("parentheses inside $$", u"$$a \\(b\\) c$$"_s, u"«display:a \\(b\\) c»"_s);
        row("a dollar inside brackets", u"\\[a $ b\\]"_s, u"«display:a $ b»"_s);
        row("empty delimiters are text", u"\\(\\) 和 \\[ \\]"_s, u"\\(\\) 和 \\[ \\]"_s);
        row("an escaped backslash before a parenthesis", u"\\\\(x)"_s, u"\\\\(x)"_s);
        // An answer arrives in pieces: a formula cut off shows as its source to the end of
        // its paragraph, whichever piece ended it.
        row("unclosed parentheses run to the paragraph's end", u"设 \\(a+b 为\n\n下一段"_s,
            u"设 «open inline:a+b 为»\n\n下一段"_s);
        row("split: display formula arriving", u"$$\\sum_{i=1}^"_s,
            u"«open display:\\sum_{i=1}^»"_s);
        row("split: its closing sign half there", u"$$\\sum_{i=1}^n i$"_s,
            u"«open display:\\sum_{i=1}^n i$»"_s);
        row("split: complete", u"$$\\sum_{i=1}^n i$$"_s, u"«display:\\sum_{i=1}^n i»"_s);
        row("split: brackets arriving", u"\\[\\frac{a}{b} \\"_s,
            u"«open display:\\frac{a}{b} \\»"_s);
    }

    void mathIsCutOut()
    {
        QFETCH(QString, prose);
        QFETCH(QString, cut);
        QCOMPARE(TestServices::cut(prose), cut);
    }

    void formatReplyText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("partial");

        shownRow("fenced block with language and blank lines around",
                 "Text:\n\n```python\nx = 1\n```\n\nMore", "Text:<code>x = 1</code>More");
        shownRow("two blocks stay two", "```\na\n```\nmid\n```\nb\n```",
                 "<code>a</code>mid<code>b</code>");
        shownRow("line breaks inside the code stay", "```js\nl1\n\n  l2\n```",
                 "<code>l1\n\n  l2</code>");
        shownRow("unclosed fence is left alone", "```\nabc", "```\nabc");
        shownRow("Unicode white space around fences", "a\u3000```\nx\n```\u3000b",
                 "a<code>x</code>b");
        shownRow("heading marks", "### H\n## T", "  H\n  T");
        shownRow("four and five number signs", "####|#####", " #|  ");
        shownRow("<br> only in lower case", "a<br>b<BR>c", "a\nb<BR>c");
        shownRow("bold marks", "**bold** and ***x", "bold and *x");
        shownRow("adjacent double quotes", "say \"\"hi\"\" \"\"\"", "say hi \"");
        shownRow("number signs joined by removed bold stay", "#**#", "##");
        shownRow("quotes joined by removed bold vanish", "\"**\"", "");
        // Code is shown, copied, sent as context and charged as the model wrote it.
        shownRow("marks around a block go, in it they stay", "**```\n**x**\n```**",
                 "<code>**x**</code>");
        shownRow("Python power and docstring",
                 "```python\ndef area(r):\n    \"\"\"Circle area.\"\"\"\n"
                 "    return 3.14159 * r ** 2\n```",
                 "<code>def area(r):\n    \"\"\"Circle area.\"\"\"\n    return 3.14159 * r ** 2"
                 "</code>");
        shownRow("C token pasting and an empty string",
                 "```c\n#define CAT(a, b) a ## b\n### x\nchar *s = \"\";\n```",
                 "<code>#define CAT(a, b) a ## b\n### x\nchar *s = \"\";</code>");
        shownRow("<br> in HTML code", "```html\n<p>a<br>b</p>\n```", "<code><p>a<br>b</p></code>");
        shownRow("prose on both sides of a block is still tidied",
                 "**注意**：\n```\nx ** 2\n```\n## 完", "注意：<code>x ** 2</code>  完");
        shownRow("inline code spans keep their marks", "用 `r ** 2`、``a ` \"\"``，**粗**",
                 "用 `r ** 2`、``a ` \"\"``，粗");
        shownRow("backquotes of different lengths are no span", "``**a`**", "``a`");
        shownRow("a span does not cross a blank line", "`**a\n\n**`", "`a\n\n`");
        shownRow("an unclosed fence is tidied as prose", "```\n**a", "```\na");
        // The block search is a linear scan that must agree with the expression everywhere.
        shownRow("four backquotes open at the second", "````a\n``` a\n```", "`<code>``` a</code>");
        shownRow("white space ending at a fence closes an empty block", "```x\n\n```",
                 "<code></code>");
        shownRow("closing fence past another fence", "```x\n```\n```", "<code>```</code>");
        shownRow("NEL is white space", "a\u0085```\nx\n```\u0085b", "a<code>x</code>b");
        // The expression took 17 s over 4000 line breaks after an unclosed fence.
        const QString unclosed = u"```x\n"_s + QString(200000, u'\n');
        shownRow("unclosed fence before 200000 line breaks", unclosed, unclosed);

        shownRow("partial: half a bold mark", "a *", "a ", true);
        shownRow("partial: bold opened", "a **b", "a b", true);
        shownRow("partial: half a line break tag", "a <br", "a ", true);
        shownRow("partial: heading mark arriving", "x\n#", "x\n", true);
        shownRow("partial: fence arriving", "x ``", "x ", true);
        shownRow("partial: fence with its language arriving", "看：\n```py", "看：\n", true);
        shownRow("partial: open block shows as code", "看：\n```py\nx = 1",
                 "看：<code>x = 1</code>", true);
        shownRow("partial: open block, closing fence arriving", "看：\n```py\nx = 1\n``",
                 "看：<code>x = 1</code>", true);
        shownRow("partial: open block keeps its marks", "```py\nr ** 2", "<code>r ** 2</code>",
                 true);
        shownRow("partial: second block open", "```\na\n```\nmid\n```\nb",
                 "<code>a</code>mid<code>b</code>", true);
    }

    void formatReplyText()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        QFETCH(bool, partial);
        QCOMPARE(partial ? ReplyFormatter::formatPartialReplyText(text)
                         : ReplyFormatter::formatReplyText(text),
                 shown);
    }

private:
    // Fed in any pieces, one byte at a time included, a body reads exactly as in one piece:
    // the same text and the same log lines in the same order; and the text handed out while it
    // arrives adds up to the answer.
    static void verifyAnySplitReadsTheSame(Layout layout, const QByteArray &body)
    {
        LogCapture log;
        const Reading whole = readInPieces(
            layout, body, [&] { return body.size(); }, log);
        QVERIFY(!whole.utf8 || whole.handedOut == whole.text);
        for (int largest : {1, 3, 16, 80, 700, 4096}) { // 1: one byte at a time
            QRandomGenerator sizes(largest); // pieces of random sizes up to `largest` bytes
            const Reading pieces = readInPieces(
                layout, body, [&] { return qsizetype(sizes.bounded(1, largest + 1)); }, log);
            QCOMPARE(pieces.text, whole.text);
            QCOMPARE(pieces.log, whole.log);
            QCOMPARE(pieces.utf8, whole.utf8);
            if (whole.utf8)
                QCOMPARE(pieces.handedOut, whole.text);
        }
    }

    // The parser's description of why `payload` is not JSON, as the reader logs it.
    static QString simdjsonTapeError(const QByteArray &payload)
    {
        LogCapture log;
        ReplyReader::readOpenAIStream(QByteArray("data: ") + payload);
        const QString line = log.all().value(0);
        return line.mid(u"JSON解析失败: "_s.size());
    }
};

QTEST_GUILESS_MAIN(TestServices)
#include "tst_services.moc"
