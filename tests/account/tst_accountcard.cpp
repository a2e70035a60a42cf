#include "account/accountcard.h"
#include "accountservices.h"
#include "core/httpclient.h"
#include "core/serviceorigin.h"
#include "core/settingsstore.h"
#include "logcapture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace std::chrono_literals;
using Behaviour = FakeHttpServer::Behaviour;

class TestAccountCard : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    AccountServices m_services;

    static QJsonObject json(const QByteArray &text)
    {
        return QJsonDocument::fromJson(text).object();
    }

    // Shows the card once and waits for the answer to be handled.
    void showAndWait(AccountCard &card, const LogCapture &log)
    {
        card.refresh();
        QTRY_VERIFY_WITH_TIMEOUT(
            log.count(QStringLiteral("Chat Quota: ")) > 0 || !card.errorMessage().isEmpty(), 10000);
    }

private slots:
    void init() { m_services.start(m_dir.filePath(QStringLiteral("s.sqlite")), 2s); }

    void cleanup() { m_services.stop(); }

    void replyMembersOrTheirFallbacks_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QStringList>("shown"); // username, phone, state, chat, translate, expiry
        QTest::addColumn<QString>("quotaLog");
        QTest::addColumn<bool>("hasAvatar");

        QTest::newRow("complete")
            << QByteArray(R"({"username":"张三","phone":"+8613800138000","state":"黄金会员",)"
                          R"("chat_quota":3.5,"translate_quota":7,"expiry_date":"2025-12-31",)"
                          "\"avatar\":\"https://cdn.example/a.png\"}")
            << QStringList{"张三", "+8613800138000", "黄金会员", "3.50", "7", "2025-12-31"}
            << "Chat Quota: 3.50" << true;
        QTest::newRow("empty object")
            << QByteArray("{}")
            << QStringList{"未知用户", "未知号码", "未知状态", "0.00", "0", "未知"}
            << "Chat Quota: 0.00 (Default Value)" << false;
        QTest::newRow("members of the wrong type")
            << QByteArray(R"({"username":5,"phone":null,"state":true,"chat_quota":"5",)"
                          R"("translate_quota":"7","expiry_date":20251231,"avatar":3})")
            << QStringList{"未知用户", "未知号码", "未知状态", "0.00", "0", "未知"}
            << "Chat Quota: 0.00 (Default Value)" << false;
        QTest::newRow("whole chat quota")
            << QByteArray(R"({"chat_quota":12,"translate_quota":0})")
            << QStringList{"未知用户", "未知号码", "未知状态", "12.00", "0", "未知"}
            << "Chat Quota: 12.00" << false;
        QTest::newRow("rounding and sign")
            << QByteArray(R"({"chat_quota":-0.005,"translate_quota":-3})")
            << QStringList{"未知用户", "未知号码", "未知状态", "-0.01", "-3", "未知"}
            << "Chat Quota: -0.01" << false;
        QTest::newRow("fractional translate days")
            << QByteArray(R"({"chat_quota":1e3,"translate_quota":7.5})")
            << QStringList{"未知用户", "未知号码", "未知状态", "1000.00", "0", "未知"}
            << "Chat Quota: 1000.00" << false;
        QTest::newRow("avatar that is no address")
            << QByteArray(R"({"avatar":"not an address"})")
            << QStringList{"未知用户", "未知号码", "未知状态", "0.00", "0", "未知"}
            << "Chat Quota: 0.00 (Default Value)" << false;
    }

    void replyMembersOrTheirFallbacks()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QStringList, shown);
        QFETCH(QString, quotaLog);
        QFETCH(bool, hasAvatar);

        m_services.server->on("/api/macos_account_info", FakeHttpServer::Response{200, reply});
        LogCapture log;
        AccountCard card;
        showAndWait(card, log);

        QCOMPARE((QStringList{card.username(), card.phone(), card.state(), card.chatQuota(),
                              card.translateQuota(), card.expiryDate()}),
                 shown);
        QCOMPARE(!card.avatarAddress().isEmpty(), hasAvatar);
        QCOMPARE(card.errorMessage(), QString());
        const QStringList lines = log.all();
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[0], QStringLiteral("Received JSON: ") +
                               QString::fromUtf8(
                                   QJsonDocument::fromJson(reply).toJson(QJsonDocument::Compact)));
        QCOMPARE(lines[1], quotaLog);
    }

    void rowsAndButtonsFollowTheAccount_data()
    {
        QTest::addColumn<QByteArray>("reply");
        // state, chat quota, translate quota, expiry highlighted; expiry row shown
        QTest::addColumn<QList<bool>>("flags");
        QTest::addColumn<QString>("stateText");
        QTest::addColumn<QString>("translateText");
        QTest::addColumn<QString>("membership");

        QTest::newRow("free, nothing left")
            << QByteArray(
                   R"({"state":"免费","chat_quota":0,"translate_quota":0,"expiry_date":"x"})")
            << QList<bool>{false, false, false, true, false} << "免费版"
            << "0天"
            << "开通会员";
        QTest::newRow("member with credit")
            << QByteArray(R"({"state":"黄金会员","chat_quota":3.5,"translate_quota":7,)"
                          R"("expiry_date":"2025-12-31"})")
            << QList<bool>{true, true, true, true, true} << "黄金会员版"
            << "7天"
            << "续费会员";
        QTest::newRow("no state is not free")
            << QByteArray("{}") << QList<bool>{true, false, false, true, true} << "未知状态版"
            << "0天"
            << "续费会员";
        QTest::newRow("credit that rounds to zero")
            << QByteArray(R"({"state":"免费","chat_quota":0.004})")
            << QList<bool>{false, false, false, true, false} << "免费版"
            << "0天"
            << "开通会员";
        QTest::newRow("negative balance is not zero")
            << QByteArray(
                   R"({"state":"免费 ","chat_quota":-2,"translate_quota":-1,"expiry_date":""})")
            << QList<bool>{true, true, true, false, true} << "免费 版"
            << "-1天"
            << "续费会员";
    }

    void rowsAndButtonsFollowTheAccount()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QList<bool>, flags);
        QFETCH(QString, stateText);
        QFETCH(QString, translateText);
        QFETCH(QString, membership);

        AccountCard card;
        card.applyAccountInfo(json(reply));
        QCOMPARE((QList<bool>{card.stateHighlighted(), card.chatQuotaHighlighted(),
                              card.translateQuotaHighlighted(), card.expiryHighlighted(),
                              card.showsExpiry()}),
                 flags);
        QCOMPARE(card.stateText(), stateText);
        QCOMPARE(card.translateQuotaText(), translateText);
        QCOMPARE(card.membershipButtonText(), membership);
    }

    void placeholdersUntilTheAnswer()
    {
        m_services.server->on("/api/macos_account_info",
                              FakeHttpServer::Response{200, R"({"state":"x"})"});
        LogCapture log;
        AccountCard card;
        showAndWait(card, log);
        QCOMPARE(card.state(), QStringLiteral("x"));

        // Showing the card again starts from the placeholders, whatever the last answer was.
        m_services.server->on("/api/macos_account_info",
                              FakeHttpServer::Response::with(Behaviour::Stall));
        card.refresh();
        QCOMPARE(card.username(), QStringLiteral("加载中..."));
        QCOMPARE(card.phone(), QStringLiteral("加载中..."));
        QCOMPARE(card.stateText(), QStringLiteral("免费版"));
        QCOMPARE(card.chatQuota(), QStringLiteral("0.00"));
        QCOMPARE(card.translateQuotaText(), QStringLiteral("0天"));
        QVERIFY(!card.showsExpiry());
        QCOMPARE(card.membershipButtonText(), QStringLiteral("开通会员"));
    }

    void failedFetchKeepsThePlaceholders_data()
    {
        QTest::addColumn<int>("behaviour");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("message");

        const QString fetch = QStringLiteral("获取信息失败，请稍后再试。");
        const QString parse = QStringLiteral("解析信息失败，请稍后再试。");
        QTest::newRow("connection reset") << int(Behaviour::Reset) << QByteArray() << fetch;
        QTest::newRow("idle time-out") << int(Behaviour::Stall) << QByteArray() << fetch;
        QTest::newRow("no data") << int(Behaviour::Answer) << QByteArray() << fetch;
        QTest::newRow("not JSON") << int(Behaviour::Answer) << QByteArray("<html>") << parse;
        QTest::newRow("array") << int(Behaviour::Answer) << QByteArray(R"([{"state":"x"}])")
                               << QString();
    }

    void failedFetchKeepsThePlaceholders()
    {
        QFETCH(int, behaviour);
        QFETCH(QByteArray, body);
        QFETCH(QString, message);

        FakeHttpServer::Response response(200, body);
        response.behaviour = Behaviour(behaviour);
        m_services.server->on("/api/macos_account_info", response);
        LogCapture log;
        AccountCard card;
        card.refresh();
        if (message.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(m_services.server->requests().size(), 1, 10000);
            QTest::qWait(300);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(card.errorMessage(), message, 10000);
        }
        QCOMPARE(card.errorMessage(), message);
        QCOMPARE(card.username(), QStringLiteral("加载中..."));
        QCOMPARE(card.state(), QStringLiteral("免费"));
        QCOMPARE(log.all(), QStringList());
    }

    void onlyTheLatestShowingCounts()
    {
        int served = 0;
        m_services.server->on(
            "/api/macos_account_info", [&served](const FakeHttpServer::Request &) {
                // The first answer is slow and would overwrite the second if it were applied.
                FakeHttpServer::Response r(200, ++served == 1 ? R"({"username":"old"})"
                                                              : R"({"username":"new"})");
                r.delayMs = served == 1 ? 400 : 0;
                return r;
            });
        LogCapture log;
        AccountCard card;
        card.refresh();
        QTRY_COMPARE_WITH_TIMEOUT(served, 1, 10000);
        card.refresh();
        QTRY_COMPARE_WITH_TIMEOUT(card.username(), QStringLiteral("new"), 10000);
        QTest::qWait(700);
        QCOMPARE(card.username(), QStringLiteral("new"));
        QCOMPARE(log.count(QStringLiteral("Received JSON: ")), 1);
    }

    void requestCarriesTheStoredUserid_data()
    {
        QTest::addColumn<QVariant>("userid"); // absent when invalid
        QTest::addColumn<QByteArray>("query");

        QTest::newRow("ordinary") << QVariant(QStringLiteral("u-42")) << QByteArray("userid=u-42");
        QTest::newRow("empty") << QVariant(QString()) << QByteArray("userid=");
        QTest::newRow("absent") << QVariant() << QByteArray("userid=");
        // Characters with a meaning in a query cannot smuggle in another parameter.
        QTest::newRow("query characters")
            << QVariant(QStringLiteral("7&admin=1 #")) << QByteArray("userid=7%26admin%3D1%20%23");
    }

    void requestCarriesTheStoredUserid()
    {
        QFETCH(QVariant, userid);
        QFETCH(QByteArray, query);

        if (userid.isValid())
            m_services.store->set(QStringLiteral("userid"), userid.toString());
        m_services.server->on("/api/macos_account_info", FakeHttpServer::Response{200, "{}"});
        AccountCard card;
        card.refresh();
        QTRY_COMPARE_WITH_TIMEOUT(m_services.server->requests().size(), 1, 10000);
        const auto request = m_services.server->requests().first();
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.query.toString(QUrl::FullyEncoded).toLatin1(), query);
        QCOMPARE(request.query.allQueryItemValues(QStringLiteral("userid")).size(), 1);

        card.openMembershipPage();
        QCOMPARE(m_services.opened.size(), 1);
        QCOMPARE(m_services.opened[0].path(), QStringLiteral("/pricing"));
        QCOMPARE(m_services.opened[0].query(QUrl::FullyEncoded).toLatin1(), query);
    }

    void linksOpenTheirPages()
    {
        AccountCard card;
        card.openFollowPage();
        card.openContactPage();
        QCOMPARE(m_services.opened,
                 (QList<QUrl>{QUrl(m_services.server->origin() + QStringLiteral("/guanzhu")),
                              QUrl(m_services.server->origin() + QStringLiteral("/contact"))}));
    }

    void signOutWritesOnlyTheLoginFlag()
    {
        m_services.store->set(QStringLiteral("isLoggedIn"), true);
        m_services.store->set(QStringLiteral("userid"), QStringLiteral("u-1"));
        m_services.store->set(QStringLiteral("phone"), QStringLiteral("+86138"));
        AccountCard card;
        QSignalSpy writes(m_services.store.get(), &SettingsStore::changed);
        card.signOut();
        QCOMPARE(writes.size(), 1);
        QCOMPARE(writes[0].at(0).toString(), QStringLiteral("isLoggedIn"));
        QVERIFY(!m_services.store->getBool(QStringLiteral("isLoggedIn"), true));
        QCOMPARE(m_services.store->getString(QStringLiteral("userid")), QStringLiteral("u-1"));
        QCOMPARE(m_services.store->getString(QStringLiteral("phone")), QStringLiteral("+86138"));
    }
};

QTEST_MAIN(TestAccountCard)
#include "tst_accountcard.moc"
