#include "chat/replyformatter.h"
#include "codeissuer.h"
#include "core/httpclient.h"
#include "core/serviceorigin.h"
#include "core/settingsstore.h"
#include "logcapture.h"
#include "postgrescluster.h"
#include "providerstreams.h"
#include "serverdatabase.h"
#include "servertestkit.h"
#include "service/chatclient.h"
#include "service/imageservice.h"
#include "service/quotaservice.h"
#include "sessionstore.h"

#include <QCryptographicHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

using namespace Qt::StringLiterals;

namespace {

const QString phone = u"+8613800138000"_s;
const QString other = u"+8613900000000"_s;
const QString ownQuota = u"/api/check_quota?phone=%2B8613800138000"_s;
const QByteArray chat = R"({"model":"gpt-4o","userMessage":"a","systemMessage":"","context":"a"})";
const QString welcome = u"登录成功！"_s;
const QByteArray ask = "GET /api/check_quota?phone=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

} // namespace

using ProviderStreams::textOf;

// The program's own way of asking and paying: its quota, chat and picture services, signed in
// to a server as `phone`.
struct SigningClient {
    QTemporaryDir dir;
    SettingsStore settings{dir.filePath("settings.db")};
    HttpClient http;
    QuotaService quota{&settings, &http};
    ImageService images{&http};
    ChatClient chat{&http, &quota, &images};

    SigningClient(const TestServer &s, const QJsonObject &signedIn)
    {
        ServiceOrigin::setCurrent(s.url({}));
        SettingsStore::setInstance(&settings); // where requests find the session token
        images.setDocumentsFolder(dir.filePath("Documents"));
        settings.set("phone", phone);
        settings.set("sessionToken", signedIn.value("token").toString());
    }

    // Asks, and returns once the answer is in and every charge the client made has been
    // answered by the server.
    bool ask(const QString &model, const QString &question, const QString &context)
    {
        LogCapture log;
        bool answered = false;
        int charges = 0;
        const auto done = [&answered] {
            answered = true;
        };
        ReplyTarget target;
        target.clearLoadingFlag = [] {
        };
        target.appendPartialText = [](QStringView) {
        };
        target.formatReplyText = &ReplyFormatter::formatReplyText;
        target.appendReplyText = [&](const QString &) {
            done();
        };
        target.placeImageResult = [&](const QString &) {
            done();
        };
        target.showQuotaExhausted = done;
        target.showFailure = [&](const QString &) {
            done();
        };
        target.withdraw = done;
        target.charged = [&charges](const Charge &) {
            ++charges;
        };
        QObject owner;
        chat.sendRequest(true, question, context, model, &owner, target);
        return QTest::qWaitFor(
            [&] { return answered && charges > 0 && log.count(u"扣减配额成功"_s) == charges; });
    }
};

class ServerApiTest : public QObject {
    Q_OBJECT

    std::unique_ptr<PostgresCluster> m_postgres;

private slots:
    // The whole suite runs once on each engine: on PostgreSQL (TALVORO_TEST_ENGINE=postgresql)
    // every server gets a new database in a cluster started for this run.
    void initTestCase()
    {
        if (qEnvironmentVariable("TALVORO_TEST_ENGINE") != u"postgresql")
            return;
        m_postgres = std::make_unique<PostgresCluster>();
        if (!m_postgres->start())
            QSKIP(qPrintable("PostgreSQL could not start: " + m_postgres->why()));
        TestServer::databases = [this] {
            return m_postgres->newDatabase();
        };
    }

    // One request after an account signed in: its answer, and that it spent and sent nothing.
    void oneRequest_data()
    {
        QTest::addColumn<QString>("request"); // %1 stands for the account's user id
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("contains");
        const auto row = [](const char *name, const QString &request, const QByteArray &body,
                            int status, const QString &contains = {}) {
            QTest::newRow(name) << request << body << status << contains;
        };
        const QString code = "POST /api/send-code";
        row("code, not json", code, "phone=+86138", 400);
        row("code, array", code, R"(["+8613800138000"])", 400);
        row("code, no phone", code, R"({"telephone":"+8613800138000"})", 400);
        row("code, phone is a number", code, R"({"phone":8613800138000})", 400);
        row("code, letters", code, R"({"phone":"+86abc"})", 400);
        row("code, too short", code, R"({"phone":"+8612"})", 400);

        // The account's code was used up by its sign-in.
        const QString login = "POST /api/login-register";
        const QString noCode = u"请先获取验证码"_s;
        const QByteArray own = R"({"phone":"+8613800138000")";
        row("sign-in, code used", login, own + R"(,"code":"000000"})", 401, noCode);
        row("sign-in, no code asked for", login, R"({"phone":"+8613900000000","code":"000000"})",
            401, noCode);
        row("sign-in, no code", login, own + "}", 400);

        const QString deduct = "POST /api/deduct_quota";
        row("deduct, negative", deduct, own + R"(,"amount":-1})", 400);
        row("deduct, text amount", deduct, own + R"(,"amount":"1"})", 400);
        row("deduct, no amount", deduct, own + "}", 400);
        row("deduct, overflowing amount", deduct, own + R"(,"amount":1e999})", 400);
        row("deduct, over the bound", deduct, own + R"(,"amount":10000.5})", 400);
        row("deduct, near the largest double", deduct, own + R"(,"amount":1e308})", 400);
        row("deduct, no phone", deduct, R"({"amount":1})", 400);
        row("deduct, bad phone", deduct, R"({"phone":"x","amount":1})", 400);
        row("deduct, broken json", deduct, own + R"(,"amount":)", 400);
        row("deduct, unknown account", deduct, R"({"phone":"+8613900000000","amount":1})", 404);

        // Every member is a boolean: the client counts anything else as "no".
        const QString quota = "GET /api/check_quota";
        row("quota, escaped plus", quota + "?phone=%2B8613800138000", {}, 200,
            R"({"hasQuota":true})");
        row("quota, other account", quota + "?phone=%2B8613900000000", {}, 200,
            R"({"hasQuota":false})");
        row("quota, empty value", quota + "?phone=", {}, 200, R"({"hasQuota":false})");
        row("quota, no parameter", quota, {}, 400);

        const QString card = "GET /api/macos_account_info";
        row("card, unknown id", card + "?userid=nobody", {}, 404);
        row("card, no parameter", card, {}, 400);

        row("chat without context", "POST /api/proxy_openai2",
            R"({"model":"gpt-4o","userMessage":"a","systemMessage":""})", 400);
        row("chat with a number", "POST /api/proxy_claude2",
            R"({"model":"m","userMessage":1,"systemMessage":"","context":""})", 400);
        row("chat with garbage", "POST /api/proxy_gemini2", "\xff\xfe{", 400);
        row("picture without model", "POST /api/generate_image",
            R"({"userMessage":"a","systemMessage":"","context":""})", 400);
        row("chat asked with GET", "GET /api/proxy_openai2", {}, 405);

        row("pricing", "GET /pricing?userid=%1", {}, 200, "500.00");
        row("pricing of nobody", "GET /pricing?userid=x", {}, 200, u"未找到该账号"_s);
        row("follow", "GET /guanzhu", {}, 200, u"网页扩展"_s);
        row("contact", "GET /contact", {}, 200, u"问题反馈"_s);
        row("terms", "GET /yinsi", {}, 200, u"隐私"_s);
        row("unknown page", "GET /nowhere", {}, 404);
        row("unknown endpoint", "GET /api/nowhere", {}, 404);
        row("picture path climbing out", "GET /images/..%2Ftalvoro-server.sqlite", {}, 404);
    }

    void oneRequest()
    {
        QFETCH(QString, request);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, contains);
        TestServer s;
        const QString userid = s.signIn(phone).value("userid").toString();
        const QString code = s.lastCode(phone);
        const QString path = request.section(' ', 1).replace("%1", userid);
        const ServerReply r = request.startsWith("GET ") ? s.get(path) : s.post(path, body);
        QCOMPARE(path.startsWith("/api/") && status >= 400 ? r.errorStatus() : r.status, status);
        const QString text = QString::fromUtf8(r.body);
        QVERIFY2(text.contains(contains), qPrintable(text.left(200)));
        if (!path.startsWith("/api/") && status == 200)
            QVERIFY(r.contentType.startsWith("text/html") && text.startsWith("<!DOCTYPE html>"));
        QCOMPARE(s.balance(userid), 500.0);
        QCOMPARE(s.lastCode(phone), code);
    }

    void sendCodeAllowsOneSendPerMinute()
    {
        TestServer s;
        // Spaces typed into the number do not make it another account.
        QCOMPARE(s.sendCode("+86 138 0013 8000").status, 200);
        QCOMPARE(s.lastCode(phone).size(), 6);
        s.clock.now += 59 * 1000;
        QCOMPARE(s.sendCode(phone).errorStatus(), 429);
        s.clock.now += 2 * 1000;
        QCOMPARE(s.sendCode(phone).status, 200);
        // Another phone is not held back by this one.
        QCOMPARE(s.sendCode(other).status, 200);
    }

    void signInCreatesAccountOnce()
    {
        TestServer s;
        const QJsonObject first = s.signIn(phone);
        QCOMPARE(first.value("message").toString(), welcome);
        QCOMPARE(first.value("phone").toString(), phone);
        QCOMPARE(first.value("state").toString(), u"免费"_s);
        QCOMPARE(first.value("chat_quota").toDouble(), 500.0);
        // At least 128 random bits, in characters a header carries as they are.
        QVERIFY(
            first.value("token").toString().contains(QRegularExpression("^[A-Za-z0-9_-]{22,}$")));
        QVERIFY(first.value("translate_quota").isDouble() && !first.contains("expiry_date"));
        for (const char *member : {"username", "userid", "avatar", "expiry"})
            QVERIFY2(first.value(member).isString(), member);
        QVERIFY(!first.value("userid").toString().isEmpty());
        // The account card reads the same account, with the expiry under another name.
        const QJsonObject info =
            s.get("/api/macos_account_info?userid=" + first.value("userid").toString()).json();
        for (const char *member :
             {"username", "phone", "state", "chat_quota", "translate_quota", "avatar"})
            QVERIFY2(info.value(member) == first.value(member), member);
        QVERIFY(info.value("expiry_date").isString() && !info.contains("expiry"));

        // A later sign-in finds the same account with its balance as it was left.
        QCOMPARE(s.deduct(phone, 100.5), 200);
        const QJsonObject second = s.signIn(phone);
        QCOMPARE(second.value("message").toString(), welcome);
        QCOMPARE(second.value("userid"), first.value("userid"));
        QVERIFY(second.value("token") != first.value("token"));
        // The sign-in reply carries a whole number.
        QCOMPARE(second.value("chat_quota").toDouble(), 399.0);
    }

    void signInRefusals_data()
    {
        // Codes tried in turn ("w" wrong, "r" the one sent); the wait comes before the last.
        QTest::addColumn<QString>("tries");
        QTest::addColumn<qint64>("wait");
        QTest::addColumn<QString>("message");
        QTest::newRow("wrong code") << "w" << 0LL << QString("验证码错误，请重新输入");
        QTest::newRow("expired") << "r" << CodeIssuer::validityMs
                                 << QString("验证码已过期，请重新获取");
        QTest::newRow("right code after five wrong ones")
            << QString(CodeIssuer::maxWrongTries, 'w') + 'r' << 0LL
            << QString("验证码错误次数过多，请重新获取");
    }

    void signInRefusals()
    {
        QFETCH(QString, tries);
        QFETCH(qint64, wait);
        QFETCH(QString, message);
        TestServer s;
        s.sendCode(phone);
        const QString code = s.lastCode(phone);
        const QString wrong = code == u"000000" ? u"000001"_s : u"000000"_s;
        for (int i = 0; i < tries.size() - 1; ++i)
            s.login(phone, wrong);
        s.clock.now += wait;
        const ServerReply r = s.login(phone, tries.endsWith('r') ? code : wrong);
        QVERIFY(r.errorStatus() >= 400 && r.errorStatus() < 500);
        QCOMPARE(r.json().value("message").toString(), message);
    }

    // What a copy of the data directory gives away: the secret and the SQLite file are the
    // owner's alone, and a pending code is not a hash anyone can search a million codes against.
    void secretsStayWithTheOwner()
    {
        TestServer s;
        QCOMPARE(s.sendCode(phone).status, 200);
        const QString code = s.lastCode(phone);
        const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                                QFileDevice::ReadOther | QFileDevice::WriteOther;
        QStringList files{s.m_dir.filePath("secret")};
        if (!m_postgres)
            files << s.m_dir.filePath("talvoro-server.sqlite");
        for (const QString &file : files) {
            QVERIFY2(QFile::exists(file), qPrintable(file));
            QCOMPARE(QFile::permissions(file) & others, QFileDevice::Permissions());
        }
        if (m_postgres)
            return;
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "copied");
        db.setDatabaseName(s.m_dir.filePath("talvoro-server.sqlite"));
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec("SELECT code_hash FROM codes") && q.next());
        const QByteArray stored = q.value(0).toByteArray();
        QVERIFY(!stored.isEmpty());
        QVERIFY(stored != QCryptographicHash::hash((phone + '\n' + code).toUtf8(),
                                                   QCryptographicHash::Sha256));
        q.finish();
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("copied");
        QCOMPARE(s.login(phone, code).json().value("message").toString(), welcome);
    }

    void deductionsAreExactAndLoseNothing()
    {
        TestServer s;
        const QString userid = s.signIn(phone).value("userid").toString();
        // Many at once; 0.25 is exact in binary, so the order of subtraction does not matter.
        QCOMPARE(TestHttp::deductConcurrently({s.server->origin()}, phone, 50, 20, 0.25), 0);
        // Amounts as the client computes them, including ones no decimal fraction holds exactly.
        double expected = 500 - 50 * 20 * 0.25;
        for (const double amount : {0.028, 4 * 0.007, 0.0021 * 37, 100.0, 0.0, 1e-9}) {
            QCOMPARE(s.deduct(phone, amount), 200);
            expected -= amount;
        }
        QCOMPARE(s.balance(userid), expected);
        // Spending below zero is recorded; the account then has no quota.
        QCOMPARE(s.deduct(phone, 600), 200);
        QCOMPARE(s.get(ownQuota).json().value("hasQuota"), QJsonValue(false));
    }

    // An attacker's amounts never reach a balance, and a deduction the database itself refuses
    // (here a trigger refuses the attacker's ledger rows) fails alone, never the deductions of
    // other accounts that share its transaction.
    void poisonedDeductionsFailAlone()
    {
        QString address;
        TestServer s([&](TalvoroServer::Options &o) {
            address =
                o.database.isEmpty() ? o.dataDirectory + "/talvoro-server.sqlite" : o.database;
        });
        const QString victim = s.signIn(phone).value("userid").toString();
        const QString attacker = s.signIn(other).value("userid").toString();
        for (const double amount : {1e308, 1e308, 10001.0, -1.0})
            QCOMPARE(s.deduct(other, amount), 400);

        QString error;
        const auto where = ServerDatabase::locate(address, {}, &error);
        QVERIFY2(where, qPrintable(error));
        QSqlDatabase db = ServerDatabase::open(*where, &error);
        QVERIFY2(db.isOpen(), qPrintable(error));
        const bool postgres = where->engine == ServerDatabase::Engine::PostgreSQL;
        const QStringList poison =
            postgres ? QStringList{"CREATE FUNCTION poison() RETURNS trigger AS $$ BEGIN RAISE "
                                   "EXCEPTION 'poisoned'; END $$ LANGUAGE plpgsql",
                                   "CREATE TRIGGER poison BEFORE INSERT ON ledger FOR EACH ROW "
                                   "WHEN (NEW.phone = '" +
                                       other + "') EXECUTE FUNCTION poison()"}
                     : QStringList{"CREATE TRIGGER poison BEFORE INSERT ON ledger WHEN NEW.phone "
                                   "= '" +
                                   other + "' BEGIN SELECT RAISE(ABORT, 'poisoned'); END"};
        for (const QString &statement : poison) {
            QSqlQuery q(db);
            QVERIFY2(q.exec(statement), qPrintable(q.lastError().text()));
        }

        TestHttp attacks;
        QList<QNetworkReply *> attempts;
        for (int i = 0; i < 20; ++i)
            attempts.append(
                attacks.start(s.url("/api/deduct_quota"),
                              QJsonDocument(withPhone(other, {{"amount", 1}})).toJson()));
        QCOMPARE(TestHttp::deductConcurrently({s.server->origin()}, phone, 20, 10, 0.25), 0);
        for (QNetworkReply *attempt : attempts)
            QCOMPARE(TestHttp::wait(attempt).status, 500);
        QCOMPARE(s.balance(victim), 500 - 200 * 0.25);
        QCOMPARE(s.balance(attacker), 500.0);

        // A balance out of every integer's range (as a file from before amounts were bounded may
        // hold) signs in as the nearest whole number JSON carries exactly.
        QSqlQuery q(db);
        QVERIFY(q.exec("UPDATE accounts SET balance = -1e300 WHERE phone = '" + other + "'"));
        QCOMPARE(s.signIn(other).value("chat_quota").toDouble(), -9007199254740992.0);
        ServerDatabase::close(db);
    }

    // A database that stops taking requests is an outage (503), never a lapsed sign-in (401);
    // /healthz also sees an SQLite file deleted under the server, which the open handle hides.
    void databaseOutages_data()
    {
        // SQLite: the file deleted, or its writes held off by another connection; PostgreSQL: the
        // server's connection ended by the database.
        QTest::addColumn<QString>("outage");
        QTest::addColumn<int>("quota"); // the status of an own-quota check with a token
        QTest::newRow("file deleted") << "file deleted" << 200;
        QTest::newRow("writes held off") << "writes held off" << 200;
        QTest::newRow("database gone") << "database gone" << 503;
    }

    void databaseOutages()
    {
        QFETCH(QString, outage);
        QFETCH(int, quota);
        if (bool(m_postgres) != (outage == u"database gone"))
            QSKIP("another engine's outage");
        QString address;
        TestServer s([&](TalvoroServer::Options &o) {
            o.requireToken = true;
            address =
                o.database.isEmpty() ? o.dataDirectory + "/talvoro-server.sqlite" : o.database;
        });
        const QJsonObject account = s.signIn(phone);
        s.http.headers.insert("Authorization",
                              "Bearer " + account.value("token").toString().toLatin1());
        QCOMPARE(s.get("/healthz").status, 200);

        QString error;
        const auto where = ServerDatabase::locate(address, {}, &error);
        QSqlDatabase db = ServerDatabase::open(*where, &error);
        QVERIFY2(db.isOpen(), qPrintable(error));
        QSqlQuery q(db);
        if (outage == u"file deleted") {
            QVERIFY(QFile::remove(where->path));
        } else if (m_postgres) {
            QVERIFY(q.exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE pid <> "
                           "pg_backend_pid() AND datname = current_database()"));
        } else {
            // The server's writes wait for this transaction, then fail; its reads go on.
            QVERIFY2(q.exec("BEGIN IMMEDIATE"), qPrintable(q.lastError().text()));
        }
        const ServerReply check = s.get(ownQuota);
        QCOMPARE(check.status, quota);
        QVERIFY(quota == 200 || check.json().value("error").isString());
        QCOMPARE(s.get("/healthz").status, 503);
        q.exec("ROLLBACK");
        ServerDatabase::close(db);
    }

    // The client stores its own copy of a picture once shown; the server's goes after a week.
    // A metering server charges for itself exactly what the client would have reported: the
    // same texts at the same rates (the question with its context, the answer as the client
    // formats it, the picture's flat price). A client that still reports its charges is not
    // charged twice, one that never does pays all the same, and one without a session is not
    // served at all, tokens required or not.
    void meteringChargesWhatTheClientWould_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("path");
        QTest::newRow("GPT-4o") << "gpt-4o"
                                << "/api/proxy_openai2";
        QTest::newRow("Claude 3 Haiku, the cheaper tier") << "claude-3-haiku-20240307"
                                                          << "/api/proxy_claude2";
        QTest::newRow("Gemini") << "gemini-1.5-pro"
                                << "/api/proxy_gemini2";
        QTest::newRow("picture, a flat price") << "dall-e-3"
                                               << "/api/generate_image";
    }

    void meteringChargesWhatTheClientWould()
    {
        QFETCH(QString, model);
        QFETCH(QString, path);
        // White space of several kinds, a joined emoji, an accent on its own code point, bold.
        const QString question = u"什么是 **RAII**？\t👨‍👩‍👧‍👦 e\u0301"_s;
        const QString context = u"早上好\n"_s + question;
        const QJsonObject asked{{"model", model},
                                {"userMessage", question},
                                {"systemMessage", u"简短回答"_s},
                                {"context", context}};

        TestServer reporting;
        const QJsonObject reportingAccount = reporting.signIn(phone);
        const QString reportingId = reportingAccount.value("userid").toString();
        {
            SigningClient client(reporting, reportingAccount);
            QVERIFY(client.ask(model, question, context));
        }
        const double price = 500 - reporting.balance(reportingId);
        QVERIFY(price > 0);

        TestServer metered([](TalvoroServer::Options &o) { o.meter = true; });
        const QJsonObject signedIn = metered.signIn(phone);
        const QString userid = signedIn.value("userid").toString();
        QCOMPARE(metered.post(path, asked).errorStatus(), 401);
        QCOMPARE(metered.balance(userid), 500.0);
        {
            SigningClient client(metered, signedIn);
            QVERIFY(client.ask(model, question, context));
        }
        QTRY_COMPARE(500 - metered.balance(userid), price);

        metered.http.headers.insert("Authorization",
                                    "Bearer " + signedIn.value("token").toString().toLatin1());
        QCOMPARE(metered.post(path, asked).status, 200);
        QTRY_COMPARE(500 - metered.balance(userid), 2 * price);
    }

    void oldPicturesAreDeleted()
    {
        TestServer s([](TalvoroServer::Options &o) {
            o.imageSweepInterval = std::chrono::milliseconds(50);
        });
        const ServerReply made = s.post("/api/generate_image", chat);
        QCOMPARE(made.status, 200);
        const QString address = made.json().value("image_url").toString();
        QCOMPARE(s.http.get(address).status, 200);
        // Written by the system clock: the server's own clock is moved past the week instead.
        const QString name = QUrl(address).fileName();
        QFile file(s.m_dir.filePath("images/" + name));
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime::fromMSecsSinceEpoch(s.clock.now),
                                 QFileDevice::FileModificationTime));
        file.close();
        s.clock.now += 6LL * 24 * 60 * 60 * 1000;
        QTest::qWait(200);
        QCOMPARE(s.http.get(address).status, 200);
        s.clock.now += 2LL * 24 * 60 * 60 * 1000;
        QTRY_COMPARE(s.http.get(address).status, 404);
    }

    // Without providers the server answers with its own demo text (its pictures are shown in
    // the end-to-end test).
    void demoAnswers()
    {
        TestServer s;
        // A question that holds the very text the client's line reader strips out.
        const QString question = u"什么是 data: 流？"_s;
        for (const char *path :
             {"/api/proxy_openai2", "/api/proxy_claude2", "/api/proxy_gemini2"}) {
            const ServerReply r = s.post(path, ProviderStreams::question("gpt-4o", question));
            QCOMPARE(r.status, 200);
            QVERIFY2(r.body.count("data: ") > 4, path); // in pieces
            QVERIFY2(textOf(path, r.body).contains(question), path);
        }
    }

    void rawConnections_data()
    {
        // Requests written one after another on one connection, each once the one before is
        // answered, then bytes trickled in one at a time, then `follow` MiB streamed in pieces.
        // The server answers with `statuses`, then closes the connection (at the latest once it
        // has been idle for a moment), its peak memory rising by less than `peakMiB`.
        QTest::addColumn<QByteArrayList>("requests");
        QTest::addColumn<QByteArray>("trickle");
        QTest::addColumn<int>("follow");
        QTest::addColumn<QList<int>>("statuses");
        QTest::addColumn<int>("peakMiB");
        const auto row = [](const char *name, const QByteArrayList &requests,
                            const QByteArray &trickle, const QList<int> &statuses, int follow = 0) {
            QTest::newRow(name) << requests << trickle << follow << statuses << 16;
        };
        const QByteArray deduct = "POST /api/deduct_quota HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                  "Content-Type: application/json\r\n";
        QByteArray mebibyte = R"({"phone":"+8613800138000","amount":1})";
        mebibyte.append(QByteArray(1024 * 1024 - mebibyte.size(), ' '));
        const QByteArray full = deduct + "Content-Length: 1048576\r\n\r\n" + mebibyte;
        row("body over 1 MiB", {deduct + "Content-Length: 1048577\r\n\r\n" + mebibyte}, {}, {413});
        row("body far over, declared", {deduct + "Content-Length: 300000000\r\n\r\n"}, {}, {413});
        row("chunked body", {deduct + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n"}, {},
            {411});
        row("endless head", {ask.left(39) + "X-Pad: " + QByteArray(40000, 'a')}, {}, {431});
        row("too large after good ones", {full, ask, deduct + "Content-Length: 2000000\r\n\r\n"},
            {}, {200, 200, 413});
        row("nothing sent", {}, {}, {});
        row("head trickling in", {}, ask.left(39) + QByteArray(200, 'x'), {408});
        // A streamed answer that lasts longer than the idle time is not cut off.
        row("answer streaming past the idle time",
            {"POST /api/proxy_openai2 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
             "application/json\r\nContent-Length: " +
             QByteArray::number(chat.size()) + "\r\n\r\n" + chat},
            {}, {200});

        // Framed as the HTTP layer frames them: bare line feeds end lines and heads.
        QByteArray bareLf = ask;
        bareLf.replace("\r\n", "\n");
        row("bare line feeds", {bareLf, bareLf}, {}, {200, 200});
        row("mixed line ends",
            {"GET /api/check_quota?phone=1 HTTP/1.1\nHost: 127.0.0.1\r\n\n", ask}, {}, {200, 200});
        row("empty lines before a request", {"\r\n\n" + ask}, {}, {200});
        // A head ended by bare line feeds, then one that declares 200 MiB and sends it in pieces
        // that each look like a head ending in CR LF CR LF.
        row("bare line feed smuggling",
            {"GET /api/check_quota?phone=1 HTTP/1.1\nHost: 127.0.0.1\nContent-Length: 0\n\n",
             deduct + "Content-Length: 209715200\r\n\r\n"},
            {}, {200, 413}, 200);
        // Whatever the HTTP layer would read otherwise than a proxy in front of it.
        const QByteArray quota = ask.left(ask.size() - 2);
        row("bare CR", {"GET /api/check_quota?phone=1 HTTP/1.1\rHost: 127.0.0.1\r\n\r\n"}, {},
            {400});
        row("two equal lengths", {deduct + "Content-Length: 5\r\nContent-Length: 5\r\n\r\nhello"},
            {}, {400});
        row("conflicting lengths",
            {deduct + "Content-Length: 0\r\nContent-Length: 209715200\r\n\r\n"}, {}, {400}, 200);
        row("length in one line twice", {deduct + "Content-Length: 5, 5\r\n\r\nhello"}, {}, {400});
        row("signed length", {deduct + "Content-Length: +5\r\n\r\nhello"}, {}, {400});
        row("length and chunked",
            {deduct + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"}, {},
            {400});
        row("space before the colon", {deduct + "Content-Length : 209715200\r\n\r\n"}, {}, {400});
        row("folded header", {quota + "X-A: a\r\n b\r\n\r\n"}, {}, {400});
        row("folded length", {deduct + "Content-Length: 0\r\n 209715200\r\n\r\n"}, {}, {400});
        row("NUL in a value", {quota + QByteArray("X-A: a\0b\r\n\r\n", 12)}, {}, {400});
        row("NUL in a name", {quota + QByteArray("X\0A: b\r\n\r\n", 11)}, {}, {400});
        row("not a request line", {"HELLO\r\n\r\n"}, {}, {400});
        row("upgrade", {quota + "Connection: Upgrade\r\nUpgrade: h2c\r\n\r\n"}, {}, {400});
    }

    void rawConnections()
    {
        QFETCH(QByteArrayList, requests);
        QFETCH(QByteArray, trickle);
        QFETCH(int, follow);
        QFETCH(QList<int>, statuses);
        QFETCH(int, peakMiB);
        TestServer s([](TalvoroServer::Options &o) {
            o.limits.idleTimeout = std::chrono::milliseconds(300);
            o.limits.requestTimeout = std::chrono::milliseconds(1500);
            o.demoIntervalMs = 60;
        });
        s.signIn(phone);
        const PeakMemory memory;
        RawClient client(s.port);
        for (int i = 0; i < requests.size(); ++i) {
            client.send(requests.at(i));
            QVERIFY(client.waitAnswers(i + 1));
        }
        for (qsizetype i = 0; i < trickle.size() && !client.closed; ++i) {
            client.send(trickle.mid(i, 1));
            QTest::qWait(50);
        }
        client.stream(QByteArray(16 * 1024, 'a') + "\r\n\r\n", qint64(follow) * 1024 * 1024);
        QVERIFY(client.waitClosed());
        QCOMPARE(client.statuses(), statuses);
        QVERIFY2(memory.growthMiB() < peakMiB, qPrintable(QString::number(memory.growthMiB())));
        // Refused with a reason the client can show.
        if (!statuses.isEmpty() && statuses.last() != 200)
            QVERIFY(client.received.contains("{\"error\":\""));
        if (requests.value(0).contains("proxy_openai2"))
            QVERIFY(client.received.contains("data: [DONE]"));
    }

    void connectionsBeyondTheLimitAreTurnedAway_data()
    {
        QTest::addColumn<bool>("perAddress");
        QTest::newRow("in all") << false;
        QTest::newRow("from one address") << true;
    }

    void connectionsBeyondTheLimitAreTurnedAway()
    {
        QFETCH(bool, perAddress);
        TestServer s([&](TalvoroServer::Options &o) {
            (perAddress ? o.limits.maxConnectionsPerAddress : o.limits.maxConnections) = 2;
            o.limits.loopbackPerAddress = perAddress; // the test's only address
        });
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

    // Requests still arriving hold memory in the HTTP layer; past the budget for all of them
    // together, the oldest is refused and the newer ones go on.
    void partialRequestsStayWithinTheBudget()
    {
        TestServer s([](TalvoroServer::Options &o) { o.limits.maxPartialBytes = 3 * 1024 * 1024; });
        s.signIn(phone);
        QByteArray body = R"({"phone":"+8613800138000","amount":1})";
        body.append(QByteArray(1024 * 1024 - body.size(), ' '));
        const QByteArray head = "POST /api/deduct_quota HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                "Content-Type: application/json\r\nContent-Length: 1048576\r\n\r\n";
        std::vector<std::unique_ptr<RawClient>> clients;
        for (int i = 0; i < 5; ++i) {
            clients.push_back(std::make_unique<RawClient>(s.port));
            clients.back()->send(head + body.left(900 * 1024));
            QVERIFY(QTest::qWaitFor([&] { return clients.back()->socket.bytesToWrite() == 0; }));
            QTest::qWait(100);
        }
        // 4.5 MiB arrived in all: the first two were refused to bring it under 3 MiB.
        for (int i = 0; i < 2; ++i) {
            QVERIFY(clients[i]->waitAnswers(1));
            QCOMPARE(clients[i]->statuses(), QList<int>{503});
        }
        for (int i = 2; i < 5; ++i) {
            clients[i]->send(body.mid(900 * 1024));
            QVERIFY(clients[i]->waitAnswers(1));
            QCOMPARE(clients[i]->statuses(), QList<int>{200});
        }
    }

    // A value that reaches the log cannot forge a line of its own or colour the terminal.
    void controlCharactersAreEscapedInTheLog()
    {
        TestServer s([](TalvoroServer::Options &o) { o.requireToken = true; });
        static QStringList log;
        log.clear();
        ServerLog::setSink([](const QString &line) { log.append(line); });
        const ServerLog::Level level = ServerLog::level();
        ServerLog::setLevel(ServerLog::Level::Debug);
        QCOMPARE(s.get("/api/x%1B%5B31m%0Aforged%00line").status, 401);
        ServerLog::setLevel(level);
        const QString joined = log.join('\n');
        QVERIFY2(joined.contains("/api/x\\x1b[31m\\x0aforged\\x00line"), qPrintable(joined));
        QVERIFY(!joined.contains("\nforged"));
    }

    void sessionTokens_data()
    {
        QTest::addColumn<QString>("path"); // %own% and %other% stand for the two accounts' user ids
        QTest::addColumn<QByteArray>("body"); // POST when not empty
        QTest::addColumn<QString>("token");   // "own", "other", "none" or "forged"
        // "", "spent", "signed out", "30 days idle" or "used every 29 days"
        QTest::addColumn<QString>("before");
        QTest::addColumn<int>("status");
        const auto row = [](const char *name, const QString &path, const QByteArray &body,
                            const char *token, const char *before, int status) {
            QTest::newRow(name) << path << body << QString(token) << QString(before) << status;
        };
        const QByteArray deduct = R"({"phone":"+8613800138000","amount":1})";
        const QString spelled = "/api/check_quota?phone=%2B86%20138%200013%208000";
        row("own quota", ownQuota, {}, "own", "", 200);
        row("no token", ownQuota, {}, "none", "", 401);
        row("forged token", ownQuota, {}, "forged", "", 401);
        row("another's quota", ownQuota, {}, "other", "", 403);
        row("another's quota, same spelling", spelled, {}, "other", "", 403);
        row("deduct own", "/api/deduct_quota", deduct, "own", "", 200);
        row("deduct another's", "/api/deduct_quota", deduct, "other", "", 403);
        row("deduct without token", "/api/deduct_quota", deduct, "none", "", 401);
        row("own card", "/api/macos_account_info?userid=%own%", {}, "own", "", 200);
        row("another's card", "/api/macos_account_info?userid=%other%", {}, "own", "", 403);
        row("chat with a balance", "/api/proxy_openai2", chat, "own", "", 200);
        row("chat without token", "/api/proxy_claude2", chat, "none", "", 401);
        row("chat with nothing left", "/api/proxy_gemini2", chat, "own", "spent", 402);
        row("picture with nothing left", "/api/generate_image", chat, "own", "spent", 402);
        row("unknown endpoint", "/api/nowhere", {}, "none", "", 401);
        row("token idle for 30 days", ownQuota, {}, "own", "30 days idle", 401);
        row("token in use stays", ownQuota, {}, "own", "used every 29 days", 200);
        row("signing out", "/api/logout", "{}", "own", "", 204);
        row("pricing page by user id", "/pricing?userid=%own%", {}, "none", "", 401);
        row("pricing page with own token", "/pricing?userid=%own%", {}, "own", "", 200);
        row("pricing page with another's token", "/pricing?userid=%own%", {}, "other", "", 401);
        row("pricing link", "/api/pricing-link", "{}", "own", "", 200);
        row("pricing link without a token", "/api/pricing-link", "{}", "none", "", 401);
        row("signing out without a token", "/api/logout", "{}", "none", "", 401);
        row("token signed out", ownQuota, {}, "own", "signed out", 401);
        row("another's token after signing out", "/api/macos_account_info?userid=%other%", {},
            "other", "signed out", 200);
        row("sending a code", "/api/send-code", R"({"phone":"+8613700000009"})", "none", "", 200);
        row("a page", "/contact", {}, "none", "", 200);
        row("health", "/healthz", {}, "none", "", 200);
        row("a picture", "/images/missing.png", {}, "none", "", 404);
    }

    void sessionTokens()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(QString, token);
        QFETCH(QString, before);
        QFETCH(int, status);
        TestServer s([](TalvoroServer::Options &o) { o.requireToken = true; });
        const QJsonObject own = s.signIn(phone);
        const QJsonObject another = s.signIn(other);
        const QHash<QString, QByteArray> tokens{
            {"own", "Bearer " + own.value("token").toString().toLatin1()},
            {"other", "Bearer " + another.value("token").toString().toLatin1()},
            {"forged", "Bearer AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"}};

        s.http.headers.insert("Authorization", tokens.value("own"));
        if (before == u"spent")
            QCOMPARE(s.deduct(phone, 500), 200);
        if (before == u"signed out")
            QCOMPARE(s.post("/api/logout", QByteArray("{}")).status, 204);
        for (int i = 0; before == u"used every 29 days" && i < 3; ++i) {
            s.clock.now += 29LL * 24 * 60 * 60 * 1000;
            QVERIFY(i == 2 || s.get(ownQuota).status == 200);
        }
        s.clock.now += before == u"30 days idle" ? SessionStore::idleLifetimeMs : 0;
        s.http.headers.clear();
        if (tokens.contains(token))
            s.http.headers.insert("Authorization", tokens.value(token));

        path.replace("%own%", own.value("userid").toString())
            .replace("%other%", another.value("userid").toString());
        const ServerReply r = body.isEmpty() ? s.get(path) : s.post(path, body);
        QCOMPARE(status >= 400 && path.startsWith("/api/") ? r.errorStatus() : r.status, status);
    }

    void crossSiteRequests_data()
    {
        // A raw request ("%1" stands for its header lines besides Host) with this Host, to a
        // server on loopback reached also as chat.example.com, with or without tokens required.
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<bool>("tokens");
        QTest::addColumn<int>("status");
        const QByteArray quota = "GET /api/check_quota?phone=1 HTTP/1.1\r\n%1\r\n";
        const QByteArray body = R"({"phone":"+8613800138000","amount":1})";
        const QByteArray deduct = "POST /api/deduct_quota HTTP/1.1\r\nContent-Length: " +
                                  QByteArray::number(body.size()) + "\r\n%1\r\n" + body;
        const QByteArray json = "Content-Type: application/json\r\n";
        const auto row = [](const char *name, const QByteArray &request, const QByteArray &lines,
                            const char *host, bool tokens, int status) {
            QByteArray filled = request;
            QTest::newRow(name) << filled.replace("%1", lines) << QByteArray(host) << tokens
                                << status;
        };
        row("bound address", quota, {}, "127.0.0.1", false, 200);
        row("localhost with a port", quota, {}, "localhost:8765", false, 200);
        row("public name", quota, {}, "CHAT.example.com", false, 200);
        row("a page on a public name", "GET /contact HTTP/1.1\r\n%1\r\n", {}, "chat.example.com",
            false, 200);
        row("rebound name", quota, {}, "evil.example:8765", false, 403);
        row("a page on a rebound name", "GET /contact HTTP/1.1\r\n%1\r\n", {}, "evil.example",
            false, 403);
        row("web page spending", deduct, json + "Origin: https://evil.example\r\n", "127.0.0.1",
            false, 403);
        row("web page spending with tokens", deduct, json + "Origin: null\r\n", "127.0.0.1", true,
            403);
        row("web page reading", quota, "Origin: http://127.0.0.1:8765\r\n", "127.0.0.1", false,
            403);
        row("json", deduct, json, "127.0.0.1", false, 200);
        row("json with a charset", deduct, "Content-Type: Application/JSON; charset=utf-8\r\n",
            "127.0.0.1", false, 200);
        row("plain text", deduct, "Content-Type: text/plain\r\n", "127.0.0.1", false, 415);
        row("form", deduct, "Content-Type: application/x-www-form-urlencoded\r\n", "127.0.0.1",
            false, 415);
        row("no content type", deduct, {}, "127.0.0.1", false, 415);
    }

    void crossSiteRequests()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, host);
        QFETCH(bool, tokens);
        QFETCH(int, status);
        TestServer s([&](TalvoroServer::Options &o) {
            o.publicHosts = {"chat.example.com"};
            o.requireToken = tokens;
        });
        const QJsonObject account = s.signIn(phone);
        const QByteArray bearer =
            "Authorization: Bearer " + account.value("token").toString().toLatin1() + "\r\n";
        RawClient client(s.port);
        client.send(request.replace("\r\n\r\n", "\r\nHost: " + host + "\r\n" +
                                                    (tokens ? bearer : QByteArray()) + "\r\n"));
        QVERIFY(client.waitAnswers(1));
        QCOMPARE(client.statuses(), QList<int>{status});
        if (status != 200)
            QVERIFY(client.received.contains("{\"error\":\""));
        s.http.headers.insert("Authorization", bearer.mid(15).trimmed());
        QCOMPARE(s.balance(account.value("userid").toString()),
                 request.startsWith("POST") && status == 200 ? 499.0 : 500.0);
    }

    // The browser has no token: the client asks for a link that opens the page once, for five
    // minutes.
    void pricingLinkOpensThePageOnce()
    {
        TestServer s([](TalvoroServer::Options &o) { o.requireToken = true; });
        const QJsonObject account = s.signIn(phone);
        s.http.headers.insert("Authorization",
                              "Bearer " + account.value("token").toString().toLatin1());
        const auto link = [&] {
            return s.post("/api/pricing-link", QByteArray("{}")).json().value("path").toString();
        };
        const QString first = link();
        QVERIFY(first.startsWith("/pricing?link="));
        s.http.headers.clear();
        QVERIFY(QString::fromUtf8(s.get(first).body).contains("500.00"));
        QVERIFY(QString::fromUtf8(s.get(first).body).contains(u"未找到该账号"_s));

        s.http.headers.insert("Authorization",
                              "Bearer " + account.value("token").toString().toLatin1());
        const QString late = link();
        s.clock.now += 5 * 60 * 1000;
        QVERIFY(QString::fromUtf8(s.get(late).body).contains(u"未找到该账号"_s));
    }

    void codesAreLimitedPerSourceAndHour_data()
    {
        // Each entry asks for a code for a new phone with these X-Forwarded-For header lines
        // ("|" between two lines; "" for none); "hour" lets an hour pass. The proxy on this
        // machine appends its own entry for the client's address last.
        QTest::addColumn<QStringList>("asks");
        QTest::addColumn<QList<int>>("statuses");
        QTest::newRow("fourth from one address")
            << QStringList{"", "", "", ""} << QList<int>{200, 200, 200, 429};
        QTest::newRow("addresses apart, all together")
            << QStringList{"198.51.100.7, 203.0.113.1", "198.51.100.7, 203.0.113.2",
                           "198.51.100.7, 203.0.113.1", "198.51.100.7, 203.0.113.3",
                           "198.51.100.7, 203.0.113.2", "198.51.100.7, 203.0.113.4"}
            << QList<int>{200, 200, 200, 200, 200, 429};
        QTest::newRow("an hour later")
            << QStringList{"", "", "", "hour", ""} << QList<int>{200, 200, 200, 200};
        // A client's own line comes first, the proxy's appended line last.
        QTest::newRow("forged line before the proxy's")
            << QStringList{"10.0.0.1|203.0.113.9", "10.0.0.2|203.0.113.9",
                           "10.0.0.3, 10.0.0.4|203.0.113.9", "10.0.0.5|203.0.113.9"}
            << QList<int>{200, 200, 200, 429};
        QTest::newRow("forged entries before the proxy's")
            << QStringList{"10.0.0.1, 203.0.113.9", "10.0.0.2, 203.0.113.9", "10.0.0.3,203.0.113.9",
                           "10.0.0.5 , 203.0.113.9"}
            << QList<int>{200, 200, 200, 429};
    }

    void codesAreLimitedPerSourceAndHour()
    {
        QFETCH(QStringList, asks);
        QFETCH(QList<int>, statuses);
        TestServer s([](TalvoroServer::Options &o) { o.codeLimits = {3, 5}; });
        QList<int> got;
        for (int i = 0; i < asks.size(); ++i) {
            if (asks[i] == u"hour") {
                s.clock.now += CodeIssuer::limitWindowMs;
                continue;
            }
            const QString number = u"+86137000000%1"_s.arg(i, 2, 10, QLatin1Char('0'));
            const QByteArray body = QJsonDocument(withPhone(number)).toJson();
            QByteArray request = "POST /api/send-code HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                                 "application/json\r\nContent-Length: " +
                                 QByteArray::number(body.size()) + "\r\n";
            for (const QString &line : asks[i].split('|', Qt::SkipEmptyParts))
                request += "X-Forwarded-For: " + line.toLatin1() + "\r\n";
            RawClient client(s.port);
            client.send(request + "\r\n" + body);
            QVERIFY(client.waitAnswers(1));
            got.append(client.statuses().constFirst());
            QCOMPARE(s.lastCode(number).isEmpty(), got.last() != 200);
        }
        QCOMPARE(got, statuses);
    }

    void codesGoThroughTheSmsCommand_data()
    {
        // The command is this script, given one argument of its own ("a b", one argument with a
        // space: no shell splits it) before the phone and the code.
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<int>("status");
        QTest::newRow("delivered")
            << QByteArray("printf '%s|%s|%s' \"$1\" \"$2\" \"$3\" > \"$0.out\"") << 200;
        QTest::newRow("command fails") << QByteArray("exit 3") << 502;
        QTest::newRow("command hangs") << QByteArray("exec sleep 30") << 502;
        QTest::newRow("command missing") << QByteArray() << 502;
    }

    void codesGoThroughTheSmsCommand()
    {
        QFETCH(QByteArray, script);
        QFETCH(int, status);
        QTemporaryDir dir;
        const QString command = dir.filePath("send sms");
        if (QFile file(command); !script.isEmpty()) {
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("#!/bin/sh\n" + script + "\n"));
            file.close();
            QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
        }
        TestServer s([&](TalvoroServer::Options &o) {
            o.smsCommand = u"\"%1\" \"a b\""_s.arg(command);
            o.smsTimeout = std::chrono::milliseconds(500);
        });
        // A code that could not be sent may be asked for again at once.
        for (int attempt = 0; attempt < (status == 200 ? 1 : 2); ++attempt)
            QCOMPARE(status == 200 ? s.sendCode(phone).status : s.sendCode(phone).errorStatus(),
                     status);
        // Never printed when a command delivers codes.
        QVERIFY(s.lastCode(phone).isEmpty());
        if (status != 200)
            return;
        QFile sent(command + ".out");
        QVERIFY(sent.open(QIODevice::ReadOnly));
        const QList<QByteArray> args = sent.readAll().split('|');
        QCOMPARE(args, (QList<QByteArray>{"a b", phone.toLatin1(), args.value(2)}));
        const ServerReply in = s.login(phone, QString::fromLatin1(args.value(2)));
        QCOMPARE(in.json().value("message").toString(), welcome);
    }

    // A data file written before schema versions were kept (its tables only, as that server made
    // them) keeps its accounts and gains what sign-in now needs.
    void fileFromBeforeSchemaVersionsIsAdopted()
    {
        if (m_postgres)
            QSKIP("about SQLite files only");
        QTemporaryDir dir;
        const QString path = dir.filePath("old.sqlite");
        {
            QSqlDatabase old = QSqlDatabase::addDatabase("QSQLITE", "old-file");
            old.setDatabaseName(path);
            QVERIFY(old.open());
            const QString schema = QStringLiteral(
                "CREATE TABLE accounts (phone TEXT PRIMARY KEY, userid TEXT NOT NULL UNIQUE,"
                " username TEXT NOT NULL, avatar TEXT NOT NULL DEFAULT '', state TEXT NOT NULL,"
                " expiry TEXT NOT NULL DEFAULT '', translate_quota INTEGER NOT NULL DEFAULT 0,"
                " balance REAL NOT NULL, created_ms INTEGER NOT NULL);"
                "CREATE TABLE ledger (id INTEGER PRIMARY KEY, phone TEXT NOT NULL REFERENCES"
                " accounts(phone), kind TEXT NOT NULL, amount REAL NOT NULL,"
                " at_ms INTEGER NOT NULL);"
                "CREATE TABLE codes (phone TEXT PRIMARY KEY, code_hash BLOB NOT NULL, issued_ms"
                " INTEGER NOT NULL, expires_ms INTEGER NOT NULL, wrong_tries INTEGER NOT NULL"
                " DEFAULT 0);"
                "PRAGMA user_version=1;"
                "INSERT INTO accounts (phone, userid, username, state, balance, created_ms)"
                " VALUES ('+8613800138000', 'u-old', 'old', '免费', 123.25, 1)");
            QSqlQuery q(old);
            for (const QString &statement : schema.split(';'))
                QVERIFY2(q.exec(statement), qPrintable(q.lastError().text()));
        }
        QSqlDatabase::removeDatabase("old-file");

        TestServer s([&](TalvoroServer::Options &o) { o.database = "sqlite:" + path; });
        const QJsonObject profile = s.signIn(phone);
        QCOMPARE(profile.value("userid").toString(), u"u-old"_s);
        QCOMPARE(profile.value("chat_quota").toDouble(), 123.0);
        QVERIFY(!profile.value("token").toString().isEmpty());
    }
};

QTEST_GUILESS_MAIN(ServerApiTest)
#include "tst_serverapi.moc"
