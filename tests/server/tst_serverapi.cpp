#include "accountstore.h"
#include "codeissuer.h"
#include "postgrescluster.h"
#include "servertestkit.h"
#include "service/replyreader.h"
#include "sessionstore.h"
#include "streamframes.h"

#include <QImage>
#include <QJsonArray>
#include <QSqlError>
#include <QSqlQuery>

#include <cmath>
#include <limits>

class ServerApiTest : public QObject {
    Q_OBJECT

private:
    const QString phone = QStringLiteral("+8613800138000");
    std::unique_ptr<PostgresCluster> m_postgres;

private slots:
    void initTestCase();
    void sendCodeRefusesBadInput_data();
    void sendCodeRefusesBadInput();
    void sendCodeAllowsOneSendPerMinute();
    void signInCreatesAccountOnce();
    void signInRefusals_data();
    void signInRefusals();
    void checkQuota_data();
    void checkQuota();
    void deductRefusesBadInput_data();
    void deductRefusesBadInput();
    void deductKeepsAmountsExactly();
    void concurrentDeductionsLoseNothing();
    void accountInfo_data();
    void accountInfo();
    void chatAnswersInEachLayout_data();
    void chatAnswersInEachLayout();
    void chatRefusesBadInput_data();
    void chatRefusesBadInput();
    void generatedPictureIsServed();
    void pagesAndUnknownPaths_data();
    void pagesAndUnknownPaths();
    void requestsBeyondTheLimits_data();
    void requestsBeyondTheLimits();
    void connectionsTimeOut_data();
    void connectionsTimeOut();
    void connectionsBeyondTheLimitAreTurnedAway();
    void sessionTokens_data();
    void sessionTokens();
    void codesAreLimitedPerSourceAndHour_data();
    void codesAreLimitedPerSourceAndHour();
    void codesGoThroughTheSmsCommand_data();
    void codesGoThroughTheSmsCommand();
    void fileFromBeforeSchemaVersionsIsAdopted();
};

// The whole suite runs once on each engine: on PostgreSQL (TALVORO_TEST_ENGINE=postgresql) every
// server gets a new database in a cluster started for this run.
void ServerApiTest::initTestCase()
{
    if (qEnvironmentVariable("TALVORO_TEST_ENGINE") != u"postgresql")
        return;
    m_postgres = std::make_unique<PostgresCluster>();
    if (!m_postgres->start())
        QSKIP(qPrintable("PostgreSQL could not start: " + m_postgres->why()));
    TestServer::databases() = [this] {
        return m_postgres->newDatabase();
    };
}

void ServerApiTest::sendCodeRefusesBadInput_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("not json") << QByteArray("phone=+86138");
    QTest::newRow("empty body") << QByteArray();
    QTest::newRow("array") << QByteArray(R"(["+8613800138000"])");
    QTest::newRow("no phone") << QByteArray(R"({"telephone":"+8613800138000"})");
    QTest::newRow("phone is a number") << QByteArray(R"({"phone":8613800138000})");
    QTest::newRow("letters") << QByteArray(R"({"phone":"+86abc"})");
    QTest::newRow("too short") << QByteArray(R"({"phone":"+8612"})");
    QTest::newRow("empty phone") << QByteArray(R"({"phone":""})");
}

void ServerApiTest::sendCodeRefusesBadInput()
{
    QFETCH(QByteArray, body);
    TestServer s;
    TestHttp http;
    const ServerReply r = http.post(s.url("/api/send-code"), body);
    QCOMPARE(r.status, 400);
    QVERIFY(!r.json().value("error").toString().isEmpty());
    QVERIFY(s.log.lastCode(phone).isEmpty());
}

void ServerApiTest::sendCodeAllowsOneSendPerMinute()
{
    TestServer s;
    TestHttp http;
    // Spaces typed into the number do not make it another account.
    QCOMPARE(http.post(s.url("/api/send-code"), QJsonObject{{"phone", "+86 138 0013 8000"}}).status,
             200);
    const QString first = s.log.lastCode(phone);
    QCOMPARE(first.size(), 6);

    s.clock.advance(59 * 1000);
    const ServerReply again = http.post(s.url("/api/send-code"), QJsonObject{{"phone", phone}});
    QCOMPARE(again.status, 429);
    QVERIFY(again.json().value("error").isString());

    s.clock.advance(2 * 1000);
    QCOMPARE(http.post(s.url("/api/send-code"), QJsonObject{{"phone", phone}}).status, 200);
    // Another phone is not held back by this one.
    QCOMPARE(http.post(s.url("/api/send-code"), QJsonObject{{"phone", "+8613900000000"}}).status,
             200);
}

void ServerApiTest::signInCreatesAccountOnce()
{
    TestServer s;
    TestHttp http;
    const QJsonObject first = s.signIn(http, phone);
    QCOMPARE(first.value("message").toString(), QStringLiteral("登录成功！"));
    QCOMPARE(first.value("phone").toString(), phone);
    QCOMPARE(first.value("state").toString(), QStringLiteral("免费"));
    QCOMPARE(first.value("chat_quota").toDouble(), 500.0);
    // At least 128 random bits, in characters a header carries as they are.
    QVERIFY(QRegularExpression("^[A-Za-z0-9_-]{22,}$")
                .match(first.value("token").toString())
                .hasMatch());
    QVERIFY(first.value("translate_quota").isDouble());
    QVERIFY(first.value("expiry").isString());
    QVERIFY(!first.contains("expiry_date"));
    for (const char *member : {"username", "userid", "avatar"})
        QVERIFY2(first.value(member).isString(), member);
    QVERIFY(!first.value("userid").toString().isEmpty());

    // A later sign-in finds the same account with its balance as it was left.
    QCOMPARE(http.post(s.url("/api/deduct_quota"), QJsonObject{{"phone", phone}, {"amount", 100.5}})
                 .status,
             200);
    const QJsonObject second = s.signIn(http, phone);
    QCOMPARE(second.value("message").toString(), QStringLiteral("登录成功！"));
    QCOMPARE(second.value("userid"), first.value("userid"));
    QVERIFY(second.value("token") != first.value("token"));
    // The sign-in reply carries a whole number.
    QCOMPARE(second.value("chat_quota").toDouble(), 399.0);
}

void ServerApiTest::signInRefusals_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("message");
    QTest::newRow("no code asked for") << "none" << QStringLiteral("请先获取验证码");
    QTest::newRow("wrong code") << "wrong" << QStringLiteral("验证码错误，请重新输入");
    QTest::newRow("expired") << "expired" << QStringLiteral("验证码已过期，请重新获取");
    QTest::newRow("right code after five wrong ones")
        << "five wrong" << QStringLiteral("验证码错误次数过多，请重新获取");
    QTest::newRow("code used twice") << "reused" << QStringLiteral("请先获取验证码");
    QTest::newRow("missing code") << "missing" << QString();
}

void ServerApiTest::signInRefusals()
{
    QFETCH(QString, scenario);
    QFETCH(QString, message);
    TestServer s;
    TestHttp http;
    const QString login = s.url("/api/login-register");
    if (scenario != u"none")
        http.post(s.url("/api/send-code"), QJsonObject{{"phone", phone}});
    const QString code = s.log.lastCode(phone);
    const QString wrong = code == u"000000" ? QStringLiteral("000001") : QStringLiteral("000000");
    QJsonObject body{{"phone", phone}, {"code", code.isEmpty() ? wrong : code}};

    if (scenario == u"wrong") {
        body["code"] = wrong;
    } else if (scenario == u"expired") {
        s.clock.advance(CodeIssuer::validityMs);
    } else if (scenario == u"five wrong") {
        for (int i = 0; i < CodeIssuer::maxWrongTries; ++i)
            http.post(login, QJsonObject{{"phone", phone}, {"code", wrong}});
    } else if (scenario == u"reused") {
        QCOMPARE(http.post(login, body).json().value("message").toString(),
                 QStringLiteral("登录成功！"));
    } else if (scenario == u"missing") {
        body.remove("code");
    }

    const ServerReply r = http.post(login, body);
    QVERIFY(r.status >= 400 && r.status < 500);
    const QString shown = r.json().value("message").toString();
    QVERIFY(shown != QStringLiteral("登录成功！"));
    QVERIFY(!shown.isEmpty());
    if (!message.isEmpty())
        QCOMPARE(shown, message);
    QVERIFY(r.json().value("error").isString());
}

void ServerApiTest::checkQuota_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("hasQuota");
    QTest::newRow("escaped plus") << "?phone=%2B8613800138000" << 200 << true;
    QTest::newRow("other account") << "?phone=%2B8613900000000" << 200 << false;
    QTest::newRow("empty value") << "?phone=" << 200 << false;
    QTest::newRow("not a number") << "?phone=abc" << 200 << false;
    QTest::newRow("no parameter") << "" << 400 << false;
}

void ServerApiTest::checkQuota()
{
    QFETCH(QString, query);
    QFETCH(int, status);
    QFETCH(bool, hasQuota);
    TestServer s;
    TestHttp http;
    s.signIn(http, phone);
    const ServerReply r = http.get(s.url("/api/check_quota") + query);
    QCOMPARE(r.status, status);
    if (status == 200) {
        // Every member is a boolean: the client counts anything else as "no".
        QCOMPARE(r.json().keys(), QStringList{"hasQuota"});
        QCOMPARE(r.json().value("hasQuota"), QJsonValue(hasQuota));
    }
}

void ServerApiTest::deductRefusesBadInput_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::newRow("negative") << QByteArray(R"({"phone":"+8613800138000","amount":-1})") << 400;
    QTest::newRow("text amount") << QByteArray(R"({"phone":"+8613800138000","amount":"1"})") << 400;
    QTest::newRow("null amount") << QByteArray(R"({"phone":"+8613800138000","amount":null})")
                                 << 400;
    QTest::newRow("no amount") << QByteArray(R"({"phone":"+8613800138000"})") << 400;
    QTest::newRow("overflowing amount")
        << QByteArray(R"({"phone":"+8613800138000","amount":1e999})") << 400;
    QTest::newRow("no phone") << QByteArray(R"({"amount":1})") << 400;
    QTest::newRow("bad phone") << QByteArray(R"({"phone":"x","amount":1})") << 400;
    QTest::newRow("broken json") << QByteArray(R"({"phone":"+8613800138000","amount":)") << 400;
    QTest::newRow("unknown account")
        << QByteArray(R"({"phone":"+8613900000000","amount":1})") << 404;
}

void ServerApiTest::deductRefusesBadInput()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    TestServer s;
    TestHttp http;
    const QString userid = s.signIn(http, phone).value("userid").toString();
    const ServerReply r = http.post(s.url("/api/deduct_quota"), body);
    QCOMPARE(r.status, status);
    QVERIFY(r.json().value("error").isString());
    const QJsonObject info = http.get(s.url("/api/macos_account_info?userid=") + userid).json();
    QCOMPARE(info.value("chat_quota").toDouble(), 500.0);
}

void ServerApiTest::deductKeepsAmountsExactly()
{
    TestServer s;
    TestHttp http;
    const QString userid = s.signIn(http, phone).value("userid").toString();
    // Amounts as the client computes them, including ones no decimal fraction holds exactly.
    const double amounts[] = {0.028, 4 * 0.007, 0.0021 * 37, 100, 0, 1e-9};
    double expected = 500;
    for (const double amount : amounts) {
        QCOMPARE(
            http.post(s.url("/api/deduct_quota"), QJsonObject{{"phone", phone}, {"amount", amount}})
                .status,
            200);
        expected -= amount;
    }
    const QJsonObject info = http.get(s.url("/api/macos_account_info?userid=") + userid).json();
    QCOMPARE(info.value("chat_quota").toDouble(), expected);

    // Spending below zero is recorded; the account then has no quota.
    QCOMPARE(http.post(s.url("/api/deduct_quota"), QJsonObject{{"phone", phone}, {"amount", 600}})
                 .status,
             200);
    QCOMPARE(http.get(s.url("/api/check_quota?phone=%2B8613800138000")).json().value("hasQuota"),
             QJsonValue(false));
}

void ServerApiTest::concurrentDeductionsLoseNothing()
{
    TestServer s;
    TestHttp http;
    const QString userid = s.signIn(http, phone).value("userid").toString();

    constexpr int clients = 50;
    constexpr int perClient = 20;
    constexpr double amount = 0.25; // exact in binary, so the order of subtraction does not matter
    QCOMPARE(TestHttp::deductConcurrently({s.server->origin()}, phone, clients, perClient, amount),
             0);
    const QJsonObject info = http.get(s.url("/api/macos_account_info?userid=") + userid).json();
    QCOMPARE(info.value("chat_quota").toDouble(), 500 - clients * perClient * amount);
}

void ServerApiTest::accountInfo_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<int>("status");
    QTest::newRow("own id") << "?userid=%1" << 200;
    QTest::newRow("unknown id") << "?userid=nobody" << 404;
    QTest::newRow("empty id") << "?userid=" << 404;
    QTest::newRow("no parameter") << "" << 400;
}

void ServerApiTest::accountInfo()
{
    QFETCH(QString, query);
    QFETCH(int, status);
    TestServer s;
    TestHttp http;
    const QJsonObject profile = s.signIn(http, phone);
    const ServerReply r =
        http.get(s.url("/api/macos_account_info") +
                 QString(query).replace(QStringLiteral("%1"), profile.value("userid").toString()));
    QCOMPARE(r.status, status);
    const QJsonObject info = r.json();
    if (status != 200) {
        QVERIFY(info.value("error").isString());
        return;
    }
    QCOMPARE(info.value("username"), profile.value("username"));
    QCOMPARE(info.value("phone").toString(), phone);
    QCOMPARE(info.value("state").toString(), QStringLiteral("免费"));
    QCOMPARE(info.value("chat_quota").toDouble(), 500.0);
    QVERIFY(info.value("translate_quota").isDouble());
    QVERIFY(info.value("expiry_date").isString());
    QVERIFY(!info.contains("expiry"));
    QVERIFY(info.value("avatar").isString());
}

void ServerApiTest::chatAnswersInEachLayout_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("model");
    QTest::newRow("openai") << "/api/proxy_openai2"
                            << "gpt-4o";
    QTest::newRow("claude") << "/api/proxy_claude2"
                            << "claude-3-5-sonnet-20240620";
    QTest::newRow("gemini") << "/api/proxy_gemini2"
                            << "gemini-1.5-pro";
}

void ServerApiTest::chatAnswersInEachLayout()
{
    QFETCH(QString, path);
    QFETCH(QString, model);
    TestServer s;
    TestHttp http;
    // A question that holds the very text the client's line reader strips out.
    const QString question = QStringLiteral("什么是 data: 流？");
    const QJsonObject body{{"model", model},
                           {"userMessage", question},
                           {"systemMessage", ""},
                           {"context", QStringLiteral("你好\n") + question}};
    const ServerReply r = http.post(s.url(path), body);
    QCOMPARE(r.status, 200);

    QString text;
    if (path.contains("openai")) {
        text = ReplyReader::readOpenAIStream(r.body);
        QVERIFY(r.body.endsWith("data: [DONE]\n\n"));
        QVERIFY(StreamFrames::dataPayloads(r.body).size() > 4);
    } else if (path.contains("claude")) {
        const QStringList types = StreamFrames::eventTypes(r.body);
        text = ReplyReader::readClaudeStream(r.body);
        for (const char *type :
             {"message_start", "content_block_delta", "message_delta", "message_stop"})
            QVERIFY2(types.contains(QLatin1String(type)), type);
        QVERIFY(types.count("content_block_delta") > 3);
        QVERIFY(r.body.contains("event: content_block_delta\ndata: "));
    } else {
        QVERIFY(StreamFrames::plainDataPieces(r.body).size() > 3);
        text = ReplyReader::readPlainDataStream(r.body);
    }
    QVERIFY2(text.contains(question), qPrintable(text));
    for (const char *mark : {"```python\n", "\n```", "## ", "**", "<br>"})
        QVERIFY2(text.contains(QLatin1String(mark)), mark);
    // Deterministic: the same question gives the same text.
    const ServerReply again = http.post(s.url(path), body);
    QCOMPARE(path.contains("gemini")   ? ReplyReader::readPlainDataStream(again.body)
             : path.contains("claude") ? ReplyReader::readClaudeStream(again.body)
                                       : ReplyReader::readOpenAIStream(again.body),
             text);
}

void ServerApiTest::chatRefusesBadInput_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    const QByteArray noContext = R"({"model":"gpt-4o","userMessage":"a","systemMessage":""})";
    QTest::newRow("chat without context") << "/api/proxy_openai2" << noContext << 400;
    QTest::newRow("chat with a number") << "/api/proxy_claude2"
                                        << QByteArray(R"({"model":"m","userMessage":1,)"
                                                      R"("systemMessage":"","context":""})")
                                        << 400;
    QTest::newRow("chat with garbage") << "/api/proxy_gemini2" << QByteArray("\xff\xfe{") << 400;
    QTest::newRow("picture without model") << "/api/generate_image"
                                           << QByteArray(R"({"userMessage":"a",)"
                                                         R"("systemMessage":"","context":""})")
                                           << 400;
    QTest::newRow("chat asked with GET") << "/api/proxy_openai2" << QByteArray() << 405;
}

void ServerApiTest::chatRefusesBadInput()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    TestServer s;
    TestHttp http;
    const ServerReply r = status == 405 ? http.get(s.url(path)) : http.post(s.url(path), body);
    QCOMPARE(r.status, status);
    QVERIFY(r.json().value("error").isString());
}

void ServerApiTest::generatedPictureIsServed()
{
    TestServer s;
    TestHttp http;
    const QJsonObject body{{"model", "dall-e-3"},
                           {"userMessage", QStringLiteral("一只橘猫")},
                           {"systemMessage", ""},
                           {"context", QStringLiteral("一只橘猫")}};
    const ServerReply r = http.post(s.url("/api/generate_image"), body);
    QCOMPARE(r.status, 200);
    const QString address = r.json().value("image_url").toString();
    QVERIFY2(address.startsWith(s.server->origin() + "/images/"), qPrintable(address));

    const ServerReply picture = http.get(address);
    QCOMPARE(picture.status, 200);
    QCOMPARE(picture.contentType, QByteArray("image/png"));
    const QImage image = QImage::fromData(picture.body, "PNG");
    QCOMPARE(image.size(), QSize(1024, 1024));
    // Not one flat colour.
    QVERIFY(image.pixel(10, 10) != image.pixel(500, 1000));

    QCOMPARE(http.post(s.url("/api/generate_image"), body).json().value("image_url").toString(),
             address);
    QCOMPARE(http.get(s.url("/images/..%2Ftalvoro-server.sqlite")).status, 404);
    QCOMPARE(http.get(s.url("/images/missing.png")).status, 404);
}

void ServerApiTest::pagesAndUnknownPaths_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("contains");
    QTest::newRow("pricing") << "/pricing?userid=%1" << 200 << QStringLiteral("500.00");
    QTest::newRow("pricing of nobody")
        << "/pricing?userid=x" << 200 << QStringLiteral("未找到该账号");
    QTest::newRow("follow") << "/guanzhu" << 200 << QStringLiteral("网页扩展");
    QTest::newRow("contact") << "/contact" << 200 << QStringLiteral("问题反馈");
    QTest::newRow("terms") << "/yinsi" << 200 << QStringLiteral("隐私");
    QTest::newRow("unknown page") << "/nowhere" << 404 << QString();
    QTest::newRow("unknown endpoint") << "/api/nowhere" << 404 << QStringLiteral("\"error\"");
}

void ServerApiTest::pagesAndUnknownPaths()
{
    QFETCH(QString, path);
    QFETCH(int, status);
    QFETCH(QString, contains);
    TestServer s;
    TestHttp http;
    const QString userid = s.signIn(http, phone).value("userid").toString();
    const ServerReply r = http.get(s.url(QString(path).replace(QStringLiteral("%1"), userid)));
    QCOMPARE(r.status, status);
    const QString text = QString::fromUtf8(r.body);
    QVERIFY2(text.contains(contains), qPrintable(text.left(200)));
    if (status == 200) {
        QVERIFY(r.contentType.startsWith("text/html"));
        QVERIFY(text.startsWith("<!DOCTYPE html>"));
        if (path.startsWith("/pricing?userid=%1"))
            QVERIFY(text.contains(QStringLiteral("免费版")));
    }
}

void ServerApiTest::requestsBeyondTheLimits_data()
{
    // Requests sent one after another on one connection, each once the one before is answered.
    QTest::addColumn<QByteArrayList>("requests");
    QTest::addColumn<QList<int>>("statuses");
    const QByteArray deduct = "POST /api/deduct_quota HTTP/1.1\r\nHost: t\r\n"
                              "Content-Type: application/json\r\n";
    QByteArray mebibyte = R"({"phone":"+8613800138000","amount":1})";
    mebibyte.append(QByteArray(1024 * 1024 - mebibyte.size(), ' '));
    QTest::newRow("body of 1 MiB")
        << QByteArrayList{deduct + "Content-Length: 1048576\r\n\r\n" + mebibyte} << QList<int>{200};
    QTest::newRow("body over 1 MiB")
        << QByteArrayList{deduct + "Content-Length: 1048577\r\n\r\n" + mebibyte} << QList<int>{413};
    QTest::newRow("body far over, declared")
        << QByteArrayList{deduct + "Content-Length: 300000000\r\n\r\n"} << QList<int>{413};
    QTest::newRow("chunked body")
        << QByteArrayList{deduct + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n"}
        << QList<int>{411};
    QTest::newRow("endless head")
        << QByteArrayList{"GET /api/check_quota?phone=1 HTTP/1.1\r\nX-Pad: " +
                          QByteArray(40000, 'a')}
        << QList<int>{431};
    QTest::newRow("too large after good ones on one connection")
        << QByteArrayList{deduct + "Content-Length: 1048576\r\n\r\n" + mebibyte,
                          "GET /api/check_quota?phone=1 HTTP/1.1\r\nHost: t\r\n\r\n",
                          deduct + "Content-Length: 2000000\r\n\r\n"}
        << QList<int>{200, 200, 413};
}

void ServerApiTest::requestsBeyondTheLimits()
{
    QFETCH(QByteArrayList, requests);
    QFETCH(QList<int>, statuses);
    TestServer s;
    TestHttp http;
    s.signIn(http, phone);
    RawClient client(s.port);
    for (int i = 0; i < requests.size(); ++i) {
        client.send(requests.at(i));
        QVERIFY(client.waitAnswers(i + 1));
    }
    QCOMPARE(client.statuses(), statuses);
    if (statuses.last() != 200) {
        // Refused with a reason the client can show, and the connection is not kept.
        QVERIFY(client.received.contains("{\"error\":\""));
        QVERIFY(client.waitClosed());
    }
}

void ServerApiTest::connectionsTimeOut_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("trickle");
    QTest::addColumn<QList<int>>("statuses");
    QTest::newRow("idle after an answer")
        << QByteArray("GET /api/check_quota?phone=1 HTTP/1.1\r\nHost: t\r\n\r\n") << QByteArray()
        << QList<int>{200};
    QTest::newRow("nothing sent") << QByteArray() << QByteArray() << QList<int>{};
    QTest::newRow("head trickling in") << QByteArray("GET /api/check_quota?phone=1 HTTP/1.1\r\n")
                                       << QByteArray(200, 'x') << QList<int>{408};
    // A streamed answer that lasts longer than the idle time is not cut off.
    const QByteArray chat =
        R"({"model":"gpt-4o","userMessage":"a","systemMessage":"","context":"a"})";
    QTest::newRow("answer streaming past the idle time")
        << "POST /api/proxy_openai2 HTTP/1.1\r\nHost: t\r\nContent-Length: " +
               QByteArray::number(chat.size()) + "\r\n\r\n" + chat
        << QByteArray() << QList<int>{200};
}

void ServerApiTest::connectionsTimeOut()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, trickle);
    QFETCH(QList<int>, statuses);
    TestServer s({}, 500, [](TalvoroServer::Options &o) {
        o.limits.idleTimeout = std::chrono::milliseconds(300);
        o.limits.requestTimeout = std::chrono::milliseconds(300);
        o.demoIntervalMs = 60;
    });
    RawClient client(s.port);
    client.send(request);
    for (const char byte : trickle) {
        if (client.closed)
            break;
        client.send(QByteArray(1, byte));
        QTest::qWait(50);
    }
    QVERIFY(client.waitClosed());
    QCOMPARE(client.statuses(), statuses);
    if (request.contains("proxy_openai2"))
        QVERIFY(client.received.contains("data: [DONE]"));
}

void ServerApiTest::connectionsBeyondTheLimitAreTurnedAway()
{
    TestServer s({}, 500, [](TalvoroServer::Options &o) { o.limits.maxConnections = 2; });
    const QByteArray ask = "GET /api/check_quota?phone=1 HTTP/1.1\r\nHost: t\r\n\r\n";
    auto first = std::make_unique<RawClient>(s.port);
    RawClient second(s.port);
    for (RawClient *c : {first.get(), &second}) {
        c->send(ask);
        QVERIFY(c->waitAnswers(1));
    }
    RawClient third(s.port);
    QVERIFY(third.waitClosed());
    QCOMPARE(third.statuses(), QList<int>{503});

    // A place that comes free is given to the next one.
    first.reset();
    QVERIFY(QTest::qWaitFor([&] {
        RawClient next(s.port);
        next.send(ask);
        return next.waitAnswers(1) && next.statuses() == QList<int>{200};
    }));
}

void ServerApiTest::sessionTokens_data()
{
    QTest::addColumn<QString>("path");    // %own% and %other% stand for the two accounts' user ids
    QTest::addColumn<QByteArray>("body"); // POST when not empty
    QTest::addColumn<QString>("token");   // "own", "other", "none" or "forged"
    QTest::addColumn<QString>("before");  // "", "spent", "30 days idle" or "used every 29 days"
    QTest::addColumn<int>("status");
    const QString own = "?phone=%2B8613800138000";
    const QByteArray deductOwn = R"({"phone":"+8613800138000","amount":1})";
    const QByteArray chat =
        R"({"model":"gpt-4o","userMessage":"a","systemMessage":"","context":"a"})";
    const QString check = "/api/check_quota";
    QTest::newRow("own quota") << check + own << QByteArray() << "own"
                               << "" << 200;
    QTest::newRow("no token") << check + own << QByteArray() << "none"
                              << "" << 401;
    QTest::newRow("forged token") << check + own << QByteArray() << "forged"
                                  << "" << 401;
    QTest::newRow("another's quota") << check + own << QByteArray() << "other"
                                     << "" << 403;
    QTest::newRow("another's quota, same spelling")
        << check + "?phone=%2B86%20138%200013%208000" << QByteArray() << "other"
        << "" << 403;
    QTest::newRow("deduct own") << "/api/deduct_quota" << deductOwn << "own"
                                << "" << 200;
    QTest::newRow("deduct another's") << "/api/deduct_quota" << deductOwn << "other"
                                      << "" << 403;
    QTest::newRow("deduct without token") << "/api/deduct_quota" << deductOwn << "none"
                                          << "" << 401;
    QTest::newRow("own card") << "/api/macos_account_info?userid=%own%" << QByteArray() << "own"
                              << "" << 200;
    QTest::newRow("another's card")
        << "/api/macos_account_info?userid=%other%" << QByteArray() << "own"
        << "" << 403;
    QTest::newRow("chat with a balance") << "/api/proxy_openai2" << chat << "own"
                                         << "" << 200;
    QTest::newRow("chat without token") << "/api/proxy_claude2" << chat << "none"
                                        << "" << 401;
    QTest::newRow("chat with nothing left") << "/api/proxy_gemini2" << chat << "own"
                                            << "spent" << 402;
    QTest::newRow("picture with nothing left") << "/api/generate_image" << chat << "own"
                                               << "spent" << 402;
    QTest::newRow("token idle for 30 days") << check + own << QByteArray() << "own"
                                            << "30 days idle" << 401;
    QTest::newRow("token in use stays") << check + own << QByteArray() << "own"
                                        << "used every 29 days" << 200;
    QTest::newRow("sending a code")
        << "/api/send-code" << QByteArray(R"({"phone":"+8613700000009"})") << "none"
        << "" << 200;
    QTest::newRow("a page") << "/contact" << QByteArray() << "none"
                            << "" << 200;
    QTest::newRow("health") << "/healthz" << QByteArray() << "none"
                            << "" << 200;
}

void ServerApiTest::sessionTokens()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(QString, token);
    QFETCH(QString, before);
    QFETCH(int, status);
    TestServer s({}, 500, [](TalvoroServer::Options &o) { o.requireToken = true; });
    TestHttp http;
    const QJsonObject own = s.signIn(http, phone);
    const QJsonObject other = s.signIn(http, QStringLiteral("+8613900000000"));
    const QHash<QString, QByteArray> tokens{
        {"own", "Bearer " + own.value("token").toString().toLatin1()},
        {"other", "Bearer " + other.value("token").toString().toLatin1()},
        {"forged", "Bearer AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"}};

    http.headers.insert("Authorization", tokens.value("own"));
    if (before == u"spent") {
        QCOMPARE(
            http.post(s.url("/api/deduct_quota"), QJsonObject{{"phone", phone}, {"amount", 500}})
                .status,
            200);
    } else if (before == u"30 days idle") {
        s.clock.advance(SessionStore::idleLifetimeMs);
    } else if (before == u"used every 29 days") {
        for (int i = 0; i < 2; ++i) {
            s.clock.advance(29LL * 24 * 60 * 60 * 1000);
            QCOMPARE(http.get(s.url("/api/check_quota?phone=%2B8613800138000")).status, 200);
        }
        s.clock.advance(29LL * 24 * 60 * 60 * 1000);
    }
    http.headers.clear();
    if (tokens.contains(token))
        http.headers.insert("Authorization", tokens.value(token));

    const QString url = s.url(QString(path)
                                  .replace("%own%", own.value("userid").toString())
                                  .replace("%other%", other.value("userid").toString()));
    const ServerReply r = body.isEmpty() ? http.get(url) : http.post(url, body);
    QCOMPARE(r.status, status);
    if (status >= 400)
        QVERIFY(r.json().value("error").isString());
}

void ServerApiTest::codesAreLimitedPerSourceAndHour_data()
{
    // Each entry asks for a code for a new phone, from the address a proxy on this machine names
    // ("" when none); "hour" lets an hour pass.
    QTest::addColumn<QStringList>("asks");
    QTest::addColumn<QList<int>>("statuses");
    QTest::newRow("fourth from one address")
        << QStringList{"", "", "", ""} << QList<int>{200, 200, 200, 429};
    QTest::newRow("addresses apart, all together")
        << QStringList{"203.0.113.1", "203.0.113.2", "203.0.113.1",
                       "203.0.113.3", "203.0.113.2", "203.0.113.4"}
        << QList<int>{200, 200, 200, 200, 200, 429};
    QTest::newRow("an hour later")
        << QStringList{"", "", "", "hour", ""} << QList<int>{200, 200, 200, 200};
}

void ServerApiTest::codesAreLimitedPerSourceAndHour()
{
    QFETCH(QStringList, asks);
    QFETCH(QList<int>, statuses);
    TestServer s({}, 500, [](TalvoroServer::Options &o) { o.codeLimits = {3, 5}; });
    TestHttp http;
    QList<int> got;
    for (int i = 0; i < asks.size(); ++i) {
        if (asks[i] == u"hour") {
            s.clock.advance(CodeIssuer::limitWindowMs);
            continue;
        }
        http.headers.insert("X-Forwarded-For", "198.51.100.7, " + asks[i].toLatin1());
        const QString number = QStringLiteral("+86137000000%1").arg(i, 2, 10, QLatin1Char('0'));
        const ServerReply r = http.post(s.url("/api/send-code"), QJsonObject{{"phone", number}});
        got.append(r.status);
        QCOMPARE(s.log.lastCode(number).isEmpty(), r.status != 200);
    }
    QCOMPARE(got, statuses);
}

void ServerApiTest::codesGoThroughTheSmsCommand_data()
{
    // The command is this script, given one argument of its own ("a b", one argument with a
    // space: no shell splits it) before the phone and the code.
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<int>("status");
    QTest::newRow("delivered") << QByteArray("printf '%s|%s|%s' \"$1\" \"$2\" \"$3\" > \"$0.out\"")
                               << 200;
    QTest::newRow("command fails") << QByteArray("exit 3") << 502;
    QTest::newRow("command hangs") << QByteArray("exec sleep 30") << 502;
    QTest::newRow("command missing") << QByteArray() << 502;
}

void ServerApiTest::codesGoThroughTheSmsCommand()
{
    QFETCH(QByteArray, script);
    QFETCH(int, status);
    QTemporaryDir dir;
    const QString command = dir.filePath("send sms");
    if (!script.isEmpty()) {
        QFile file(command);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n" + script + "\n");
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    TestServer s({}, 500, [&](TalvoroServer::Options &o) {
        o.smsCommand = '"' + command + R"(" "a b")";
        o.smsTimeout = std::chrono::milliseconds(500);
    });
    TestHttp http;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const ServerReply r = http.post(s.url("/api/send-code"), QJsonObject{{"phone", phone}});
        // A code that could not be sent may be asked for again at once.
        QCOMPARE(r.status, status);
        if (status == 200)
            break;
        QVERIFY(r.json().value("error").isString());
    }
    // Never printed when a command delivers codes.
    QVERIFY(s.log.lastCode(phone).isEmpty());
    if (status != 200)
        return;
    QFile sent(command + ".out");
    QVERIFY(sent.open(QIODevice::ReadOnly));
    const QList<QByteArray> args = sent.readAll().split('|');
    QCOMPARE(args.size(), 3);
    QCOMPARE(args[0], QByteArray("a b"));
    QCOMPARE(args[1], phone.toLatin1());
    const QString code = QString::fromLatin1(args[2]);
    QCOMPARE(http.post(s.url("/api/login-register"), QJsonObject{{"phone", phone}, {"code", code}})
                 .json()
                 .value("message")
                 .toString(),
             QStringLiteral("登录成功！"));
}

// A data file written before schema versions were kept (its tables only, as that server made
// them) keeps its accounts and gains what sign-in now needs.
void ServerApiTest::fileFromBeforeSchemaVersionsIsAdopted()
{
    if (m_postgres)
        QSKIP("about SQLite files only");
    QTemporaryDir dir;
    const QString path = dir.filePath("old.sqlite");
    {
        QSqlDatabase old = QSqlDatabase::addDatabase("QSQLITE", "old-file");
        old.setDatabaseName(path);
        QVERIFY(old.open());
        QSqlQuery q(old);
        for (const char *statement :
             {"CREATE TABLE accounts (phone TEXT PRIMARY KEY, userid TEXT NOT NULL UNIQUE,"
              " username TEXT NOT NULL, avatar TEXT NOT NULL DEFAULT '', state TEXT NOT NULL,"
              " expiry TEXT NOT NULL DEFAULT '', translate_quota INTEGER NOT NULL DEFAULT 0,"
              " balance REAL NOT NULL, created_ms INTEGER NOT NULL)",
              "CREATE TABLE ledger (id INTEGER PRIMARY KEY, phone TEXT NOT NULL REFERENCES"
              " accounts(phone), kind TEXT NOT NULL, amount REAL NOT NULL, at_ms INTEGER NOT NULL)",
              "CREATE TABLE codes (phone TEXT PRIMARY KEY, code_hash BLOB NOT NULL,"
              " issued_ms INTEGER NOT NULL, expires_ms INTEGER NOT NULL,"
              " wrong_tries INTEGER NOT NULL DEFAULT 0)",
              "PRAGMA user_version=1",
              "INSERT INTO accounts (phone, userid, username, state, balance, created_ms)"
              " VALUES ('+8613800138000', 'u-old', 'old', '免费', 123.25, 1)"})
            QVERIFY2(q.exec(QString::fromUtf8(statement)), qPrintable(q.lastError().text()));
        old.close();
    }
    QSqlDatabase::removeDatabase("old-file");

    TestServer s({}, 500, [&](TalvoroServer::Options &o) { o.database = "sqlite:" + path; });
    TestHttp http;
    const QJsonObject profile = s.signIn(http, phone);
    QCOMPARE(profile.value("userid").toString(), QStringLiteral("u-old"));
    QCOMPARE(profile.value("chat_quota").toDouble(), 123.0);
    QVERIFY(!profile.value("token").toString().isEmpty());
}

QTEST_GUILESS_MAIN(ServerApiTest)
#include "tst_serverapi.moc"
