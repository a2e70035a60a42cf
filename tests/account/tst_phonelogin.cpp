#include "account/accountcard.h"
#include "account/phonelogin.h"
#include "accountservices.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;
using Behaviour = FakeHttpServer::Behaviour;
using Response = FakeHttpServer::Response;

Q_DECLARE_METATYPE(Response)

class TestPhoneLogin : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    AccountServices m_services;

    // A filled-in sheet whose countdown only moves when the test ticks it.
    std::unique_ptr<PhoneLogin> makeLogin(const QString &phone = QStringLiteral("13800138000"),
                                          const QString &code = QStringLiteral("123456"),
                                          bool agree = true)
    {
        auto login = std::make_unique<PhoneLogin>();
        login->setTickInterval(1h);
        login->setPhoneNumber(phone);
        login->setVerificationCode(code);
        login->setIsAgree(agree);
        return login;
    }
    void on(const QByteArray &path, const Response &response)
    {
        m_services.server->on(path, response);
    }
    static QStringList changedKeys(const QSignalSpy &spy)
    {
        QStringList keys;
        for (const auto &args : spy)
            keys.append(args.at(0).toString());
        return keys;
    }
    // "…" at the end of `expected` means "starts with, and a reason follows".
    static bool matches(const QString &message, const QString &expected)
    {
        if (!expected.endsWith(u'…'))
            return message == expected;
        return message.startsWith(expected.chopped(1)) && message.size() >= expected.size();
    }

private slots:
    void init() { m_services.start(m_dir.filePath(QStringLiteral("s.sqlite")), 2s); }
    void cleanup() { m_services.stop(); }

    void buttonsFollowTheEnablingRules_data()
    {
        QTest::addColumn<QString>("phone");
        QTest::addColumn<QString>("code");
        QTest::addColumn<bool>("agree");
        QTest::addColumn<QString>("pending"); // "", "code" or "login": a request left waiting
        QTest::addColumn<bool>("canSend");
        QTest::addColumn<bool>("canLogin");
        const auto row = [](const char *tag, const char *phone, const char *code, bool agree,
                            const char *pending, bool canSend, bool canLogin) {
            QTest::newRow(tag) << QString::fromLatin1(phone) << QString::fromLatin1(code) << agree
                               << QString::fromLatin1(pending) << canSend << canLogin;
        };
        row("nothing typed", "", "", false, "", false, false);
        row("code and agreement, no phone", "", "1234", true, "", false, false);
        row("one character", "1", "", false, "", true, false);
        row("filled, not agreed", "138", "1234", false, "", true, false);
        row("filled and agreed", "138", "1234", true, "", true, true);
        row("agreed, no code", "138", "", true, "", true, false);
        row("code counting down", "138", "1234", true, "code", false, true);
        row("signing in", "138", "1234", true, "login", true, false);
    }

    void buttonsFollowTheEnablingRules()
    {
        QFETCH(QString, phone);
        QFETCH(QString, code);
        QFETCH(bool, agree);
        QFETCH(QString, pending);
        QFETCH(bool, canSend);
        QFETCH(bool, canLogin);

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
        QTRY_COMPARE_WITH_TIMEOUT(m_services.server->requests().size(), expected, 10000);
        if (!canSend)
            login->sendVerificationCode();
        if (!canLogin)
            login->loginOrRegister();
        QTest::qWait(50);
        QCOMPARE(m_services.server->requests().size(), expected);
    }

    // 60 shows at once; the timer then counts 59 .. 1 with the button held, shows the label
    // again at 0 with the button still held, and frees it at the next tick, back at 60.
    void countdownRunsThroughItsThreePhases()
    {
        on("/api/send-code", Response{200, "{}"});
        auto login = makeLogin(QStringLiteral("138 0013 8000"));
        login->setTickInterval(2ms);
        QStringList seen;
        connect(login.get(), &PhoneLogin::countdownChanged, this, [&] {
            seen.append(QStringLiteral("%1 %2 %3 %4")
                            .arg(login->countdown())
                            .arg(login->sendCodeLabel())
                            .arg(login->isSendingCode())
                            .arg(login->canSendCode()));
        });
        login->sendVerificationCode();
        QCOMPARE(login->sendCodeLabel(), QStringLiteral("60"));
        QVERIFY(login->isCountdownRunning());
        QTRY_VERIFY_WITH_TIMEOUT(!login->isSendingCode(), 10000);
        QVERIFY(!login->isCountdownRunning());
        QStringList expected;
        for (int second = 59; second >= 1; --second)
            expected.append(QStringLiteral("%1 %1 1 0").arg(second));
        expected << QStringLiteral("0 获取验证码 1 0") << QStringLiteral("60 获取验证码 0 1");
        QCOMPARE(seen, expected);

        const auto sent = m_services.server->requestsTo("/api/send-code");
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent[0].body, QByteArray(R"({"phone":"+86138 0013 8000"})"));
        QCOMPARE(sent[0].headers.value("content-type"), QByteArray("application/json"));
        // The code stays announced while the next one is typed.
        QTRY_COMPARE(login->errorMessage(), QStringLiteral("验证码已发送到您的手机"));
        login->setVerificationCode(QStringLiteral("12"));
        QCOMPARE(login->errorMessage(), QStringLiteral("验证码已发送到您的手机"));
    }

    void failedSendEndsTheCountdown_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<QString>("message");
        const QString later = QStringLiteral("发送验证码失败，请稍后再试");
        QTest::newRow("500") << Response{500, "{}"} << later;
        QTest::newRow("204 is not 200") << Response{204, "{}"} << later;
        QTest::newRow("connection reset")
            << Response::with(Behaviour::Reset) << QStringLiteral("发送验证码失败: …");
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
        QCOMPARE(login->sendCodeLabel(), QStringLiteral("60"));
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
        refused("ascii exclamation mark", Response{200, R"({"message":"登录成功!"})"}, "登录成功!",
                true);
        refused("no message", Response{200, "{}"}, "登录失败，请稍后再试", true);
        refused("message not a string", Response{200, R"({"message":1})"}, "登录失败，请稍后再试",
                true);
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
            m_services.store->set(QString::fromLatin1(key), QStringLiteral("old"));
        m_services.store->set(QStringLiteral("chat_quota"), 5);
        m_services.store->set(QStringLiteral("translate_quota"), 5);

        auto login = makeLogin(QStringLiteral("138 0013"), QStringLiteral("654321"));
        const bool signsIn = !stored.isEmpty();
        if (signsIn) // a countdown that signing in ends
            login->sendVerificationCode();
        QSignalSpy writes(m_services.store.get(), &SettingsStore::changed);
        QSignalSpy closes(login.get(), &PhoneLogin::closeRequested);
        QSignalSpy signedIn(login.get(), &PhoneLogin::signedIn);
        login->loginOrRegister();
        QVERIFY(login->isLoggingIn() && !login->canLogin());
        QTRY_VERIFY_WITH_TIMEOUT(!login->isLoggingIn(), 10000);

        // (A reset connection has the network layer post again.)
        const auto posted = m_services.server->requestsTo("/api/login-register");
        QVERIFY(!posted.isEmpty());
        QCOMPARE(QJsonDocument::fromJson(posted[0].body).object(),
                 (QJsonObject{{"phone", "+86138 0013"}, {"code", "654321"}}));
        QVERIFY(!posted[0].body.contains('\n'));
        QCOMPARE(closes.size(), signsIn ? 1 : 0);
        QCOMPARE(signedIn.size(), signsIn ? 1 : 0);
        if (!signsIn) {
            QVERIFY2(matches(login->errorMessage(), message), qPrintable(login->errorMessage()));
            QCOMPARE(changedKeys(writes),
                     writesLoggedOut ? QStringList{QStringLiteral("isLoggedIn")} : QStringList{});
            QCOMPARE(m_services.store->getBool(QStringLiteral("isLoggedIn"), true),
                     !writesLoggedOut);
            // Nothing typed is lost, so the user can try again at once.
            QCOMPARE(login->phoneNumber(), QStringLiteral("138 0013"));
            QCOMPARE(login->verificationCode(), QStringLiteral("654321"));
            QVERIFY(login->canLogin());
            return;
        }
        const QStringList keys{"username",        "userid",      "avatar",
                               "phone",           "state",       "chat_quota",
                               "translate_quota", "expiry_date", "sessionToken"};
        QCOMPARE(changedKeys(writes), keys + QStringList{QStringLiteral("isLoggedIn")});
        for (qsizetype i = 0; i < keys.size(); ++i) {
            if (stored[i].typeId() == QMetaType::LongLong)
                QCOMPARE(m_services.store->getInt(keys[i], -1), stored[i].toLongLong());
            else
                QCOMPARE(m_services.store->getString(keys[i]).value_or(QStringLiteral("<absent>")),
                         stored[i].toString());
        }
        QVERIFY(m_services.store->getBool(QStringLiteral("isLoggedIn"), false));
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
        const QByteArray code = "/api/send-code", login = "/api/login-register";
        QTest::newRow("code, close button") << "close" << code << QByteArray("{}") << false;
        QTest::newRow("code, dismissed by the host")
            << "dismiss" << code << QByteArray("{}") << false;
        QTest::newRow("success after reopening")
            << "reset" << login << QByteArray(R"({"message":"登录成功！"})") << true;
        QTest::newRow("refusal after reopening")
            << "reset" << login << QByteArray(R"({"message":"验证码错误"})") << false;
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
            QCOMPARE(login->selectedCountryCode(), QStringLiteral("+86"));
            login->setPhoneNumber(QStringLiteral("139"));
        }
        QVERIFY(!login->isCountdownRunning() && !login->isSendingCode());
        QCOMPARE(login->countdown(), 60);

        QTRY_COMPARE_WITH_TIMEOUT(m_services.server->requests().size(), 1, 10000);
        QTest::qWait(600);
        QCOMPARE(m_services.store->getBool(QStringLiteral("isLoggedIn"), false), signsIn);
        QCOMPARE(closes.size(), (hiding == u"close" ? 1 : 0) + (signsIn ? 1 : 0));
        QCOMPARE(login->errorMessage(), QString());
        QVERIFY(!login->isSendingCode() && !login->isLoggingIn());
        if (hiding == u"reset")
            QCOMPARE(login->phoneNumber(), QStringLiteral("139"));
    }

    void unusableOriginStartsNothing()
    {
        ServiceOrigin::setCurrent(QStringLiteral("http://exa mple"));
        auto login = makeLogin();
        login->sendVerificationCode();
        login->loginOrRegister();
        login->openTermsPage();
        QVERIFY(!login->isSendingCode() && !login->isLoggingIn());
        QVERIFY(!login->isCountdownRunning());
        QVERIFY(m_services.opened.isEmpty());
    }

    // The Authorization header of a GET and a POST to the service and of a GET to another host.
    QByteArrayList authorizationsSent(FakeHttpServer &elsewhere)
    {
        m_services.server->clearRequests();
        elsewhere.clearRequests();
        int done = 0;
        auto count = [&](const HttpResult &) {
            ++done;
        };
        const QUrl service(m_services.server->origin() + QStringLiteral("/api/check_quota"));
        m_services.client->get(service, this, count);
        m_services.client->postJson(service, QJsonObject{}, this, count);
        m_services.client->get(elsewhere.url(QStringLiteral("/p.png")), this, count,
                               HttpClient::Redirects::NoLessSafe);
        if (!QTest::qWaitFor([&] { return done == 3; }, 10000))
            return {"no answer"};
        const auto sent = m_services.server->requestsTo("/api/check_quota");
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
        QTRY_VERIFY_WITH_TIMEOUT(m_services.store->getBool(QStringLiteral("isLoggedIn"), false),
                                 10000);
        QCOMPARE(authorizationsSent(elsewhere), (QByteArrayList{"Bearer t-9", "Bearer t-9", ""}));
        AccountCard card;
        card.signOut();
        QCOMPARE(authorizationsSent(elsewhere), none);
    }
};

QTEST_MAIN(TestPhoneLogin)
#include "tst_phonelogin.moc"
