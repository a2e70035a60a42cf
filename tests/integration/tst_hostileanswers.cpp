#include "account/accountcard.h"
#include "account/phonelogin.h"
#include "chatharness.h"
#include "logcapture.h"

#include <QDirIterator>
#include <QTest>

Q_DECLARE_METATYPE(FakeHttpServer::Response)

using namespace std::chrono_literals;

// Malformed and hostile answers on every endpoint: wrong types, huge and deeply nested bodies,
// invalid UTF-8, cut and broken chunked bodies, stalls, resets, redirects elsewhere, picture
// addresses that try to leave the Documents folder. Whatever comes, the program does not
// crash, no placeholder keeps waiting, no file lands outside the Documents folder, and the
// log says what happened.
class TestHostileAnswers : public QObject {
    Q_OBJECT

    using B = FakeHttpServer::Behaviour;
    using Response = FakeHttpServer::Response;

    static constexpr int kWait = 20000;
    static constexpr qint64 kBodyCap = 2 * 1024 * 1024;

    static Response raw(const QByteArray &bytes)
    {
        Response r(200, bytes);
        r.behaviour = B::Raw;
        return r;
    }
    static Response redirect(const QByteArray &to)
    {
        Response r(302, QByteArray());
        r.headers.append({"Location", to});
        return r;
    }
    static Response stream(const QByteArray &body, int status = 200)
    {
        Response r(status, body);
        r.contentType = "text/event-stream";
        return r;
    }
    static QByteArray deep(int depth) { return QByteArray(depth, '[') + QByteArray(depth, ']'); }
    static QByteArray png() { return QByteArrayLiteral("\x89PNG\r\n\x1a\n picture bytes"); }

    // "{origin}" and "{other}" stand for the backend's origin and another server's.
    static QByteArray resolve(QByteArray text, const FakeHttpServer &main,
                              const FakeHttpServer &other)
    {
        return text.replace("{origin}", main.origin().toUtf8())
            .replace("{other}", other.origin().toUtf8().replace("127.0.0.1", "localhost"));
    }
    static Response resolve(Response r, const FakeHttpServer &main, const FakeHttpServer &other)
    {
        r.body = resolve(r.body, main, other);
        for (auto &header : r.headers)
            header.second = resolve(header.second, main, other);
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

private slots:
    void chatAndPictures_data()
    {
        // A chat answer that yields no text says so.
        const QString nothing = QStringLiteral("（模型没有返回内容）");
        QTest::addColumn<QString>("model");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<Response>("response");
        QTest::addColumn<QString>("content");
        QTest::addColumn<bool>("picture");
        QTest::addColumn<QStringList>("logs");

        const QString openAI = QStringLiteral("gpt-4o");
        const QString claude = QStringLiteral("claude-3-haiku-20240307");
        const QString gemini = QStringLiteral("gemini-1.5-pro");
        const QString dalle = QStringLiteral("dall-e-3");
        const QByteArray oa = "/api/proxy_openai2";
        const QByteArray cl = "/api/proxy_claude2";
        const QByteArray gm = "/api/proxy_gemini2";
        const QByteArray gen = "/api/generate_image";
        const QByteArray file = "/files/p.png";
        const QString network = QStringLiteral("网络请求失败，请稍后重试");
        const QString unusable = QStringLiteral("图片生成失败，请稍后重试");
        const QString refused = QStringLiteral("请升级会员后再次访问");
        const QStringList none;
        const QStringList parseFailed{QStringLiteral("JSON解析失败: ")};
        const QStringList noImage{QStringLiteral("无法解析DALL-E的响应")};
        const QStringList imageNotJson{QStringLiteral("DALL-E JSON解析失败: ")};
        const QStringList saved{QStringLiteral("Image saved at: ")};
        const QStringList downloadFailed{QStringLiteral("下载图片失败: ")};
        const QByteArray chunkedHead =
            "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n"
            "Connection: close\r\n\r\n";
        const auto image = [](const QByteArray &address) {
            return Response(200, "{\"image_url\":\"" + address + "\"}");
        };

        QTest::newRow("openai: choices a string")
            << openAI << oa << stream("data: {\"choices\":\"x\"}\n") << nothing << false << none;
        QTest::newRow("openai: content a number, then text")
            << openAI << oa
            << stream("data: {\"choices\":[{\"delta\":{\"content\":5}}]}\n"
                      "data: {\"choices\":[{\"delta\":{\"content\":\"ok\"}}]}\n")
            << "ok" << false << none;
        QTest::newRow("openai: 300000 nested arrays")
            << openAI << oa << stream("data: " + deep(300000) + "\n") << nothing << false
            << parseFailed;
        QTest::newRow("openai: 100000 nested objects")
            << openAI << oa << stream("data: " + QByteArray("{\"a\":").repeated(100000) + "\n")
            << nothing << false << parseFailed;
        QTest::newRow("openai: invalid UTF-8")
            << openAI << oa
            << stream("data: {\"choices\":[{\"delta\":{\"content\":\"\xc0\xaf\"}}]}") << nothing
            << false << none;
        QTest::newRow("openai: escaped NUL in the text")
            << openAI << oa
            << stream("data: {\"choices\":[{\"delta\":{\"content\":\"a\\u0000b\"}}]}")
            << QStringLiteral("a") + QChar(0) + u'b' << false << none;
        QTest::newRow("openai: 3 MB body over the cap")
            << openAI << oa << stream("data: " + QByteArray(3 * 1024 * 1024, 'x')) << network
            << false << none;
        QTest::newRow("openai: chunked body cut inside a chunk")
            << openAI << oa
            << raw(chunkedHead + "40\r\ndata: {\"choices\":[{\"delta\":{\"content\":\"cut")
            << network << false << none;
        // Qt reads a chunk size it cannot parse as the last chunk: an empty answer.
        QTest::newRow("openai: chunk size that is not hexadecimal")
            << openAI << oa << raw(chunkedHead + "zz\r\ndata: x\r\n0\r\n\r\n") << nothing << false
            << none;
        QTest::newRow("openai: stall")
            << openAI << oa << Response::with(B::Stall) << network << false << none;
        QTest::newRow("openai: reset")
            << openAI << oa << Response::with(B::Reset) << network << false << none;
        QTest::newRow("openai: redirect to another host")
            << openAI << oa << redirect("{other}/api/proxy_openai2") << network << false << none;
        QTest::newRow("openai: redirect to a local file")
            << openAI << oa << redirect("file:///etc/passwd") << network << false << none;
        QTest::newRow("openai: 502 error page")
            << openAI << oa << Response(502, "<html><body>Bad Gateway</body></html>") << nothing
            << false << none;

        QTest::newRow("claude: type a number, delta a string")
            << claude << cl
            << stream("data: {\"type\":5}\ndata: {\"type\":\"content_block_delta\",\"delta\":\"x\"}"
                      "\n")
            << nothing << false << none;
        QTest::newRow("claude: 2000 unknown events")
            << claude << cl << stream(QByteArray("data: {\"type\":\"zz\"}\n").repeated(2000))
            << nothing << false << QStringList{QStringLiteral("Unhandled event type: zz")};
        QTest::newRow("claude: invalid UTF-8")
            << claude << cl
            << stream(
                   "data: {\"type\":\"content_block_delta\",\"delta\":{\"text\":\"\xed\xa0\x80\"}}")
            << nothing << false << none;
        QTest::newRow("claude: chunked body cut inside an event")
            << claude << cl << raw(chunkedHead + "10\r\ndata: {\"type\":") << network << false
            << none;
        QTest::newRow("claude: stall")
            << claude << cl << Response::with(B::Stall) << network << false << none;

        QTest::newRow("gemini: NUL and CR LF")
            << gemini << gm << stream(QByteArray("data: a\0b\r\ndata: c", 18))
            << QStringLiteral("a") + QChar(0) + QStringLiteral("bc") << false << none;
        QTest::newRow("gemini: 20000 empty pieces")
            << gemini << gm << stream(QByteArray("data: \n").repeated(20000)) << nothing << false
            << none;
        QTest::newRow("gemini: invalid UTF-8")
            << gemini << gm << stream("data: \xff\xfe") << nothing << false << none;
        QTest::newRow("gemini: reset")
            << gemini << gm << Response::with(B::Reset) << network << false << none;

        QTest::newRow("image: answer a JSON array")
            << dalle << gen << Response(200, "[{\"image_url\":\"{origin}/files/p.png\"}]")
            << unusable << false << noImage;
        QTest::newRow("image: image_url a number")
            << dalle << gen << Response(200, "{\"image_url\":5}") << unusable << false << noImage;
        QTest::newRow("image: image_url empty")
            << dalle << gen << image("") << unusable << false << noImage;
        QTest::newRow("image: javascript address")
            << dalle << gen << image("javascript:alert(1)") << unusable << false << noImage;
        QTest::newRow("image: data address")
            << dalle << gen << image("data:image/png;base64,iVBORw0KGgo=") << unusable << false
            << noImage;
        QTest::newRow("image: file address")
            << dalle << gen << image("file:///etc/passwd") << unusable << false << noImage;
        QTest::newRow("image: 100000 nested arrays")
            << dalle << gen << Response(200, deep(100000)) << unusable << false << imageNotJson;
        QTest::newRow("image: answer not UTF-8")
            << dalle << gen << Response(200, "{\"image_url\":\"\xff\"}") << unusable << false
            << imageNotJson;
        QTest::newRow("image: encoded ../ segments")
            << dalle << gen << image("{origin}/files/..%2F..%2Fescape.png") << "" << true << saved;
        QTest::newRow("image: ../ segments")
            << dalle << gen << image("{origin}/files/a/../../files/p.png") << "" << true << saved;
        QTest::newRow("image: name starting with a colon")
            << dalle << gen << image("{origin}/files/:p.png") << "" << true << saved;
        QTest::newRow("image: 150 CJK characters in the name")
            << dalle << gen << image("{origin}/files/" + QByteArray("%E5%9B%BE").repeated(150))
            << "" << true << saved;
        QTest::newRow("image: download redirected to another host")
            << dalle << file << redirect("{other}/files/p.png") << "" << true << saved;
        QTest::newRow("image: download redirected to a local file")
            << dalle << file << redirect("file:///etc/passwd") << network << false
            << downloadFailed;
        QTest::newRow("image: download cut inside a chunk")
            << dalle << file << raw(chunkedHead + "100\r\n\x89PNG") << network << false
            << downloadFailed;
        QTest::newRow("image: download reset")
            << dalle << file << Response::with(B::Reset) << network << false << downloadFailed;

        QTest::newRow("quota: answer not JSON")
            << openAI << QByteArray("/api/check_quota") << Response(200, "<html>") << refused
            << false << none;
        QTest::newRow("quota: hasQuota a string")
            << openAI << QByteArray("/api/check_quota") << Response(200, "{\"hasQuota\":\"true\"}")
            << refused << false << none;
        QTest::newRow("quota: 100000 nested arrays")
            << openAI << QByteArray("/api/check_quota") << Response(200, deep(100000)) << refused
            << false << none;
        QTest::newRow("quota: stall") << openAI << QByteArray("/api/check_quota")
                                      << Response::with(B::Stall) << network << false << none;
        QTest::newRow("charge: reset")
            << openAI << QByteArray("/api/deduct_quota") << Response::with(B::Reset)
            << QStringLiteral("答") << false << QStringList{QStringLiteral("扣减配额失败: ")};
    }

    void chatAndPictures()
    {
        QFETCH(QString, model);
        QFETCH(QByteArray, path);
        QFETCH(Response, response);
        QFETCH(QString, content);
        QFETCH(bool, picture);
        QFETCH(QStringList, logs);

        ChatHarness h;
        FakeHttpServer other;
        h.http.setIdleTimeout(500ms);
        h.http.setMaxBodySize(kBodyCap);
        for (const char *chat : {"/api/proxy_openai2", "/api/proxy_claude2"})
            h.server.on(chat, stream(ChatHarness::openAIBody({QStringLiteral("答")})));
        h.server.on(
            "/api/generate_image",
            Response(200, resolve("{\"image_url\":\"{origin}/files/p.png\"}", h.server, other)));
        const QList<QByteArray> picturePaths{"/files/p.png", "/files/..%2F..%2Fescape.png",
                                             "/files/:p.png",
                                             "/files/" + QByteArray("%E5%9B%BE").repeated(150)};
        for (const QByteArray &picturePath : picturePaths)
            h.server.on(picturePath, Response(200, png()));
        other.on("/files/p.png", Response(200, png()));
        h.server.on(path, resolve(response, h.server, other));
        auto c = h.controller();
        LogCapture log;

        c->setSelectedModel(model);
        c->setMessageText(QStringLiteral("问题"));
        c->sendMessage();
        QTRY_VERIFY_WITH_TIMEOUT(c->pendingSends() == 0, kWait);
        // The question is charged once the quota check said yes; the charge is in flight.
        if (path != "/api/check_quota")
            QTRY_VERIFY_WITH_TIMEOUT(h.charges().size() >= 1, kWait);

        QCOMPARE(c->messages()->count(), 2);
        for (const Message &m : c->messageList())
            QVERIFY(!m.isLoading);
        const Message &last = c->messageList().last();
        QVERIFY(!last.isUserMessage);
        QCOMPARE(last.content, content);
        QCOMPARE(last.cachedImagePath.has_value(), picture);
        const QString documents = QDir(h.images.documentsFolder()).canonicalPath();
        if (picture) {
            const QFileInfo stored(*last.cachedImagePath);
            QCOMPARE(stored.absoluteDir().canonicalPath(), documents);
            QFile file(stored.filePath());
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), png());
        }
        QCOMPARE(filesOutside(QDir(h.dir.path()).canonicalPath(), documents), QStringList());
        for (const QString &line : logs)
            QTRY_VERIFY2_WITH_TIMEOUT(log.count(line) >= 1,
                                      qPrintable(log.all().join(u'\n').left(2000)), kWait);
        // Redirects to another origin are only followed for picture downloads.
        if (!path.startsWith("/files/"))
            QVERIFY(other.requests().isEmpty());
    }

    void signIn_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<Response>("response");
        QTest::addColumn<QString>("message"); // the red line, or its start
        QTest::addColumn<bool>("signedIn");

        const QByteArray login = "/api/login-register";
        const QByteArray code = "/api/send-code";
        const QString unreadable = QStringLiteral("解析用户信息失败: ");
        const QString failed = QStringLiteral("登录失败: ");

        QTest::newRow("sign-in: not JSON")
            << login << Response(200, "<html>502</html>") << unreadable << false;
        QTest::newRow("sign-in: invalid UTF-8")
            << login << Response(200, "{\"message\":\"\xff\xfe\"}") << unreadable << false;
        QTest::newRow("sign-in: 100000 nested arrays")
            << login << Response(200, deep(100000)) << unreadable << false;
        QTest::newRow("sign-in: message a number")
            << login << Response(200, "{\"message\":1}") << "登录失败，请稍后再试" << false;
        QTest::newRow("sign-in: success with every member mistyped")
            << login
            << Response(200, "{\"message\":\"登录成功！\",\"username\":[],\"userid\":{},"
                             "\"chat_quota\":\"9\",\"translate_quota\":7.5,\"expiry\":null}")
            << "" << true;
        QTest::newRow("sign-in: number out of range")
            << login << Response(200, "{\"message\":\"登录成功！\",\"chat_quota\":1e400}")
            << unreadable << false;
        QTest::newRow("sign-in: stall") << login << Response::with(B::Stall) << failed << false;
        QTest::newRow("sign-in: reset") << login << Response::with(B::Reset) << failed << false;
        QTest::newRow("sign-in: redirect to another host")
            << login << redirect("{other}/api/login-register") << failed << false;
        QTest::newRow("sign-in: chunked body cut short")
            << login
            << raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n20\r\n{\"message\":")
            << failed << false;
        QTest::newRow("send-code: 500")
            << code << Response(500, "{\"error\":\"x\"}") << "发送验证码失败，请稍后再试" << false;
        QTest::newRow("send-code: reset")
            << code << Response::with(B::Reset) << "发送验证码失败: " << false;
        QTest::newRow("send-code: redirect to another host")
            << code << redirect("{other}/api/send-code") << "发送验证码失败" << false;
    }

    void signIn()
    {
        QFETCH(QByteArray, path);
        QFETCH(Response, response);
        QFETCH(QString, message);
        QFETCH(bool, signedIn);

        ChatHarness h;
        FakeHttpServer other;
        h.http.setIdleTimeout(500ms);
        HttpClient::setInstance(&h.http);
        h.server.on(path, resolve(response, h.server, other));
        PhoneLogin login;
        login.setStore(&h.settings);
        login.setPhoneNumber(QStringLiteral("13800000000"));
        login.setVerificationCode(QStringLiteral("123456"));
        login.setIsAgree(true);
        LogCapture log;

        if (path == "/api/send-code") {
            login.sendVerificationCode();
            QTRY_VERIFY_WITH_TIMEOUT(!login.errorMessage().isEmpty(), kWait);
            QVERIFY(!login.isSendingCode());
        } else {
            login.loginOrRegister();
            QTRY_VERIFY_WITH_TIMEOUT(!login.isLoggingIn(), kWait);
        }
        HttpClient::setInstance(nullptr);
        QVERIFY2(message.isEmpty() ? login.errorMessage().isEmpty()
                                   : login.errorMessage().startsWith(message),
                 qPrintable(login.errorMessage()));
        QCOMPARE(h.settings.getBool(QStringLiteral("isLoggedIn"), false), signedIn);
        if (signedIn) {
            QCOMPARE(h.settings.getString(QStringLiteral("userid")), QString());
            QCOMPARE(h.settings.getInt(QStringLiteral("chat_quota"), -1), 0);
            QCOMPARE(h.settings.getInt(QStringLiteral("translate_quota"), -1), 0);
        }
        QVERIFY(other.requests().isEmpty());
    }

    void accountCard_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QStringList>("shown"); // username, phone, state, chat, translate, expiry

        const QStringList placeholders{"加载中...", "加载中...", "免费", "0.00", "0", "加载中..."};
        const QString unreadable = QStringLiteral("解析信息失败，请稍后再试。");
        const QString unreachable = QStringLiteral("获取信息失败，请稍后再试。");
        QTest::newRow("account: not JSON") << Response(200, "<html>") << unreadable << placeholders;
        QTest::newRow("account: 100000 nested arrays")
            << Response(200, deep(100000)) << unreadable << placeholders;
        QTest::newRow("account: reset") << Response::with(B::Reset) << unreachable << placeholders;
        QTest::newRow("account: stall") << Response::with(B::Stall) << unreachable << placeholders;
        QTest::newRow("account: every member mistyped")
            << Response(200, "{\"username\":1,\"phone\":[],\"state\":{},\"chat_quota\":\"5\","
                             "\"translate_quota\":7.5,\"expiry_date\":false,\"avatar\":2}")
            << "" << QStringList{"未知用户", "未知号码", "未知状态", "0.00", "0", "未知"};
    }

    void accountCard()
    {
        QFETCH(Response, response);
        QFETCH(QString, error);
        QFETCH(QStringList, shown);

        ChatHarness h;
        h.http.setIdleTimeout(500ms);
        HttpClient::setInstance(&h.http);
        h.server.on("/api/macos_account_info", response);
        AccountCard card;
        card.setStore(&h.settings);
        LogCapture log;

        card.refresh();
        QTRY_VERIFY_WITH_TIMEOUT(
            !card.errorMessage().isEmpty() || log.count(QStringLiteral("Chat Quota: ")) > 0, kWait);
        HttpClient::setInstance(nullptr);
        QCOMPARE(card.errorMessage(), error);
        QCOMPARE((QStringList{card.username(), card.phone(), card.state(), card.chatQuota(),
                              card.translateQuota(), card.expiryDate()}),
                 shown);
        QVERIFY(card.avatarAddress().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestHostileAnswers)
#include "tst_hostileanswers.moc"
