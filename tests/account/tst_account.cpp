// The sign-in sheet and the account card: their models against a scriptable backend, and their
// views where they add to what the end-to-end run covers.

#include "account/accountcard.h"
#include "account/phonelogin.h"
#include "appgraph.h"
#include "core/httpclient.h"
#include "fakehttpserver.h"
#include "logcapture.h"

#include <QDesktopServices>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlApplicationEngine>
#include <QSignalSpy>
#include <QtQml/QQmlExtensionPlugin>

Q_IMPORT_QML_PLUGIN(TalvoroPlugin)

using namespace Qt::StringLiterals;

using namespace std::chrono_literals;
using Behaviour = FakeHttpServer::Behaviour;
using Response = FakeHttpServer::Response;

Q_DECLARE_METATYPE(Response)

// The brand brown, as highlighted text has it on a light desktop.
static const QColor kAccent = QColor::fromRgbF(0.70f, 0.34f, 0.20f);

// A sheet as filled in, with a request left waiting ("", "code" or "login"), and what its
// buttons allow then.
struct Sheet {
    QString phone, code;
    bool agree = false;
    QString pending;
    bool canSend = false, canLogin = false;
};
Q_DECLARE_METATYPE(Sheet)

class TestAccount : public QObject {
    Q_OBJECT

    // What the sheet and card talk to, afresh for each test: a settings file of their own, an
    // HTTP client and a scriptable server standing in for the backend, installed as the
    // process-wide instances. Web pages they open are recorded instead of reaching a browser.
    QTemporaryDir m_dir;
    std::unique_ptr<SettingsStore> m_store;
    std::unique_ptr<HttpClient> m_client;
    std::unique_ptr<FakeHttpServer> m_server;
    QList<QUrl> m_opened;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow *m_window = nullptr;

    // A filled-in sheet whose countdown only moves when the test ticks it.
    std::unique_ptr<PhoneLogin> makeLogin(const QString &phone = u"13800138000"_s,
                                          const QString &code = u"123456"_s, bool agree = true)
    {
        auto login = std::make_unique<PhoneLogin>();
        login->setTickInterval(1h);
        login->setPhoneNumber(phone);
        login->setVerificationCode(code);
        login->setIsAgree(agree);
        return login;
    }
    void on(const QByteArray &path, const Response &response) { m_server->on(path, response); }
    // "…" at the end of `expected` means "starts with, and a reason follows".
    static bool matches(const QString &message, const QString &expected)
    {
        if (!expected.endsWith(u'…'))
            return message == expected;
        return message.startsWith(expected.chopped(1)) && message.size() >= expected.size();
    }

    // A JSON text written with single quotes, which moc's reading of raw strings trips over.
    static QByteArray json(const char *text) { return QByteArray(text).replace('\'', '"'); }

    static QStringList shown(const AccountCard &card)
    {
        return {card.username(),  card.phone(),          card.state(),
                card.chatQuota(), card.translateQuota(), card.expiryDate()};
    }

    // Shows `view` (a type of the module) filling a window of the given size.
    void show(const char *view, int width, int height)
    {
        m_engine = std::make_unique<QQmlApplicationEngine>();
        const QString qml =
            u"Window { property int closes: 0; visible: true; color: \"#ececec\"; "
            "width: %1; height: %2\n%3 { objectName: \"view\"; anchors.fill: parent; "
            "onCloseRequested: closes++ } }\n"_s;
        m_window =
            showWindow(*m_engine, qml.arg(width).arg(height).arg(QLatin1String(view)).toUtf8());
        QVERIFY(m_window);
    }
    QQuickItem *item(const char *name) { return findItem(m_window->contentItem(), name); }
    void click(const char *name)
    {
        QVERIFY2(item(name) && item(name)->isVisible(), name);
        clickItem(item(name));
    }
    QString text(const char *name) { return item(name)->property("text").toString(); }
    int closes() { return m_window->property("closes").toInt(); }
    void setViewVisible(bool visible) { item("view")->setVisible(visible); }

public slots:
    void openUrl(const QUrl &url) { m_opened.append(url); }

private slots:
    void initTestCase() { QDesktopServices::setUrlHandler(u"http"_s, this, "openUrl"); }
    void init()
    {
        m_store = std::make_unique<SettingsStore>(m_dir.filePath(u"s.sqlite"_s));
        SettingsStore::setInstance(m_store.get());
        m_client = std::make_unique<HttpClient>();
        m_client->setIdleTimeout(2s);
        HttpClient::setInstance(m_client.get());
        m_server = std::make_unique<FakeHttpServer>();
        ServiceOrigin::setCurrent(m_server->origin());
    }
    // Nothing is left for the next test: not the instances, not the settings file.
    void cleanup()
    {
        m_engine.reset();
        HttpClient::setInstance(nullptr);
        SettingsStore::setInstance(nullptr);
        m_server.reset();
        m_client.reset();
        m_store.reset();
        m_opened.clear();
        QFile::remove(m_dir.filePath(u"s.sqlite"_s));
    }

    void buttonsFollowTheEnablingRules_data()
    {
        QTest::addColumn<Sheet>("sheet");
        QTest::newRow("nothing typed") << Sheet{"", "", false, "", false, false};
        QTest::newRow("code and agreement, no phone") << Sheet{"", "1234", true, "", false, false};
        QTest::newRow("one character") << Sheet{"1", "", false, "", true, false};
        QTest::newRow("filled, not agreed") << Sheet{"138", "1234", false, "", true, false};
        QTest::newRow("filled and agreed") << Sheet{"138", "1234", true, "", true, true};
        QTest::newRow("agreed, no code") << Sheet{"138", "", true, "", true, false};
        QTest::newRow("code counting down") << Sheet{"138", "1234", true, "code", false, true};
        QTest::newRow("signing in") << Sheet{"138", "1234", true, "login", true, false};
    }

    void buttonsFollowTheEnablingRules()
    {
        QFETCH(Sheet, sheet);
        const auto &[phone, code, agree, pending, canSend, canLogin] = sheet;
        on("/api/send-code", Response::with(Behaviour::Stall));
        on("/api/login-register", Response::with(Behaviour::Stall));
        auto login = makeLogin(phone, code, agree);
        if (pending == u"code")
            login->sendVerificationCode();
        if (pending == u"login")
            login->loginOrRegister();

        QCOMPARE(login->canSendCode(), canSend);
        QCOMPARE(login->canLogin(), canLogin);
        QCOMPARE(login->isSendingCode(), pending == u"code");
        QCOMPARE(login->isLoggingIn(), pending == u"login");

        // A press on a disabled button starts nothing. The pending request is waited for
        // first: on a slow machine (sanitizers) it arrives later than any fixed pause.
        const qsizetype expected = pending.isEmpty() ? 0 : 1;
        QTRY_COMPARE_WITH_TIMEOUT(m_server->requests().size(), expected, 10000);
        if (!canSend)
            login->sendVerificationCode();
        if (!canLogin)
            login->loginOrRegister();
        QTest::qWait(50);
        QCOMPARE(m_server->requests().size(), expected);
    }

    // 60 shows at once; the timer then counts 59 .. 1 with the button held, shows the label
    // again at 0 with the button still held, and frees it at the next tick, back at 60.
    void countdownRunsThroughItsThreePhases()
    {
        on("/api/send-code", Response{200, "{}"});
        auto login = makeLogin(u"138 0013 8000"_s);
        login->setTickInterval(2ms);
        QStringList seen;
        connect(login.get(), &PhoneLogin::countdownChanged, this, [&] {
            seen.append(u"%1 %2 %3 %4"_s.arg(login->countdown())
                            .arg(login->sendCodeLabel())
                            .arg(login->isSendingCode())
                            .arg(login->canSendCode()));
        });
        login->sendVerificationCode();
        QCOMPARE(login->sendCodeLabel(), u"60"_s);
        QVERIFY(login->isCountdownRunning());
        QTRY_VERIFY_WITH_TIMEOUT(!login->isSendingCode(), 10000);
        QVERIFY(!login->isCountdownRunning());
        QStringList expected;
        for (int second = 59; second >= 1; --second)
            expected.append(u"%1 %1 1 0"_s.arg(second));
        expected << u"0 获取验证码 1 0"_s << u"60 获取验证码 0 1"_s;
        QCOMPARE(seen, expected);

        const auto sent = m_server->requestsTo("/api/send-code");
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent[0].body, QByteArray(R"({"phone":"+86138 0013 8000"})"));
        // The code stays announced while the next one is typed.
        QTRY_COMPARE(login->errorMessage(), u"验证码已发送到您的手机"_s);
        login->setVerificationCode(u"12"_s);
        QCOMPARE(login->errorMessage(), u"验证码已发送到您的手机"_s);
    }

    void failedSendEndsTheCountdown_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<QString>("message");
        const QString later = u"发送验证码失败，请稍后再试"_s;
        QTest::newRow("500") << Response{500, "{}"} << later;
        QTest::newRow("204 is not 200") << Response{204, "{}"} << later;
        QTest::newRow("connection reset")
            << Response::with(Behaviour::Reset) << u"发送验证码失败: …"_s;
    }

    void failedSendEndsTheCountdown()
    {
        QFETCH(Response, response);
        QFETCH(QString, message);
        on("/api/send-code", response);
        auto login = makeLogin();
        login->sendVerificationCode();
        for (int i = 0; i < 5; ++i)
            login->tickCountdown();
        QCOMPARE(login->countdown(), 55);

        QTRY_VERIFY_WITH_TIMEOUT(!login->errorMessage().isEmpty(), 10000);
        QVERIFY2(matches(login->errorMessage(), message), qPrintable(login->errorMessage()));
        QVERIFY(!login->isSendingCode() && login->canSendCode());
        QVERIFY(!login->isCountdownRunning());
        QCOMPARE(login->countdown(), 60);

        // The next press starts one fresh countdown from 60.
        on("/api/send-code", Response{200, "{}"});
        login->sendVerificationCode();
        QCOMPARE(login->sendCodeLabel(), u"60"_s);
        login->tickCountdown();
        QCOMPARE(login->countdown(), 59);
    }

    void signInAnswers_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<QString>("message");
        // Signed in: the profile, username .. sessionToken in writing order. Otherwise empty.
        QTest::addColumn<QVariantList>("stored");
        QTest::addColumn<bool>("writesLoggedOut");

        const auto refused = [](const char *tag, const Response &response, const char *message,
                                bool writesLoggedOut) {
            QTest::newRow(tag) << response << QString::fromUtf8(message) << QVariantList{}
                               << writesLoggedOut;
        };
        refused("refused", Response{200, R"({"message":"验证码错误"})"}, "验证码错误", true);
        refused("ascii '!'", Response{200, R"({"message":"登录成功!"})"}, "登录成功!", true);
        refused("no message", Response{200, "{}"}, "登录失败，请稍后再试", true);
        refused("numeric message", Response{200, R"({"message":1})"}, "登录失败，请稍后再试", true);
        refused("not JSON", Response{200, "<html>busy</html>"}, "解析用户信息失败: …", true);
        refused("no data", Response{200, ""}, "服务器无响应，请稍后再试", false);
        refused("array", Response{200, R"([{"message":"登录成功！"}])"}, "", false);
        refused("connection reset", Response::with(Behaviour::Reset), "登录失败: …", false);

        const auto signsIn = [](const char *tag, int status, const QByteArray &body,
                                const QVariantList &stored) {
            QTest::newRow(tag) << Response{status, body} << QString() << stored << false;
        };
        const QByteArray full =
            R"({"message":"登录成功！","username":"张三","userid":"u-7","avatar":"https://a/b.png",)"
            R"("phone":"+8613800138000","state":"黄金会员","chat_quota":1200,"translate_quota":30,)"
            R"("expiry":"2025-12-31","token":"t-9"})";
        const QVariantList fullStored{"张三",           "u-7",        "https://a/b.png",
                                      "+8613800138000", "黄金会员",   qint64(1200),
                                      qint64(30),       "2025-12-31", "t-9"};
        signsIn("complete", 200, full, fullStored);
        // The status is not what decides; the body is.
        signsIn("status 500, success body", 500, full, fullStored);
        signsIn("members of the wrong kind, expiry_date instead of expiry", 200,
                R"({"message":"登录成功！","userid":42,"username":"李四","chat_quota":7.5,)"
                R"("translate_quota":"30","expiry_date":"2025-12-31"})",
                {"李四", "", "", "", "", qint64(0), qint64(0), "", ""});
        signsIn("large whole quota", 200,
                R"({"message":"登录成功！","chat_quota":9007199254740993})",
                {"", "", "", "", "", qint64(9007199254740993), qint64(0), "", ""});
    }

    void signInAnswers()
    {
        QFETCH(Response, response);
        QFETCH(QString, message);
        QFETCH(QVariantList, stored);
        QFETCH(bool, writesLoggedOut);
        on("/api/login-register", response);
        on("/api/send-code", Response{200, "{}"});
        // What an earlier account left behind must all be overwritten.
        for (const char *key : {"username", "userid", "avatar", "phone", "state", "expiry_date"})
            m_store->set(QString::fromLatin1(key), u"old"_s);
        m_store->set(u"chat_quota"_s, 5);
        m_store->set(u"translate_quota"_s, 5);

        auto login = makeLogin(u"138 0013"_s, u"654321"_s);
        const bool signsIn = !stored.isEmpty();
        if (signsIn) // a countdown that signing in ends
            login->sendVerificationCode();
        QStringList writes; // the keys written, in order
        connect(m_store.get(), &SettingsStore::changed, this,
                [&](const QString &key) { writes.append(key); });
        QSignalSpy closes(login.get(), &PhoneLogin::closeRequested);
        QSignalSpy signedIn(login.get(), &PhoneLogin::signedIn);
        login->loginOrRegister();
        QVERIFY(login->isLoggingIn() && !login->canLogin());
        QTRY_VERIFY_WITH_TIMEOUT(!login->isLoggingIn(), 10000);

        // (A reset connection has the network layer post again.)
        const auto posted = m_server->requestsTo("/api/login-register");
        QVERIFY(!posted.isEmpty());
        QCOMPARE(QJsonDocument::fromJson(posted[0].body).object(),
                 (QJsonObject{{"phone", "+86138 0013"}, {"code", "654321"}}));
        QCOMPARE(closes.size(), signsIn ? 1 : 0);
        QCOMPARE(signedIn.size(), signsIn ? 1 : 0);
        if (!signsIn) {
            QVERIFY2(matches(login->errorMessage(), message), qPrintable(login->errorMessage()));
            QCOMPARE(writes, writesLoggedOut ? QStringList{u"isLoggedIn"_s} : QStringList{});
            QCOMPARE(m_store->getBool(u"isLoggedIn"_s, true), !writesLoggedOut);
            // Nothing typed is lost, so the user can try again at once.
            QCOMPARE(login->phoneNumber(), u"138 0013"_s);
            QCOMPARE(login->verificationCode(), u"654321"_s);
            QVERIFY(login->canLogin());
            return;
        }
        const QStringList keys{"username",        "userid",      "avatar",
                               "phone",           "state",       "chat_quota",
                               "translate_quota", "expiry_date", "sessionToken"};
        QCOMPARE(writes, keys + QStringList{u"isLoggedIn"_s});
        for (qsizetype i = 0; i < keys.size(); ++i) {
            if (stored[i].typeId() == QMetaType::LongLong)
                QCOMPARE(m_store->getInt(keys[i], -1), stored[i].toLongLong());
            else
                QCOMPARE(m_store->getString(keys[i]).value_or(u"<absent>"_s), stored[i].toString());
        }
        QVERIFY(m_store->getBool(u"isLoggedIn"_s, false));
        QVERIFY(!login->isCountdownRunning());
    }

    // Answers that arrive after the sheet went away: a sent code is not announced, a refusal
    // is not shown, a sign-in still counts. Hiding stops the countdown; the sheet presented
    // again starts afresh and keeps its own state.
    void lateAnswers_data()
    {
        QTest::addColumn<QString>("hiding"); // close, dismiss (by the host) or reset (reopened)
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("signsIn");
        const auto row = [](const char *tag, const char *hiding, const char *path, const char *body,
                            bool signsIn) {
            QTest::newRow(tag) << QString::fromLatin1(hiding) << "/api/" + QByteArray(path)
                               << json(body) << signsIn;
        };
        row("code, close button", "close", "send-code", "{}", false);
        row("code, dismissed by the host", "dismiss", "send-code", "{}", false);
        row("success after reopening", "reset", "login-register", "{'message':'登录成功！'}", true);
        row("refusal, reopened", "reset", "login-register", "{'message':'验证码错误'}", false);
    }

    void lateAnswers()
    {
        QFETCH(QString, hiding);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, body);
        QFETCH(bool, signsIn);
        Response response(200, body);
        response.delayMs = 300;
        on(path, response);
        auto login = makeLogin();
        QSignalSpy closes(login.get(), &PhoneLogin::closeRequested);
        if (path == "/api/send-code") {
            login->sendVerificationCode();
            login->tickCountdown();
        } else {
            login->loginOrRegister();
        }
        if (hiding == u"close") {
            login->close();
        } else if (hiding == u"dismiss") {
            login->dismiss();
        } else {
            login->reset();
            QCOMPARE(login->verificationCode(), QString());
            QVERIFY(!login->isAgree());
            QCOMPARE(login->selectedCountryCode(), u"+86"_s);
            login->setPhoneNumber(u"139"_s);
        }
        QVERIFY(!login->isCountdownRunning() && !login->isSendingCode());
        QCOMPARE(login->countdown(), 60);

        QTRY_COMPARE_WITH_TIMEOUT(m_server->requests().size(), 1, 10000);
        QTest::qWait(600);
        QCOMPARE(m_store->getBool(u"isLoggedIn"_s, false), signsIn);
        QCOMPARE(closes.size(), (hiding == u"close" ? 1 : 0) + (signsIn ? 1 : 0));
        QCOMPARE(login->errorMessage(), QString());
        QVERIFY(!login->isSendingCode() && !login->isLoggingIn());
        if (hiding == u"reset")
            QCOMPARE(login->phoneNumber(), u"139"_s);
    }

    void unusableOriginStartsNothing()
    {
        ServiceOrigin::setCurrent(u"http://exa mple"_s);
        auto login = makeLogin();
        login->sendVerificationCode();
        login->loginOrRegister();
        login->openTermsPage();
        QVERIFY(!login->isSendingCode() && !login->isLoggingIn());
        QVERIFY(!login->isCountdownRunning());
        QVERIFY(m_opened.isEmpty());
    }

    // The Authorization header of a GET and a POST to the service and of a GET to another host.
    QByteArrayList authorizationsSent(FakeHttpServer &elsewhere)
    {
        m_server->clearRequests();
        elsewhere.clearRequests();
        int done = 0;
        const QUrl service(m_server->origin() + u"/api/check_quota"_s);
        m_client->get(service, this, [&](const HttpResult &) { ++done; });
        m_client->postJson(service, QJsonObject{}, this, [&](const HttpResult &) { ++done; });
        m_client->get(
            elsewhere.url(u"/p.png"_s), this, [&](const HttpResult &) { ++done; },
            HttpClient::Redirects::NoLessSafe);
        if (!QTest::qWaitFor([&] { return done == 3; }, 10000))
            return {"no answer"};
        const auto sent = m_server->requestsTo("/api/check_quota");
        return {sent.value(0).headers.value("authorization"),
                sent.value(1).headers.value("authorization"),
                elsewhere.requests().value(0).headers.value("authorization")};
    }

    void serviceCallsCarryTheTokenUntilSignOut()
    {
        on("/api/login-register", Response{200, R"({"message":"登录成功！","token":"t-9"})"});
        on("/api/check_quota", Response{200, "{}"});
        FakeHttpServer elsewhere;
        elsewhere.on("/p.png", Response{200, "x"});
        const QByteArrayList none{"", "", ""};
        QCOMPARE(authorizationsSent(elsewhere), none);

        auto login = makeLogin();
        login->loginOrRegister();
        QTRY_VERIFY_WITH_TIMEOUT(m_store->getBool(u"isLoggedIn"_s, false), 10000);
        QCOMPARE(authorizationsSent(elsewhere), (QByteArrayList{"Bearer t-9", "Bearer t-9", ""}));
        // Signing out drops the token and the flag; the profile stays for the next sign-in.
        m_store->set(u"userid"_s, u"u-1"_s);
        on("/api/logout", Response{204});
        AccountCard card;
        card.signOut();
        // The server is asked to revoke the token, which it is sent one last time.
        QTRY_COMPARE_WITH_TIMEOUT(int(m_server->requestsTo("/api/logout").size()), 1, 10000);
        QCOMPARE(m_server->requestsTo("/api/logout").value(0).headers.value("authorization"),
                 QByteArray("Bearer t-9"));
        QVERIFY(!m_store->getBool(u"isLoggedIn"_s, true));
        QCOMPARE(m_store->getString(u"sessionToken"_s), std::nullopt);
        QCOMPARE(m_store->getString(u"userid"_s), u"u-1"_s);
        QCOMPARE(authorizationsSent(elsewhere), none);
    }

    // What the card shows of an answer, what it highlights, and the two lines it logs.
    void answerShown_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("shown"); // username|phone|state|chat|translate|expiry
        QTest::addColumn<QString>("quota"); // as logged
        // f: free account, c/t/e: chat quota, translate quota, expiry highlighted, a: avatar
        QTest::addColumn<QString>("flags");
        const auto row = [](const char *tag, const char *reply, const char *shown,
                            const char *quota, const char *flags) {
            QTest::newRow(tag) << json(reply) << QString::fromUtf8(shown)
                               << QString::fromUtf8(quota) << QString::fromLatin1(flags);
        };
        const char *unknown = "未知用户|未知号码|未知状态|0.00|0|未知";
        row("complete member",
            "{'username':'张三','phone':'+8613800138000','state':'黄金会员','chat_quota':3.5,"
            "'translate_quota':7,'expiry_date':'2025-12-31','avatar':'https://cdn.example/a.png'}",
            "张三|+8613800138000|黄金会员|3.50|7|2025-12-31", "3.50", "ctea");
        // No state is not the free state.
        row("nothing but an avatar that is no address", "{'avatar':'not an address'}", unknown,
            "0.00 (Default Value)", "e");
        row("members of the wrong type",
            "{'username':5,'phone':null,'state':true,'chat_quota':'5','translate_quota':'7',"
            "'expiry_date':20251231,'avatar':3}",
            unknown, "0.00 (Default Value)", "e");
        row("whole chat quota", "{'chat_quota':12,'translate_quota':0}",
            "未知用户|未知号码|未知状态|12.00|0|未知", "12.00", "ce");
        row("free, credit that rounds to zero, fractional days",
            "{'state':'免费','chat_quota':0.004,'translate_quota':7.5,'expiry_date':'x'}",
            "未知用户|未知号码|免费|0.00|0|x", "0.00", "fe");
        row("negative balance, rounding, a state that is nearly free",
            "{'state':'免费 ','chat_quota':-0.005,'translate_quota':-3,'expiry_date':''}",
            "未知用户|未知号码|免费 |-0.01|-3|", "-0.01", "ct");
    }

    void answerShown()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QString, shown);
        QFETCH(QString, quota);
        QFETCH(QString, flags);

        LogCapture log;
        AccountCard card;
        card.handleReply({QNetworkReply::NoError, {}, 200, reply});

        QCOMPARE(TestAccount::shown(card), shown.split(u'|'));
        QCOMPARE(card.errorMessage(), QString());
        const QByteArray compact = QJsonDocument::fromJson(reply).toJson(QJsonDocument::Compact);
        QCOMPARE(log.all(), (QStringList{"Received JSON: " + QString::fromUtf8(compact),
                                         "Chat Quota: " + quota}));
        const bool free = flags.contains(u'f');
        QCOMPARE(card.isFree(), free);
        QCOMPARE(card.showsExpiry(), !free);
        QCOMPARE(card.stateHighlighted(), !free);
        QCOMPARE(card.chatQuotaHighlighted(), flags.contains(u'c'));
        QCOMPARE(card.translateQuotaHighlighted(), flags.contains(u't'));
        QCOMPARE(card.expiryHighlighted(), flags.contains(u'e'));
        QCOMPARE(!card.avatarAddress().isEmpty(), flags.contains(u'a'));
        QCOMPARE(card.membershipButtonText(), free ? u"开通会员"_s : u"续费会员"_s);
    }

    void failedFetchKeepsThePlaceholders_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<QString>("message");
        const QString fetch = u"获取信息失败，请稍后再试。"_s;
        QTest::newRow("connection reset") << Response::with(Behaviour::Reset) << fetch;
        QTest::newRow("no data") << Response{200, ""} << fetch;
        QTest::newRow("not JSON") << Response{200, "<html>"} << u"解析信息失败，请稍后再试。"_s;
        QTest::newRow("array") << Response{200, json("[{'state':'x'}]")} << QString();
    }

    void failedFetchKeepsThePlaceholders()
    {
        QFETCH(Response, response);
        QFETCH(QString, message);
        m_server->on("/api/macos_account_info", response);
        LogCapture log;
        AccountCard card;
        card.refresh();
        if (message.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(m_server->requests().size(), 1, 10000);
            QTest::qWait(300);
        }
        QTRY_COMPARE_WITH_TIMEOUT(card.errorMessage(), message, 10000);
        QCOMPARE(card.username(), u"加载中..."_s);
        QCOMPARE(card.state(), u"免费"_s);
        QCOMPARE(log.all(), QStringList());
    }

    // Each showing starts from the placeholders, whatever the last answer was, and only the
    // latest showing's answer counts: the slow one before it would overwrite it if applied.
    void eachShowingStartsAfresh()
    {
        int served = 0;
        m_server->on("/api/macos_account_info", [&served](const FakeHttpServer::Request &) {
            // The first answer fills every field the placeholders must then replace.
            static const QByteArray full = "{'username':'u','phone':'p','state':'x',"
                                           "'chat_quota':3,'translate_quota':7,'expiry_date':'d'}";
            const char *bodies[] = {full.constData(), "{'username':'old'}", "{'username':'new'}"};
            Response r(200, json(bodies[std::min(served++, 2)]));
            r.delayMs = served == 2 ? 400 : 0;
            return r;
        });
        LogCapture log;
        AccountCard card;
        card.refresh();
        QTRY_COMPARE_WITH_TIMEOUT(card.state(), u"x"_s, 10000);
        card.refresh();
        QCOMPARE(shown(card),
                 (QStringList{"加载中...", "加载中...", "免费", "0.00", "0", "加载中..."}));
        QVERIFY(card.isFree() && !card.showsExpiry());
        QCOMPARE(card.membershipButtonText(), u"开通会员"_s);
        QTRY_COMPARE_WITH_TIMEOUT(served, 2, 10000);
        card.refresh();
        QTRY_COMPARE_WITH_TIMEOUT(card.username(), u"new"_s, 10000);
        QTest::qWait(700);
        QCOMPARE(card.username(), u"new"_s);
        QCOMPARE(log.count(u"Received JSON: "_s), 2);
    }

    void requestCarriesTheStoredUserid_data()
    {
        QTest::addColumn<QVariant>("userid"); // absent when invalid
        QTest::addColumn<QByteArray>("query");
        QTest::newRow("ordinary") << QVariant(u"u-42"_s) << QByteArray("userid=u-42");
        QTest::newRow("absent") << QVariant() << QByteArray("userid=");
        // Characters with a meaning in a query cannot smuggle in another parameter.
        QTest::newRow("query characters")
            << QVariant(u"7&admin=1 #"_s) << QByteArray("userid=7%26admin%3D1%20%23");
    }

    void requestCarriesTheStoredUserid()
    {
        QFETCH(QVariant, userid);
        QFETCH(QByteArray, query);
        if (userid.isValid())
            m_store->set(u"userid"_s, userid.toString());
        m_server->on("/api/macos_account_info", Response{200, "{}"});
        AccountCard card;
        card.refresh();
        QTRY_COMPARE_WITH_TIMEOUT(m_server->requests().size(), 1, 10000);
        const auto request = m_server->requests().first();
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.query.toString(QUrl::FullyEncoded).toLatin1(), query);

        card.openFollowPage();
        // A service that makes no one-time link is given the user id.
        card.openMembershipPage();
        const QString origin = m_server->origin();
        QTRY_COMPARE_WITH_TIMEOUT(m_opened.size(), 2, 10000);
        QCOMPARE(m_opened,
                 (QList<QUrl>{QUrl(origin + u"/guanzhu"_s),
                              QUrl(origin + u"/pricing?"_s + QString::fromLatin1(query))}));
    }

    // The membership page opens by the one-time link the service makes for the token; an address
    // of anything but the pricing page is not opened.
    void membershipPageOpensByOneTimeLink_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("opened"); // after the origin
        QTest::newRow("link") << QByteArray(R"({"path":"/pricing?link=abc"})")
                              << u"/pricing?link=abc"_s;
        QTest::newRow("another page")
            << QByteArray(R"({"path":"/contact"})") << u"/pricing?userid=u-1"_s;
    }

    void membershipPageOpensByOneTimeLink()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, opened);
        m_store->set(u"userid"_s, u"u-1"_s);
        m_store->set(u"sessionToken"_s, u"t-1"_s);
        on("/api/pricing-link", Response{200, answer});
        AccountCard card;
        card.openMembershipPage();
        QTRY_COMPARE_WITH_TIMEOUT(m_opened.size(), 1, 10000);
        QCOMPARE(m_opened.first(), QUrl(m_server->origin() + opened));
        QCOMPARE(m_server->requestsTo("/api/pricing-link").value(0).headers.value("authorization"),
                 QByteArray("Bearer t-1"));
    }

    // The sheet's own part of signing in (typing, agreeing and signing in run end to end): the
    // status line, the countdown on its button, the terms page, and a fresh start when shown
    // again.
    void signInSheet()
    {
        m_server->on("/api/send-code", Response{200, "{}"});
        show("PhoneLoginView", 500, 400);
        auto *login = item("view")->property("login").value<PhoneLogin *>();
        QVERIFY(login);
        QVERIFY(!item("sendCodeButton")->isEnabled() && !item("loginButton")->isEnabled());
        QVERIFY(!item("errorMessage")->isVisible());

        login->setPhoneNumber(u"13800138000"_s);
        click("sendCodeButton");
        QTRY_VERIFY_WITH_TIMEOUT(item("errorMessage")->isVisible(), 10000);
        QCOMPARE(text("errorMessage"), u"验证码已发送到您的手机"_s);
        QCOMPARE(text("sendCodeButton"), u"60"_s);
        QVERIFY(!item("sendCodeButton")->isEnabled());
        click("termsButton");
        QCOMPARE(m_opened, QList<QUrl>{QUrl(m_server->origin() + u"/yinsi"_s)});

        // Hiding the sheet stops its countdown; shown again, it starts afresh.
        setViewVisible(false);
        QVERIFY(!login->isCountdownRunning());
        setViewVisible(true);
        QCOMPARE(text("phoneField"), QString());
        QVERIFY(!item("errorMessage")->isVisible());
        QCOMPARE(text("sendCodeButton"), u"获取验证码"_s);
        click("closeButton");
        QCOMPARE(closes(), 1);
    }

    // The card's own part (the balance, the phone and signing out run end to end): what shows
    // and is highlighted for a member and for a free account, the error line, the avatar's
    // progress indicator, the pages its buttons open, and a fresh request at each showing.
    void accountCard_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("reply"); // ORIGIN stands for the service's origin
        QTest::addColumn<QString>("error");

        const QByteArray member = json(
            "{'username':'张三','phone':'+8613800138000','state':'黄金会员','chat_quota':1234.5,"
            "'translate_quota':30,'expiry_date':'2025-12-31','avatar':'ORIGIN/avatar.png'}");
        QTest::newRow("member") << 200 << member << QString();
        QTest::newRow("unreadable answer")
            << 502 << QByteArray("<html>Bad Gateway</html>") << "解析信息失败，请稍后再试。";
        // The address is fine but nothing is there: the progress indicator stays in the circle.
        QTest::newRow("free, avatar that cannot load")
            << 200 << json("{'username':'王五','state':'免费','avatar':'ORIGIN/none.png'}")
            << QString();
    }

    void accountCard()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, reply);
        QFETCH(QString, error);

        m_store->set(u"isLoggedIn"_s, true);
        m_store->set(u"userid"_s, u"u-1"_s);
        const QString origin = m_server->origin();
        // One blue pixel.
        Response image(200,
                       QByteArray::fromBase64("iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAIAAACQd1PeAAAA"
                                              "DElEQVR4nGOwbjoCAAJ9AYKhdAQjAAAAAElFTkSuQmCC"));
        image.contentType = "image/png";
        m_server->on("/avatar.png", image);
        m_server->on("/api/macos_account_info",
                     Response{status, reply.replace("ORIGIN", origin.toUtf8())});
        show("MyCardView", 380, 460);
        auto *card = item("view")->property("card").value<AccountCard *>();
        QVERIFY(card);
        QTRY_VERIFY_WITH_TIMEOUT(
            card->username() != u"加载中..."_s || !card->errorMessage().isEmpty(), 10000);
        m_window->resize(380, int(item("view")->implicitHeight()));

        const bool member = reply.contains("黄金会员"), missing = reply.contains("none.png");
        QCOMPARE(item("expiryRow")->isVisible(), member);
        QCOMPARE(text("membershipButton"), member ? u"续费会员"_s : u"开通会员"_s);
        QCOMPARE(item("errorMessage")->isVisible(), !error.isEmpty());
        QCOMPARE(text("errorMessage"), error);
        for (const char *row : {"stateRow", "chatQuotaRow", "translateQuotaRow"})
            QCOMPARE(item(row)->property("labelColor").value<QColor>() == kAccent, member);
        if (missing)
            QTRY_COMPARE_WITH_TIMEOUT(m_server->requestsTo("/none.png").size(), 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(item("avatarProgress")->isVisible(), missing, 10000);
        if (!member)
            return;

        QCOMPARE(item("stateRow")->property("value").toString(), u"黄金会员版"_s);
        QCOMPARE(item("translateQuotaRow")->property("value").toString(), u"30天"_s);
        QCOMPARE(item("expiryRow")->property("labelColor").value<QColor>(), kAccent);
        // Only the button under the pointer is highlighted.
        QTest::mouseMove(m_window, item("feedbackButton")->mapToScene({10, 10}).toPoint());
        QTRY_VERIFY(item("feedbackButton")->property("hovered").toBool());
        QVERIFY(!item("membershipButton")->property("hovered").toBool());

        click("feedbackButton");
        click("membershipButton");
        QTRY_COMPARE_WITH_TIMEOUT(m_opened.size(), 2, 10000);
        QCOMPARE(m_opened, (QList<QUrl>{QUrl(origin + u"/contact"_s),
                                        QUrl(origin + u"/pricing?userid=u-1"_s)}));
        // Each showing asks afresh.
        setViewVisible(false);
        setViewVisible(true);
        QCOMPARE(text("username"), u"加载中..."_s);
        QTRY_COMPARE_WITH_TIMEOUT(m_server->requestsTo("/api/macos_account_info").size(), 2, 10000);
        click("closeButton");
        QCOMPARE(closes(), 1);
    }
};

QTEST_MAIN(TestAccount)
#include "tst_account.moc"
