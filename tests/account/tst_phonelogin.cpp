#include "account/accountcard.h"
#include "account/phonelogin.h"
#include "accountservices.h"
#include "core/httpclient.h"
#include "core/serviceorigin.h"
#include "core/settingsstore.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace std::chrono_literals;
using Behaviour = FakeHttpServer::Behaviour;

class TestPhoneLogin : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    AccountServices m_services;

    // A sheet whose countdown only moves when the test ticks it.
    std::unique_ptr<PhoneLogin> makeLogin(const QString &phone = QStringLiteral("13800138000"))
    {
        auto login = std::make_unique<PhoneLogin>();
        login->setTickInterval(1h);
        login->setPhoneNumber(phone);
        return login;
    }

    QStringList changedKeys(const QSignalSpy &spy) const
    {
        QStringList keys;
        for (const auto &args : spy)
            keys.append(args.at(0).toString());
        return keys;
    }

    void waitForAnswer(PhoneLogin &login)
    {
        QTRY_VERIFY_WITH_TIMEOUT(!login.errorMessage().isEmpty(), 10000);
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

        QTest::newRow("nothing typed") << ""
                                       << "" << false << "" << false << false;
        QTest::newRow("code and agreement, no phone") << ""
                                                      << "1234" << true << "" << false << false;
        QTest::newRow("one character") << "1"
                                       << "" << false << "" << true << false;
        QTest::newRow("filled, not agreed") << "138"
                                            << "1234" << false << "" << true << false;
        QTest::newRow("filled and agreed") << "138"
                                           << "1234" << true << "" << true << true;
        QTest::newRow("agreed, no code") << "138"
                                         << "" << true << "" << true << false;
        QTest::newRow("code counting down") << "138"
                                            << "1234" << true << "code" << false << true;
        QTest::newRow("signing in") << "138"
                                    << "1234" << true << "login" << true << false;
    }

    void buttonsFollowTheEnablingRules()
    {
        QFETCH(QString, phone);
        QFETCH(QString, code);
        QFETCH(bool, agree);
        QFETCH(QString, pending);
        QFETCH(bool, canSend);
        QFETCH(bool, canLogin);

        m_services.server->on("/api/send-code", FakeHttpServer::Response::with(Behaviour::Stall));
        m_services.server->on("/api/login-register",
                              FakeHttpServer::Response::with(Behaviour::Stall));
        auto login = makeLogin(phone);
        login->setVerificationCode(code);
        login->setIsAgree(agree);
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
        QTRY_COMPARE_WITH_TIMEOUT(m_services.server->requests().size(), pending.isEmpty() ? 0 : 1,
                                  10000);
        if (!canSend)
            login->sendVerificationCode();
        if (!canLogin)
            login->loginOrRegister();
        QTest::qWait(50);
        QCOMPARE(m_services.server->requests().size(), pending.isEmpty() ? 0 : 1);
    }

    void countdownRunsThroughItsThreePhases()
    {
        m_services.server->on("/api/send-code", FakeHttpServer::Response{200, "{}"});
        auto login = makeLogin(QStringLiteral("138 0013 8000"));
        login->sendVerificationCode();

        QCOMPARE(login->sendCodeLabel(), QStringLiteral("60"));
        QVERIFY(login->isCountdownRunning());
        waitForAnswer(*login);
        QCOMPARE(login->errorMessage(), QStringLiteral("验证码已发送到您的手机"));

        const auto sent = m_services.server->requestsTo("/api/send-code");
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent[0].body, QByteArray(R"({"phone":"+86138 0013 8000"})"));
        QCOMPARE(sent[0].headers.value("content-type"), QByteArray("application/json"));

        for (int expected = 59; expected >= 1; --expected) {
            login->tickCountdown();
            QCOMPARE(login->sendCodeLabel(), QString::number(expected));
            QVERIFY(!login->canSendCode());
        }
        // The last second: the label is back, the button still waits.
        login->tickCountdown();
        QCOMPARE(login->countdown(), 0);
        QCOMPARE(login->sendCodeLabel(), QStringLiteral("获取验证码"));
        QVERIFY(login->isSendingCode());
        QVERIFY(!login->canSendCode());

        login->tickCountdown();
        QVERIFY(!login->isSendingCode());
        QVERIFY(login->canSendCode());
        QCOMPARE(login->countdown(), 60);
        QVERIFY(!login->isCountdownRunning());
        // The code stays announced while the next one is typed.
        login->setVerificationCode(QStringLiteral("12"));
        QCOMPARE(login->errorMessage(), QStringLiteral("验证码已发送到您的手机"));
    }

    void countdownTimerEndsByItself()
    {
        m_services.server->on("/api/send-code", FakeHttpServer::Response{200, "{}"});
        auto login = makeLogin();
        login->setTickInterval(2ms);
        QSignalSpy ticks(login.get(), &PhoneLogin::countdownChanged);
        login->sendVerificationCode();
        QTRY_VERIFY_WITH_TIMEOUT(!login->isSendingCode(), 10000);
        QVERIFY(!login->isCountdownRunning());
        QCOMPARE(login->countdown(), 60);
        // 59 .. 0, then back to 60: one timer, every number once.
        QCOMPARE(ticks.size(), 61);
    }

    void failedSendEndsTheCountdown_data()
    {
        QTest::addColumn<int>("behaviour");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");

        const QString later = QStringLiteral("发送验证码失败，请稍后再试");
        QTest::newRow("500") << int(Behaviour::Answer) << 500 << later;
        QTest::newRow("404") << int(Behaviour::Answer) << 404 << later;
        QTest::newRow("204 is not 200") << int(Behaviour::Answer) << 204 << later;
        QTest::newRow("connection reset")
            << int(Behaviour::Reset) << 0 << QStringLiteral("发送验证码失败: ");
        QTest::newRow("not HTTP") << int(Behaviour::Garbage) << 0
                                  << QStringLiteral("发送验证码失败: ");
    }

    void failedSendEndsTheCountdown()
    {
        QFETCH(int, behaviour);
        QFETCH(int, status);
        QFETCH(QString, message);

        FakeHttpServer::Response response(status, "{}");
        response.behaviour = Behaviour(behaviour);
        m_services.server->on("/api/send-code", response);
        auto login = makeLogin();
        login->sendVerificationCode();
        for (int i = 0; i < 5; ++i)
            login->tickCountdown();
        QCOMPARE(login->countdown(), 55);

        waitForAnswer(*login);
        QVERIFY2(login->errorMessage().startsWith(message), qPrintable(login->errorMessage()));
        if (behaviour != int(Behaviour::Answer))
            QVERIFY(login->errorMessage().size() > message.size()); // the reason follows
        QVERIFY(!login->isSendingCode());
        QVERIFY(login->canSendCode());
        QVERIFY(!login->isCountdownRunning());
        QCOMPARE(login->countdown(), 60);

        // The next press starts one fresh countdown from 60.
        m_services.server->on("/api/send-code", FakeHttpServer::Response{200, "{}"});
        login->sendVerificationCode();
        QCOMPARE(login->sendCodeLabel(), QStringLiteral("60"));
        login->tickCountdown();
        QCOMPARE(login->countdown(), 59);
    }

    void hidingTheSheetStopsTheCountdown_data()
    {
        QTest::addColumn<bool>("byCloseButton");
        QTest::newRow("close button") << true;
        QTest::newRow("dismissed by the host") << false;
    }

    void hidingTheSheetStopsTheCountdown()
    {
        QFETCH(bool, byCloseButton);
        // The answer arrives only after the sheet has gone.
        m_services.server->on("/api/send-code",
                              FakeHttpServer::Response::with(Behaviour::Answer, 300));
        auto login = makeLogin();
        QSignalSpy closes(login.get(), &PhoneLogin::closeRequested);
        login->sendVerificationCode();
        login->tickCountdown();
        if (byCloseButton)
            login->close();
        else
            login->dismiss();

        QCOMPARE(closes.size(), byCloseButton ? 1 : 0);
        QVERIFY(!login->isCountdownRunning());
        QVERIFY(!login->isSendingCode());
        QCOMPARE(login->countdown(), 60);

        QTRY_COMPARE_WITH_TIMEOUT(m_services.server->requests().size(), 1, 10000);
        QTest::qWait(500);
        QVERIFY(login->errorMessage().isEmpty());
        QVERIFY(!login->isSendingCode());
    }

    void presentingAgainStartsAfresh()
    {
        m_services.server->on("/api/send-code", FakeHttpServer::Response{500, "{}"});
        auto login = makeLogin();
        login->setVerificationCode(QStringLiteral("9"));
        login->setIsAgree(true);
        login->sendVerificationCode();
        waitForAnswer(*login);

        login->reset();
        QCOMPARE(login->phoneNumber(), QString());
        QCOMPARE(login->verificationCode(), QString());
        QVERIFY(!login->isAgree());
        QCOMPARE(login->errorMessage(), QString());
        QCOMPARE(login->selectedCountryCode(), QStringLiteral("+86"));
        QCOMPARE(login->countdown(), 60);
    }

    void signInFailuresShowTheirMessage_data()
    {
        QTest::addColumn<int>("behaviour");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("message"); // a trailing "…" means "starts with"
        QTest::addColumn<bool>("writesLoggedOut");

        const int answer = int(Behaviour::Answer);
        QTest::newRow("refused") << answer << QByteArray(R"({"message":"验证码错误"})")
                                 << QStringLiteral("验证码错误") << true;
        QTest::newRow("ascii exclamation mark")
            << answer << QByteArray(R"({"message":"登录成功!"})") << QStringLiteral("登录成功!")
            << true;
        QTest::newRow("message not a string")
            << answer << QByteArray(R"({"message":1,"userid":"u"})")
            << QStringLiteral("登录失败，请稍后再试") << true;
        QTest::newRow("no message")
            << answer << QByteArray("{}") << QStringLiteral("登录失败，请稍后再试") << true;
        QTest::newRow("not JSON") << answer << QByteArray("<html>busy</html>")
                                  << QStringLiteral("解析用户信息失败: …") << true;
        QTest::newRow("no data") << answer << QByteArray()
                                 << QStringLiteral("服务器无响应，请稍后再试") << false;
        QTest::newRow("array") << answer << QByteArray(R"([{"message":"登录成功！"}])") << QString()
                               << false;
        QTest::newRow("connection reset")
            << int(Behaviour::Reset) << QByteArray() << QStringLiteral("登录失败: …") << false;
        QTest::newRow("idle time-out")
            << int(Behaviour::Stall) << QByteArray() << QStringLiteral("登录失败: …") << false;
    }

    void signInFailuresShowTheirMessage()
    {
        QFETCH(int, behaviour);
        QFETCH(QByteArray, body);
        QFETCH(QString, message);
        QFETCH(bool, writesLoggedOut);

        FakeHttpServer::Response response(200, body);
        response.behaviour = Behaviour(behaviour);
        m_services.server->on("/api/login-register", response);
        auto login = makeLogin();
        login->setVerificationCode(QStringLiteral("123456"));
        login->setIsAgree(true);
        QSignalSpy writes(m_services.store.get(), &SettingsStore::changed);
        QSignalSpy closes(login.get(), &PhoneLogin::closeRequested);

        login->loginOrRegister();
        QVERIFY(login->isLoggingIn());
        QVERIFY(!login->canLogin());
        QTRY_VERIFY_WITH_TIMEOUT(!login->isLoggingIn(), 10000);

        if (message.endsWith(QChar(u'…'))) {
            const QString prefix = message.chopped(1);
            QVERIFY2(login->errorMessage().startsWith(prefix), qPrintable(login->errorMessage()));
            QVERIFY(login->errorMessage().size() > prefix.size());
        } else {
            QCOMPARE(login->errorMessage(), message);
        }
        QCOMPARE(changedKeys(writes),
                 writesLoggedOut ? QStringList{QStringLiteral("isLoggedIn")} : QStringList{});
        QCOMPARE(m_services.store->getBool(QStringLiteral("isLoggedIn"), true), !writesLoggedOut);
        QCOMPARE(closes.size(), 0);
        // Nothing typed is lost, so the user can try again at once.
        QCOMPARE(login->phoneNumber(), QStringLiteral("13800138000"));
        QCOMPARE(login->verificationCode(), QStringLiteral("123456"));
        QVERIFY(login->canLogin());
    }

    void successfulSignInStoresTheProfile_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QVariantList>("stored"); // username .. sessionToken, in writing order

        const QByteArray full =
            R"({"message":"登录成功！","username":"张三","userid":"u-7",)"
            "\"avatar\":\"https://a/b.png\","
            R"("phone":"+8613800138000","state":"黄金会员","chat_quota":1200,"translate_quota":30,)"
            R"("expiry":"2025-12-31","token":"t-9"})";
        const QVariantList fullStored{"张三",           "u-7",        "https://a/b.png",
                                      "+8613800138000", "黄金会员",   qint64(1200),
                                      qint64(30),       "2025-12-31", "t-9"};
        QTest::newRow("complete") << 200 << full << fullStored;
        // The status is not what decides; the body is.
        QTest::newRow("status 500, success body") << 500 << full << fullStored;
        QTest::newRow("userid is a number")
            << 200 << QByteArray(R"({"message":"登录成功！","userid":42,"username":"李四"})")
            << QVariantList{"李四", "", "", "", "", qint64(0), qint64(0), "", ""};
        QTest::newRow("expiry_date instead of expiry")
            << 200 << QByteArray(R"({"message":"登录成功！","expiry_date":"2025-12-31"})")
            << QVariantList{"", "", "", "", "", qint64(0), qint64(0), "", ""};
        QTest::newRow("quotas of the wrong kind")
            << 200
            << QByteArray(R"({"message":"登录成功！","chat_quota":7.5,"translate_quota":"30"})")
            << QVariantList{"", "", "", "", "", qint64(0), qint64(0), "", ""};
        QTest::newRow("large whole quota")
            << 200 << QByteArray(R"({"message":"登录成功！","chat_quota":9007199254740993})")
            << QVariantList{"", "", "", "", "", qint64(9007199254740993), qint64(0), "", ""};
    }

    void successfulSignInStoresTheProfile()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QVariantList, stored);

        m_services.server->on("/api/login-register", FakeHttpServer::Response{status, body});
        m_services.server->on("/api/send-code", FakeHttpServer::Response{200, "{}"});
        // What an earlier account left behind must all be overwritten.
        for (const char *key : {"username", "userid", "avatar", "phone", "state", "expiry_date"})
            m_services.store->set(QString::fromLatin1(key), QStringLiteral("old"));
        m_services.store->set(QStringLiteral("chat_quota"), 5);
        m_services.store->set(QStringLiteral("translate_quota"), 5);

        auto login = makeLogin(QStringLiteral("138 0013"));
        login->setVerificationCode(QStringLiteral("654321"));
        login->setIsAgree(true);
        login->sendVerificationCode();
        QVERIFY(login->isCountdownRunning());
        QSignalSpy writes(m_services.store.get(), &SettingsStore::changed);
        QSignalSpy closes(login.get(), &PhoneLogin::closeRequested);
        QSignalSpy signedIn(login.get(), &PhoneLogin::signedIn);

        login->loginOrRegister();
        QTRY_COMPARE_WITH_TIMEOUT(closes.size(), 1, 10000);

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
        QCOMPARE(signedIn.size(), 1);
        QVERIFY(!login->isLoggingIn());
        QVERIFY(!login->isCountdownRunning());

        const auto posted = m_services.server->requestsTo("/api/login-register");
        QCOMPARE(posted.size(), 1);
        QCOMPARE(QJsonDocument::fromJson(posted[0].body).object(),
                 (QJsonObject{{"phone", "+86138 0013"}, {"code", "654321"}}));
        QVERIFY(!posted[0].body.contains('\n'));
    }

    void answerAfterTheSheetWasReopened_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("signsIn");
        QTest::newRow("success still signs in")
            << QByteArray(R"({"message":"登录成功！"})") << true;
        QTest::newRow("refusal is not shown") << QByteArray(R"({"message":"验证码错误"})") << false;
    }

    void answerAfterTheSheetWasReopened()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, signsIn);
        FakeHttpServer::Response response(200, body);
        response.delayMs = 300;
        m_services.server->on("/api/login-register", response);
        auto login = makeLogin();
        login->setVerificationCode(QStringLiteral("1"));
        login->setIsAgree(true);
        QSignalSpy closes(login.get(), &PhoneLogin::closeRequested);
        login->loginOrRegister();
        login->reset();
        login->setPhoneNumber(QStringLiteral("139"));

        QTRY_COMPARE_WITH_TIMEOUT(m_services.server->requests().size(), 1, 10000);
        QTest::qWait(600);
        QCOMPARE(m_services.store->getBool(QStringLiteral("isLoggedIn"), false), signsIn);
        QCOMPARE(closes.size(), signsIn ? 1 : 0);
        // The reopened sheet keeps its own state.
        QCOMPARE(login->errorMessage(), QString());
        QCOMPARE(login->phoneNumber(), QStringLiteral("139"));
        QVERIFY(!login->isLoggingIn());
    }

    void unusableOriginStartsNothing()
    {
        ServiceOrigin::setCurrent(QStringLiteral("http://exa mple"));
        auto login = makeLogin();
        login->setVerificationCode(QStringLiteral("1"));
        login->setIsAgree(true);
        login->sendVerificationCode();
        login->loginOrRegister();
        login->openTermsPage();
        QVERIFY(!login->isSendingCode());
        QVERIFY(!login->isLoggingIn());
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
        m_services.server->on(
            "/api/login-register",
            FakeHttpServer::Response{200, R"({"message":"登录成功！","token":"t-9"})"});
        m_services.server->on("/api/check_quota", FakeHttpServer::Response{200, "{}"});
        FakeHttpServer elsewhere;
        elsewhere.on("/p.png", FakeHttpServer::Response{200, "x"});
        const QByteArrayList none{"", "", ""};
        QCOMPARE(authorizationsSent(elsewhere), none);

        auto login = makeLogin();
        login->setVerificationCode(QStringLiteral("1"));
        login->setIsAgree(true);
        login->loginOrRegister();
        QTRY_VERIFY_WITH_TIMEOUT(m_services.store->getBool(QStringLiteral("isLoggedIn"), false),
                                 10000);
        QCOMPARE(authorizationsSent(elsewhere), (QByteArrayList{"Bearer t-9", "Bearer t-9", ""}));

        AccountCard card;
        card.signOut();
        QCOMPARE(authorizationsSent(elsewhere), none);
    }

    void termsPageOpensInTheBrowser()
    {
        auto login = makeLogin();
        login->openTermsPage();
        QCOMPARE(m_services.opened,
                 QList<QUrl>{QUrl(m_services.server->origin() + QStringLiteral("/yinsi"))});
    }
};

QTEST_MAIN(TestPhoneLogin)
#include "tst_phonelogin.moc"
