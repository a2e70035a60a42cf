#include "chatharness.h"
#include "logcapture.h"
#include "serverprocess.h"

#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QTest>

// The controller against the real talvoro-server: sign in, ask every model once, and check
// that the answers are kept and the balance fell by exactly what the client charged.
class TestRealServer : public QObject {
    Q_OBJECT

    static constexpr int kWait = 30000;

    ServerProcess m_server;
    QTemporaryDir m_data;
    QString m_origin;

    HttpResult call(HttpClient &http, const QString &path, const QJsonObject *body = nullptr)
    {
        std::optional<HttpResult> result;
        const auto done = [&](const HttpResult &r) {
            result = r;
        };
        if (body)
            http.postJson(QUrl(m_origin + path), *body, this, done);
        else
            http.get(QUrl(m_origin + path), this, done);
        (void)QTest::qWaitFor([&] { return result.has_value(); }, kWait);
        return result.value_or(HttpResult{});
    }

private slots:
    void initTestCase()
    {
        m_origin = m_server.start(QStringLiteral(TALVORO_SERVER_PATH), m_data.path());
        QVERIFY2(!m_origin.isEmpty(), m_server.output().constData());
    }

    void everyModelAnswersAndIsCharged()
    {
        ChatHarness h;
        ServiceOrigin::setCurrent(m_origin);

        // Sign in over HTTP, as the sign-in sheet does.
        const QString phone = QStringLiteral("+8613800138000");
        const QJsonObject sendCode{{"phone", phone}};
        QCOMPARE(call(h.http, "/api/send-code", &sendCode).status, 200);
        const QString code = m_server.waitForLine(QRegularExpression(
            "^sms-code phone=" + QRegularExpression::escape(phone) + " code=(\\d{6})$"));
        QVERIFY(!code.isEmpty());
        const QJsonObject login{{"phone", phone}, {"code", code}};
        const QJsonObject profile =
            QJsonDocument::fromJson(call(h.http, "/api/login-register", &login).body).object();
        QCOMPARE(profile.value("message").toString(), QStringLiteral("登录成功！"));
        const QString userid = profile.value("userid").toString();
        h.settings.set(QStringLiteral("phone"), profile.value("phone").toString());
        h.settings.set(QStringLiteral("userid"), userid);

        const auto balance = [&] {
            const HttpResult r = call(h.http, "/api/macos_account_info?userid=" + userid);
            return QJsonDocument::fromJson(r.body).object().value("chat_quota").toDouble(-1);
        };
        const double before = balance();
        QVERIFY(before > 0);

        auto c = h.controller();
        LogCapture log;
        double charged = 0;
        int charges = 0;
        const QStringList models{
            "gpt-3.5-turbo-0125",         "claude-3-haiku-20240307", "gpt-4o",
            "claude-3-5-sonnet-20240620", "gemini-1.5-pro",          "dall-e-3"};
        for (const QString &model : models) {
            c->setSelectedModel(model);
            c->setMessageText(QStringLiteral("请用 Markdown 介绍一下 %1").arg(model));
            c->sendMessage();
            const QString question = c->messageList().at(c->messages()->count() - 2).content;
            const QString context = ChatController::buildContext(c->messageList(), 1000);
            QTRY_VERIFY_WITH_TIMEOUT(c->pendingSends() == 0, kWait);

            const Message &answer = c->messageList().last();
            QVERIFY(!answer.isLoading && !answer.isUserMessage);
            charged += QuotaService::inputCharge(model, question, context);
            ++charges;
            if (model == u"dall-e-3") {
                QVERIFY2(answer.cachedImagePath && QFile::exists(*answer.cachedImagePath),
                         qPrintable(answer.content));
                QVERIFY(QImage(*answer.cachedImagePath).width() > 0);
            } else {
                QVERIFY2(!answer.content.isEmpty(), qPrintable(model));
                QVERIFY2(!answer.content.contains(QLatin1String("**")), qPrintable(answer.content));
                charged += QuotaService::outputCharge(model, answer.content);
                ++charges;
            }
        }
        QCOMPARE(c->messages()->count(), 2 * int(models.size()));

        // Everything answered is in the store, as shown.
        const MessageList stored =
            h.conversations.conversations().value(c->currentConversationUuid());
        QCOMPARE(stored.size(), c->messages()->count());
        for (qsizetype i = 0; i < stored.size(); ++i) {
            QCOMPARE(stored.at(i).content, c->messageList().at(i).content);
            QCOMPARE(stored.at(i).cachedImagePath, c->messageList().at(i).cachedImagePath);
        }
        QTRY_COMPARE_WITH_TIMEOUT(log.count(QStringLiteral("扣减配额成功")), charges, kWait);
        QCOMPARE(log.count(QStringLiteral("扣减配额失败")), 0);
        QVERIFY2(qAbs((before - balance()) - charged) < 1e-9,
                 qPrintable(QStringLiteral("before %1 after %2 charged %3")
                                .arg(before, 0, 'g', 17)
                                .arg(balance(), 0, 'g', 17)
                                .arg(charged, 0, 'g', 17)));
    }
};

QTEST_GUILESS_MAIN(TestRealServer)
#include "tst_realserver.moc"
