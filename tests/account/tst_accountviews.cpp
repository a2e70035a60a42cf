#include "account/accountcard.h"
#include "account/phonelogin.h"
#include "accountservices.h"
#include "appgraph.h"

#include <QBuffer>
#include <QDir>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QtQml/QQmlExtensionPlugin>

Q_IMPORT_QML_PLUGIN(TalvoroPlugin)

using namespace std::chrono_literals;
using Response = FakeHttpServer::Response;

// The brand brown, as highlighted text has it on a light desktop.
static const QColor kAccent = QColor::fromRgbF(0.70f, 0.34f, 0.20f);

class TestAccountViews : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    AccountServices m_services;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow *m_window = nullptr;

    // Shows `view` (a type of the module) filling a window of the given size.
    void show(const QByteArray &view, int width, int height)
    {
        m_engine = std::make_unique<QQmlApplicationEngine>();
        m_engine->addImportPath(QStringLiteral("qrc:/qt/qml"));
        m_engine->loadData("import QtQuick\nimport QtQuick.Window\nimport Talvoro\n"
                           "Window { property int closes: 0; visible: true; color: \"#ececec\"; "
                           "width: " +
                           QByteArray::number(width) + "; height: " + QByteArray::number(height) +
                           "\n" + view +
                           " { objectName: \"view\"; anchors.fill: parent;"
                           " onCloseRequested: closes++ } }\n");
        QVERIFY(!m_engine->rootObjects().isEmpty());
        m_window = qobject_cast<QQuickWindow *>(m_engine->rootObjects().first());
        QVERIFY(m_window && QTest::qWaitForWindowExposed(m_window));
    }
    QQuickItem *item(const char *name)
    {
        QQuickItem *found = findItem(m_window->contentItem(), QString::fromLatin1(name));
        if (!found)
            qWarning() << "no item named" << name;
        return found;
    }
    void click(const char *name)
    {
        QVERIFY2(item(name) && item(name)->isVisible(), name);
        clickItem(item(name));
    }
    void type(const char *field, const QString &text)
    {
        click(field);
        QTRY_VERIFY(item(field)->hasActiveFocus());
        for (const QChar c : text)
            QTest::keyClick(m_window, c.toLatin1());
    }
    bool enabled(const char *name) { return item(name)->isEnabled(); }
    QString text(const char *name) { return item(name)->property("text").toString(); }
    int closes() { return m_window->property("closes").toInt(); }
    void setViewVisible(bool visible) { item("view")->setVisible(visible); }
    void fitCard() { m_window->resize(380, int(item("view")->implicitHeight())); }

    void screenshot(const QString &name)
    {
        // Let asynchronous images and animations settle before the picture is taken.
        QTest::qWait(400);
        const QImage image = m_window->grabWindow();
        QDir().mkpath(QStringLiteral(TALVORO_SCREENSHOT_DIR));
        QVERIFY(image.save(QStringLiteral(TALVORO_SCREENSHOT_DIR "/") + name));
    }

private slots:
    void initTestCase() { FontSetup::install(); }
    void init() { m_services.start(m_dir.filePath(QStringLiteral("s.sqlite")), 3s); }
    void cleanup()
    {
        m_engine.reset();
        m_window = nullptr;
        m_services.stop();
    }

    void phoneSignInByTypingAndClicking()
    {
        m_services.server->on("/api/send-code", Response{200, "{}"});
        m_services.server->on(
            "/api/login-register",
            Response{200, R"({"message":"登录成功！","userid":"u-1","username":"张三"})"});
        show("PhoneLoginView", 500, 400);
        auto *login = item("view")->property("login").value<PhoneLogin *>();
        QVERIFY(login);
        QVERIFY(!enabled("sendCodeButton") && !enabled("loginButton"));
        QVERIFY(!item("errorMessage")->isVisible());

        type("phoneField", QStringLiteral("13800138000"));
        QCOMPARE(login->phoneNumber(), QStringLiteral("13800138000"));
        click("sendCodeButton");
        QTRY_VERIFY_WITH_TIMEOUT(item("errorMessage")->isVisible(), 10000);
        QCOMPARE(text("errorMessage"), QStringLiteral("验证码已发送到您的手机"));
        QCOMPARE(text("sendCodeButton"), QStringLiteral("60"));
        QVERIFY(!enabled("sendCodeButton"));
        QCOMPARE(m_services.server->requestsTo("/api/send-code").value(0).body,
                 QByteArray(R"({"phone":"+8613800138000"})"));

        // Hiding the sheet stops its countdown; shown again, it starts afresh.
        setViewVisible(false);
        QVERIFY(!login->isCountdownRunning());
        QCOMPARE(login->countdown(), 60);
        setViewVisible(true);
        QCOMPARE(text("phoneField"), QString());
        QVERIFY(!item("errorMessage")->isVisible());
        QCOMPARE(text("sendCodeButton"), QStringLiteral("获取验证码"));

        type("phoneField", QStringLiteral("13800138000"));
        type("codeField", QStringLiteral("123456"));
        QVERIFY(!enabled("loginButton"));
        click("agreeCheckBox");
        QVERIFY(login->isAgree() && enabled("loginButton"));
        screenshot(QStringLiteral("phone-login-code-sent.png"));

        click("termsButton");
        QCOMPARE(m_services.opened,
                 QList<QUrl>{QUrl(m_services.server->origin() + QStringLiteral("/yinsi"))});
        click("loginButton");
        QTRY_COMPARE_WITH_TIMEOUT(closes(), 1, 10000);
        QVERIFY(m_services.store->getBool(QStringLiteral("isLoggedIn"), false));
        QCOMPARE(m_services.store->getString(QStringLiteral("userid")), QStringLiteral("u-1"));
    }

    void signInStatesOnScreen()
    {
        m_services.server->on("/api/login-register",
                              Response{200, R"({"message":"验证码错误，请重新输入"})"});
        show("PhoneLoginView", 500, 400);
        screenshot(QStringLiteral("phone-login-empty.png"));
        type("phoneField", QStringLiteral("13800138000"));
        type("codeField", QStringLiteral("000000"));
        click("agreeCheckBox");
        click("loginButton");
        QTRY_VERIFY_WITH_TIMEOUT(item("errorMessage")->isVisible(), 10000);
        QCOMPARE(text("errorMessage"), QStringLiteral("验证码错误，请重新输入"));
        QCOMPARE(closes(), 0);
        screenshot(QStringLiteral("phone-login-refused.png"));

        // While the answer is awaited the button shows only the progress indicator.
        m_services.server->on("/api/login-register",
                              Response::with(FakeHttpServer::Behaviour::Stall));
        click("loginButton");
        QVERIFY(!enabled("loginButton"));
        screenshot(QStringLiteral("phone-login-waiting.png"));
        click("closeButton");
        QCOMPARE(closes(), 1);
    }

    void accountCard_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("reply"); // ORIGIN stands for the service's origin
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("picture");

        QTest::newRow("member") << 200
                                << QByteArray(R"({"username":"张三","phone":"+8613800138000",)"
                                              R"("state":"黄金会员","chat_quota":1234.5,)"
                                              R"("translate_quota":30,"expiry_date":"2025-12-31",)"
                                              R"("avatar":"ORIGIN/avatar.png"})")
                                << QString() << "account-card.png";
        QTest::newRow("free") << 200
                              << QByteArray(R"({"username":"李四","phone":"+8613900000000",)"
                                            R"("state":"免费","chat_quota":0,"translate_quota":0})")
                              << QString() << "account-card-free.png";
        QTest::newRow("unreadable answer")
            << 502 << QByteArray("<html>Bad Gateway</html>") << "解析信息失败，请稍后再试。"
            << "account-card-error.png";
        // The address is fine but nothing is there: the progress indicator stays in the circle.
        QTest::newRow("avatar that cannot load")
            << 200 << QByteArray(R"({"username":"王五","state":"免费","avatar":"ORIGIN/none.png"})")
            << QString() << "account-card-avatar-missing.png";
    }

    void accountCard()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, reply);
        QFETCH(QString, error);
        QFETCH(QString, picture);

        m_services.store->set(QStringLiteral("isLoggedIn"), true);
        m_services.store->set(QStringLiteral("userid"), QStringLiteral("u-1"));
        const QString origin = m_services.server->origin();
        // A small picture for the avatar, so the card shows a real image.
        QImage avatar(80, 80, QImage::Format_ARGB32);
        avatar.fill(QColor(0x3b, 0x82, 0xc4));
        QBuffer png;
        png.open(QIODevice::WriteOnly);
        avatar.save(&png, "PNG");
        Response image(200, png.data());
        image.contentType = "image/png";
        m_services.server->on("/avatar.png", image);
        m_services.server->on("/api/macos_account_info",
                              Response{status, reply.replace("ORIGIN", origin.toUtf8())});
        show("MyCardView", 380, 460);
        auto *card = item("view")->property("card").value<AccountCard *>();
        QVERIFY(card);
        QTRY_VERIFY_WITH_TIMEOUT(card->username() != QStringLiteral("加载中...") ||
                                     !card->errorMessage().isEmpty(),
                                 10000);
        fitCard();

        const bool member = reply.contains("黄金会员"), missing = reply.contains("none.png");
        QCOMPARE(item("expiryRow")->isVisible(), member);
        QCOMPARE(text("membershipButton"),
                 member ? QStringLiteral("续费会员") : QStringLiteral("开通会员"));
        QCOMPARE(item("errorMessage")->isVisible(), !error.isEmpty());
        QCOMPARE(text("errorMessage"), error);
        for (const char *row : {"stateRow", "chatQuotaRow", "translateQuotaRow"})
            QCOMPARE(item(row)->property("labelColor").value<QColor>() == kAccent, member);
        if (missing)
            QTRY_COMPARE_WITH_TIMEOUT(m_services.server->requestsTo("/none.png").size(), 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(item("avatarProgress")->isVisible(), missing, 10000);
        if (!member)
            return screenshot(picture);

        QCOMPARE(text("phone"), QStringLiteral("+8613800138000"));
        QCOMPARE(item("stateRow")->property("value").toString(), QStringLiteral("黄金会员版"));
        QCOMPARE(item("chatQuotaRow")->property("value").toString(), QStringLiteral("1234.50"));
        QCOMPARE(item("translateQuotaRow")->property("value").toString(), QStringLiteral("30天"));
        QCOMPARE(item("expiryRow")->property("labelColor").value<QColor>(), kAccent);
        // Only the button under the pointer is highlighted.
        QTest::mouseMove(m_window, item("feedbackButton")->mapToScene({10, 10}).toPoint());
        QTRY_VERIFY(item("feedbackButton")->property("hovered").toBool());
        QVERIFY(!item("membershipButton")->property("hovered").toBool());
        screenshot(picture);

        click("feedbackButton");
        click("membershipButton");
        QCOMPARE(m_services.opened,
                 (QList<QUrl>{QUrl(origin + QStringLiteral("/contact")),
                              QUrl(origin + QStringLiteral("/pricing?userid=u-1"))}));
        // Each showing asks afresh.
        setViewVisible(false);
        setViewVisible(true);
        QCOMPARE(text("username"), QStringLiteral("加载中..."));
        QTRY_COMPARE_WITH_TIMEOUT(m_services.server->requestsTo("/api/macos_account_info").size(),
                                  2, 10000);
        click("signOutButton");
        QVERIFY(!m_services.store->getBool(QStringLiteral("isLoggedIn"), true));
        click("closeButton");
        QCOMPARE(closes(), 1);
    }
};

QTEST_MAIN(TestAccountViews)
#include "tst_accountviews.moc"
