#include "chatharness.h"
#include "logcapture.h"

#include <QDirIterator>
#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;

// Failed, malformed and hostile answers on every endpoint a send touches: wrong types, huge and
// deeply nested bodies, invalid UTF-8, cut and broken chunked bodies, stalls, resets, redirects
// elsewhere, picture addresses that are no web address. Whatever comes, the program does not
// crash, no placeholder keeps waiting, what is shown is what is stored, no file lands outside the
// Documents folder, and the log says what happened.
class TestHostileAnswers : public QObject {
    Q_OBJECT

    using B = FakeHttpServer::Behaviour;
    using Response = FakeHttpServer::Response;

    static constexpr int kWait = 20000;
    // The content of a message that shows a stored picture.
    static inline const QString kPicture = QStringLiteral("<picture>");

    static Response redirect(const QByteArray &to)
    {
        Response r(302);
        r.headers.append({"Location", to});
        return r;
    }
    static Response stream(const QByteArray &body)
    {
        Response r(200, body);
        r.contentType = "text/event-stream";
        return r;
    }
    static Response chunked(const QByteArray &chunks)
    {
        return Response::with(B::Raw, "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
                                      "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n" +
                                          chunks);
    }

    // "{origin}" and "{other}" stand for the backend's origin and another server's.
    static Response resolve(Response r, const FakeHttpServer &main, const FakeHttpServer &other)
    {
        const auto fill = [&](QByteArray &text) {
            text.replace("{origin}", main.origin().toUtf8())
                .replace("{other}", other.origin().toUtf8().replace("127.0.0.1", "localhost"));
        };
        fill(r.body);
        for (auto &header : r.headers)
            fill(header.second);
        return r;
    }

    // Files under `root` other than the settings database and what is in `documents`.
    static QStringList filesOutside(const QString &root, const QString &documents)
    {
        QStringList out;
        QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (!path.startsWith(documents + u'/') && !it.fileName().startsWith(u"settings.db"))
                out.append(path);
        }
        return out;
    }

    // The model is the one whose request `path` answers (the picture model for downloads).
    static void add(const char *name, const QByteArray &path, const Response &response,
                    const QString &content, const QString &log = {})
    {
        const QString model = path.contains("claude")   ? "claude-3-haiku-20240307"
                              : path.contains("gemini") ? "gemini-1.5-pro"
                              : path.contains("image") || path.startsWith("/files/") ? "dall-e-3"
                                                                                     : "gpt-4o";
        QTest::newRow(name) << model << path << response << content << log;
    }

private slots:
    void chatAndPictures_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<Response>("response");
        QTest::addColumn<QString>("content");
        QTest::addColumn<QString>("log");

        const QByteArray oa = "/api/proxy_openai2";
        const QByteArray cl = "/api/proxy_claude2";
        const QByteArray gm = "/api/proxy_gemini2";
        const QByteArray gen = "/api/generate_image";
        const QByteArray file = "/files/p.png";
        const QByteArray quota = "/api/check_quota";
        // A chat answer that yields no text says so.
        const QString nothing = QStringLiteral("（模型没有返回内容）");
        const QString network = QStringLiteral("网络请求失败，请稍后重试");
        const QString unusable = QStringLiteral("图片生成失败，请稍后重试");
        const QString refused = QStringLiteral("请升级会员后再次访问");
        const QString noImage = QStringLiteral("无法解析DALL-E的响应");
        const QString imageNotJson = QStringLiteral("DALL-E JSON解析失败: ");
        const QString downloadFailed = QStringLiteral("下载图片失败: ");
        const QByteArray notHttp("\x00\xff garbage that is not HTTP\r\n\r\n", 32);
        const Response stall = Response::with(B::Stall);
        const Response reset = Response::with(B::Reset);
        const auto image = [](const QByteArray &address) {
            return Response(200, "{\"image_url\":\"" + address + "\"}");
        };

        add("openai: escaped NUL in the text", oa,
            stream("data: {\"choices\":[{\"delta\":{\"content\":\"a\\u0000b\"}}]}"),
            QStringLiteral("a") + QChar(0) + u'b');
        add("openai: 3 MB body over the cap", oa, stream("data: " + QByteArray(3 << 20, 'x')),
            network);
        add("openai: chunked body cut inside a chunk", oa,
            chunked("40\r\ndata: {\"choices\":[{\"delta\":{\"content\":\"cut"), network);
        // Qt reads a chunk size it cannot parse as the last chunk: an empty answer.
        add("openai: chunk size that is not hexadecimal", oa, chunked("zz\r\ndata: x\r\n0\r\n\r\n"),
            nothing);
        add("openai: stall past the idle time-out", oa, stall, network);
        add("openai: reset", oa, reset, network);
        add("openai: redirect to another host", oa, redirect("{other}/api/proxy_openai2"), network);
        add("openai: redirect to a local file", oa, redirect("file:///etc/passwd"), network);

        add("claude: 2000 unknown events", cl,
            stream(QByteArray("data: {\"type\":\"zz\"}\n").repeated(2000)), nothing,
            "Unhandled event type: zz");
        add("claude: invalid UTF-8", cl,
            stream(
                "data: {\"type\":\"content_block_delta\",\"delta\":{\"text\":\"\xed\xa0\x80\"}}"),
            nothing);
        add("claude: not HTTP", cl, Response::with(B::Raw, notHttp), network);

        add("gemini: NUL and CR LF", gm, stream(QByteArray("data: a\0b\r\ndata: c", 18)),
            QStringLiteral("a") + QChar(0) + QStringLiteral("bc"));
        add("gemini: 20000 empty pieces", gm, stream(QByteArray("data: \n").repeated(20000)),
            nothing);
        add("gemini: body cut short before any text", gm,
            Response::with(B::Truncated, "data:partial"), network);

        add("image: answer reset", gen, reset, network);
        add("image: answer a JSON array", gen,
            Response(200, "[{\"image_url\":\"{origin}/files/p.png\"}]"), unusable, noImage);
        add("image: image_url a number", gen, Response(200, "{\"image_url\":5}"), unusable,
            noImage);
        add("image: image_url empty", gen, image(""), unusable, noImage);
        add("image: javascript address", gen, image("javascript:alert(1)"), unusable, noImage);
        add("image: data address", gen, image("data:image/png;base64,iVBORw0KGgo="), unusable,
            noImage);
        add("image: file address", gen, image("file:///etc/passwd"), unusable, noImage);
        add("image: 100000 nested arrays", gen,
            Response(200, QByteArray(100000, '[') + QByteArray(100000, ']')), unusable,
            imageNotJson);
        add("image: answer not UTF-8", gen, Response(200, "{\"image_url\":\"\xff\"}"), unusable,
            imageNotJson);
        add("download: redirected to another host", file, redirect("{other}/files/p.png"), kPicture,
            "Image saved at: ");
        add("download: redirected to a local file", file, redirect("file:///etc/passwd"), network,
            downloadFailed);
        add("download: cut inside a chunk", file, chunked("100\r\n\x89PNG"), network,
            downloadFailed);
        add("download: stall", file, stall, network, downloadFailed);
        add("download: not found", file, Response(404, "not found"), unusable,
            "下载图片失败: HTTP 404");
        add("download: empty", file, Response(200, ""), unusable, "下载图片失败: 未知错误");

        add("quota: refused", quota, Response(200, "{\"hasQuota\":false}"), refused);
        add("quota: error page counts as refused", quota, Response(500, "<html>"), refused);
        add("quota: reset is no answer", quota, reset, network);
        add("charge: reset", "/api/deduct_quota", reset, QStringLiteral("答"),
            QStringLiteral("扣减配额失败: "));
    }

    void chatAndPictures()
    {
        QFETCH(QString, model);
        QFETCH(QByteArray, path);
        QFETCH(Response, response);
        QFETCH(QString, content);
        QFETCH(QString, log);

        ChatHarness h;
        FakeHttpServer other;
        h.http.setIdleTimeout(500ms);
        h.http.setMaxBodySize(2 << 20);
        for (const char *chat : {"/api/proxy_openai2", "/api/proxy_claude2"})
            h.server.on(chat, stream(ChatHarness::openAIBody({QStringLiteral("答")})));
        h.server.on(
            "/api/generate_image",
            resolve(Response(200, "{\"image_url\":\"{origin}/files/p.png\"}"), h.server, other));
        h.server.on("/files/p.png", Response(200, ChatHarness::png()));
        other.on("/files/p.png", Response(200, ChatHarness::png()));
        h.server.on(path, resolve(response, h.server, other));
        auto c = h.controller();
        QSignalSpy alerts(c.get(), &ChatController::upgradeAlertRequested);
        LogCapture logged;

        ChatHarness::send(*c, model, QStringLiteral("问题"));
        QTRY_VERIFY_WITH_TIMEOUT(c->pendingSends() == 0, kWait);
        QCOMPARE(c->messages()->count(), 2);
        for (const Message &m : c->messageList())
            QVERIFY(!m.isLoading);
        const Message &last = c->messageList().last();
        QVERIFY(!last.isUserMessage);
        QCOMPARE(last.cachedImagePath.has_value(), content == kPicture);
        QCOMPARE(last.content, content == kPicture ? QString() : content);
        // Stored as shown: the question was kept when it was sent, and the answer or notice
        // ended it.
        QCOMPARE(h.stored(*c).size(), 2);
        QCOMPARE(h.stored(*c).last().content, last.content);
        QCOMPARE(h.stored(*c).last().cachedImagePath, last.cachedImagePath);

        const QString documents = QDir(h.images.documentsFolder()).canonicalPath();
        if (last.cachedImagePath) {
            const QFileInfo stored(*last.cachedImagePath);
            QCOMPARE(stored.absoluteDir().canonicalPath(), documents);
            QFile file(stored.filePath());
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), ChatHarness::png());
        } else {
            QVERIFY(QDir(h.images.documentsFolder()).entryList(QDir::Files).isEmpty());
        }
        QCOMPARE(filesOutside(QDir(h.dir.path()).canonicalPath(), documents), QStringList());
        if (!log.isEmpty())
            QTRY_VERIFY2_WITH_TIMEOUT(logged.count(log) >= 1,
                                      qPrintable(logged.all().join(u'\n').left(2000)), kWait);
        // Redirects to another origin are only followed for picture downloads.
        if (!path.startsWith("/files/"))
            QVERIFY(other.requests().isEmpty());
        // A refusal asks to upgrade; without a yes nothing is asked of the model or charged.
        QCOMPARE(alerts.count(), content == QStringLiteral("请升级会员后再次访问") ? 1 : 0);
        if (path == "/api/check_quota") {
            QTest::qWait(50);
            QVERIFY(h.charges().isEmpty());
            QVERIFY(h.server.requestsTo("/api/proxy_openai2").isEmpty());
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(h.charges().size() >= 1, kWait);
        }
    }
};

QTEST_GUILESS_MAIN(TestHostileAnswers)
#include "tst_hostileanswers.moc"
