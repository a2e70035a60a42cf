#include "account/accountcard.h"
#include "account/phonelogin.h"
#include "accountservices.h"
#include "core/httpclient.h"
#include "core/serviceorigin.h"
#include "core/settingsstore.h"

#include <QBuffer>
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtQml/QQmlExtensionPlugin>

#include <memory>

Q_IMPORT_QML_PLUGIN(TalvoroPlugin)

using namespace std::chrono_literals;

namespace {

// The brand brown, as highlighted text has it on a light desktop.
const QColor kAccent = QColor::fromRgbF(0.70f, 0.34f, 0.20f);

QQuickItem *findItem(QQuickItem *root, const QString &name)
{
    if (root->objectName() == name)
        return root;
    for (QQuickItem *child : root->childItems())
        if (QQuickItem *found = findItem(child, name))
            return found;
    return nullptr;
}

// A small picture for the avatar, so the card shows a real image.
QByteArray avatarPng()
{
    QImage image(80, 80, QImage::Format_ARGB32);
    QPainter p(&image);
    QLinearGradient gradient(0, 0, 80, 80);
    gradient.setColorAt(0, QColor(0x3b, 0x82, 0xc4));
    gradient.setColorAt(1, QColor(0x7c, 0x4d, 0xc4));
    p.fillRect(image.rect(), gradient);
    p.setBrush(QColor(255, 255, 255, 220));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(40, 32), 14, 14);
    p.drawEllipse(QPointF(40, 78), 28, 24);
    p.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

} // namespace

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
        const QByteArray qml = "import QtQuick\nimport QtQuick.Window\nimport Talvoro\n"
                               "Window {\n"
                               "    property int closes: 0\n"
                               "    width: " +
                               QByteArray::number(width) +
                               "; height: " + QByteArray::number(height) +
                               "\n    visible: true\n    color: \"#ececec\"\n    " + view +
                               " { objectName: \"view\"; anchors.fill: parent;"
                               " onCloseRequested: closes++ }\n}\n";
        m_engine->loadData(qml);
        QVERIFY(!m_engine->rootObjects().isEmpty());
        m_window = qobject_cast<QQuickWindow *>(m_engine->rootObjects().first());
        QVERIFY(m_window);
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
    }

    QQuickItem *item(const QString &name)
    {
        QQuickItem *found = findItem(m_window->contentItem(), name);
        if (!found)
            qWarning() << "no item named" << name;
        return found;
    }

    QPoint centre(QQuickItem *target)
    {
        return target->mapToScene(QPointF(target->width() / 2, target->height() / 2)).toPoint();
    }

    void click(const QString &name)
    {
        QQuickItem *target = item(name);
        QVERIFY(target);
        QVERIFY2(target->isVisible(), qPrintable(name));
        QTest::mouseClick(m_window, Qt::LeftButton, {}, centre(target));
    }

    void type(const QString &field, const QString &text)
    {
        click(field);
        QTRY_VERIFY(item(field)->hasActiveFocus());
        for (const QChar c : text)
            QTest::keyClick(m_window, c.toLatin1());
    }

    bool enabled(const QString &name) { return item(name)->isEnabled(); }
    QString text(const QString &name) { return item(name)->property("text").toString(); }

    void screenshot(const QString &name)
    {
        // Let asynchronous images and animations settle before the picture is taken.
        QTest::qWait(400);
        const QImage image = m_window->grabWindow();
        QVERIFY(!image.isNull());
        QDir().mkpath(QStringLiteral(TALVORO_SCREENSHOT_DIR));
        QVERIFY(image.save(QStringLiteral(TALVORO_SCREENSHOT_DIR "/") + name));
    }

    int closes() { return m_window->property("closes").toInt(); }

private slots:
    void initTestCase()
    {
        QFont font(QStringLiteral("Noto Sans CJK SC"));
        font.setFamilies({QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Color Emoji")});
        QGuiApplication::setFont(font);
    }

    void init() { m_services.start(m_dir.filePath(QStringLiteral("s.sqlite")), 3s); }

    void cleanup()
    {
        m_engine.reset();
        m_window = nullptr;
        m_services.stop();
    }

    void phoneSignInByTypingAndClicking()
    {
        m_services.server->on("/api/send-code", FakeHttpServer::Response{200, "{}"});
        m_services.server->on(
            "/api/login-register",
            FakeHttpServer::Response{
                200, R"({"message":"登录成功！","userid":"u-1","username":"张三"})"});
        show("PhoneLoginView", 500, 400);
        auto *login = item(QStringLiteral("view"))->property("login").value<PhoneLogin *>();
        QVERIFY(login);

        QVERIFY(!enabled(QStringLiteral("sendCodeButton")));
        QVERIFY(!enabled(QStringLiteral("loginButton")));
        QVERIFY(!item(QStringLiteral("errorMessage"))->isVisible());

        type(QStringLiteral("phoneField"), QStringLiteral("13800138000"));
        QCOMPARE(login->phoneNumber(), QStringLiteral("13800138000"));
        QVERIFY(enabled(QStringLiteral("sendCodeButton")));

        click(QStringLiteral("sendCodeButton"));
        QTRY_VERIFY_WITH_TIMEOUT(item(QStringLiteral("errorMessage"))->isVisible(), 10000);
        QCOMPARE(text(QStringLiteral("errorMessage")), QStringLiteral("验证码已发送到您的手机"));
        QCOMPARE(text(QStringLiteral("sendCodeButton")), QStringLiteral("60"));
        QVERIFY(!enabled(QStringLiteral("sendCodeButton")));
        QCOMPARE(m_services.server->requestsTo("/api/send-code").value(0).body,
                 QByteArray(R"({"phone":"+8613800138000"})"));

        type(QStringLiteral("codeField"), QStringLiteral("123456"));
        QVERIFY(!enabled(QStringLiteral("loginButton")));
        click(QStringLiteral("agreeCheckBox"));
        QVERIFY(login->isAgree());
        QVERIFY(enabled(QStringLiteral("loginButton")));
        screenshot(QStringLiteral("phone-login-code-sent.png"));

        click(QStringLiteral("termsButton"));
        QCOMPARE(m_services.opened,
                 QList<QUrl>{QUrl(m_services.server->origin() + QStringLiteral("/yinsi"))});

        click(QStringLiteral("loginButton"));
        QTRY_COMPARE_WITH_TIMEOUT(closes(), 1, 10000);
        QVERIFY(m_services.store->getBool(QStringLiteral("isLoggedIn"), false));
        QCOMPARE(m_services.store->getString(QStringLiteral("userid")), QStringLiteral("u-1"));
        QVERIFY(!login->isCountdownRunning());
    }

    void signInStatesOnScreen()
    {
        m_services.server->on(
            "/api/login-register",
            FakeHttpServer::Response{200, R"({"message":"验证码错误，请重新输入"})"});
        show("PhoneLoginView", 500, 400);
        screenshot(QStringLiteral("phone-login-empty.png"));
        type(QStringLiteral("phoneField"), QStringLiteral("13800138000"));
        type(QStringLiteral("codeField"), QStringLiteral("000000"));
        click(QStringLiteral("agreeCheckBox"));
        click(QStringLiteral("loginButton"));
        QTRY_VERIFY_WITH_TIMEOUT(item(QStringLiteral("errorMessage"))->isVisible(), 10000);
        QCOMPARE(text(QStringLiteral("errorMessage")), QStringLiteral("验证码错误，请重新输入"));
        QCOMPARE(closes(), 0);
        screenshot(QStringLiteral("phone-login-refused.png"));

        // While the answer is awaited the button shows only the progress indicator.
        m_services.server->on("/api/login-register",
                              FakeHttpServer::Response::with(FakeHttpServer::Behaviour::Stall));
        click(QStringLiteral("loginButton"));
        QVERIFY(!enabled(QStringLiteral("loginButton")));
        screenshot(QStringLiteral("phone-login-waiting.png"));
    }

    void hidingTheSheetStopsItsCountdown()
    {
        m_services.server->on("/api/send-code", FakeHttpServer::Response{200, "{}"});
        show("PhoneLoginView", 500, 400);
        auto *login = item(QStringLiteral("view"))->property("login").value<PhoneLogin *>();
        type(QStringLiteral("phoneField"), QStringLiteral("138"));
        click(QStringLiteral("sendCodeButton"));
        QVERIFY(login->isCountdownRunning());

        item(QStringLiteral("view"))->setVisible(false);
        QVERIFY(!login->isCountdownRunning());
        QCOMPARE(login->countdown(), 60);

        item(QStringLiteral("view"))->setVisible(true);
        QCOMPARE(text(QStringLiteral("phoneField")), QString());
        QCOMPARE(text(QStringLiteral("sendCodeButton")), QStringLiteral("获取验证码"));

        click(QStringLiteral("closeButton"));
        QCOMPARE(closes(), 1);
    }

    void accountCardShowsTheAccount()
    {
        m_services.store->set(QStringLiteral("isLoggedIn"), true);
        m_services.store->set(QStringLiteral("userid"), QStringLiteral("u-1"));
        FakeHttpServer::Response png(200, avatarPng());
        png.contentType = "image/png";
        m_services.server->on("/avatar.png", png);
        m_services.server->on(
            "/api/macos_account_info",
            FakeHttpServer::Response{
                200, R"({"username":"张三","phone":"+8613800138000","state":"黄金会员",)"
                     R"("chat_quota":1234.5,"translate_quota":30,"expiry_date":"2025-12-31",)"
                     "\"avatar\":\"" +
                         m_services.server->origin().toUtf8() + "/avatar.png\"}"});
        show("MyCardView", 380, 460);
        QTRY_COMPARE_WITH_TIMEOUT(text(QStringLiteral("username")), QStringLiteral("张三"), 10000);
        m_window->resize(380, int(item(QStringLiteral("view"))->implicitHeight()));

        QCOMPARE(text(QStringLiteral("phone")), QStringLiteral("+8613800138000"));
        QCOMPARE(item(QStringLiteral("stateRow"))->property("value").toString(),
                 QStringLiteral("黄金会员版"));
        QCOMPARE(item(QStringLiteral("chatQuotaRow"))->property("value").toString(),
                 QStringLiteral("1234.50"));
        QCOMPARE(item(QStringLiteral("translateQuotaRow"))->property("value").toString(),
                 QStringLiteral("30天"));
        for (const char *row : {"stateRow", "chatQuotaRow", "translateQuotaRow", "expiryRow"})
            QCOMPARE(item(QString::fromLatin1(row))->property("labelColor").value<QColor>(),
                     kAccent);
        QVERIFY(item(QStringLiteral("expiryRow"))->isVisible());
        QCOMPARE(text(QStringLiteral("membershipButton")), QStringLiteral("续费会员"));
        QTRY_VERIFY_WITH_TIMEOUT(!item(QStringLiteral("avatarProgress"))->isVisible(), 10000);

        // Only the button under the pointer is highlighted.
        QTest::mouseMove(m_window, centre(item(QStringLiteral("feedbackButton"))));
        QTRY_VERIFY(item(QStringLiteral("feedbackButton"))->property("hovered").toBool());
        QVERIFY(!item(QStringLiteral("membershipButton"))->property("hovered").toBool());
        screenshot(QStringLiteral("account-card.png"));

        click(QStringLiteral("feedbackButton"));
        click(QStringLiteral("membershipButton"));
        QCOMPARE(m_services.opened.size(), 2);
        QCOMPARE(m_services.opened[0].path(), QStringLiteral("/contact"));
        QCOMPARE(m_services.opened[1].toString(),
                 m_services.server->origin() + QStringLiteral("/pricing?userid=u-1"));

        // Each showing asks afresh.
        const qsizetype asked = m_services.server->requestsTo("/api/macos_account_info").size();
        item(QStringLiteral("view"))->setVisible(false);
        item(QStringLiteral("view"))->setVisible(true);
        QCOMPARE(text(QStringLiteral("username")), QStringLiteral("加载中..."));
        QTRY_COMPARE_WITH_TIMEOUT(m_services.server->requestsTo("/api/macos_account_info").size(),
                                  asked + 1, 10000);

        click(QStringLiteral("signOutButton"));
        QVERIFY(!m_services.store->getBool(QStringLiteral("isLoggedIn"), true));
        QCOMPARE(m_services.store->getString(QStringLiteral("userid")), QStringLiteral("u-1"));
        click(QStringLiteral("closeButton"));
        QCOMPARE(closes(), 1);
    }

    void accountCardStates_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("expiryShown");
        QTest::addColumn<QString>("membership");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("picture");

        QTest::newRow("free") << 200
                              << QByteArray(R"({"username":"李四","phone":"+8613900000000",)"
                                            R"("state":"免费","chat_quota":0,"translate_quota":0})")
                              << false << "开通会员" << QString() << "account-card-free.png";
        QTest::newRow("unreadable answer")
            << 502 << QByteArray("<html>Bad Gateway</html>") << false << "开通会员"
            << "解析信息失败，请稍后再试。"
            << "account-card-error.png";
        // The address is fine but nothing is there: the progress indicator stays in the circle.
        QTest::newRow("avatar that cannot load")
            << 200 << QByteArray(R"({"username":"王五","state":"免费","avatar":"ORIGIN/none.png"})")
            << false << "开通会员" << QString() << "account-card-avatar-missing.png";
    }

    void accountCardStates()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, reply);
        QFETCH(bool, expiryShown);
        QFETCH(QString, membership);
        QFETCH(QString, error);
        QFETCH(QString, picture);

        reply.replace("ORIGIN", m_services.server->origin().toUtf8());
        m_services.server->on("/api/macos_account_info", FakeHttpServer::Response{status, reply});
        show("MyCardView", 380, 460);
        auto *card = item(QStringLiteral("view"))->property("card").value<AccountCard *>();
        QVERIFY(card);
        QTRY_VERIFY_WITH_TIMEOUT(card->username() != QStringLiteral("加载中...") ||
                                     !card->errorMessage().isEmpty(),
                                 10000);
        m_window->resize(380, int(item(QStringLiteral("view"))->implicitHeight()));

        QCOMPARE(item(QStringLiteral("expiryRow"))->isVisible(), expiryShown);
        QCOMPARE(text(QStringLiteral("membershipButton")), membership);
        QCOMPARE(item(QStringLiteral("errorMessage"))->isVisible(), !error.isEmpty());
        QCOMPARE(text(QStringLiteral("errorMessage")), error);
        for (const char *row : {"stateRow", "chatQuotaRow", "translateQuotaRow"})
            QVERIFY(item(QString::fromLatin1(row))->property("labelColor").value<QColor>() !=
                    kAccent);
        if (reply.contains("none.png"))
            QTRY_COMPARE_WITH_TIMEOUT(m_services.server->requestsTo("/none.png").size(), 1, 10000);
        QCOMPARE(item(QStringLiteral("avatarProgress"))->isVisible(), reply.contains("none.png"));
        screenshot(picture);
    }
};

QTEST_MAIN(TestAccountViews)
#include "tst_accountviews.moc"
