#include "account/accountcard.h"
#include "accountservices.h"
#include "logcapture.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;
using Behaviour = FakeHttpServer::Behaviour;
using Response = FakeHttpServer::Response;

Q_DECLARE_METATYPE(Response)

class TestAccountCard : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    AccountServices m_services;

    // A JSON text written with single quotes, which moc's reading of raw strings trips over.
    static QByteArray json(const char *text) { return QByteArray(text).replace('\'', '"'); }

    static QStringList shown(const AccountCard &card)
    {
        return {card.username(),  card.phone(),          card.state(),
                card.chatQuota(), card.translateQuota(), card.expiryDate()};
    }

private slots:
    void init() { m_services.start(m_dir.filePath(QStringLiteral("s.sqlite")), 2s); }
    void cleanup() { m_services.stop(); }

    // What the card shows of an answer, what it highlights, and the two lines it logs.
    void answerShown_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QStringList>("shown"); // username, phone, state, chat, translate, expiry
        QTest::addColumn<QString>("quotaLog");
        // f: free account, c/t/e: chat quota, translate quota, expiry highlighted, a: avatar
        QTest::addColumn<QString>("flags");

        const QStringList unknown{"未知用户", "未知号码", "未知状态", "0.00", "0", "未知"};
        QTest::newRow("complete member")
            << json("{'username':'张三','phone':'+8613800138000','state':'黄金会员',"
                    "'chat_quota':3.5,'translate_quota':7,'expiry_date':'2025-12-31',"
                    "'avatar':'https://cdn.example/a.png'}")
            << QStringList{"张三", "+8613800138000", "黄金会员", "3.50", "7", "2025-12-31"}
            << "Chat Quota: 3.50"
            << "ctea";
        // No state is not the free state.
        QTest::newRow("nothing but an avatar that is no address")
            << json("{'avatar':'not an address'}") << unknown << "Chat Quota: 0.00 (Default Value)"
            << "e";
        QTest::newRow("members of the wrong type")
            << json("{'username':5,'phone':null,'state':true,'chat_quota':'5',"
                    "'translate_quota':'7','expiry_date':20251231,'avatar':3}")
            << unknown << "Chat Quota: 0.00 (Default Value)"
            << "e";
        QTest::newRow("whole chat quota")
            << json("{'chat_quota':12,'translate_quota':0}")
            << QStringList{"未知用户", "未知号码", "未知状态", "12.00", "0", "未知"}
            << "Chat Quota: 12.00"
            << "ce";
        QTest::newRow("free, credit that rounds to zero, fractional days")
            << json("{'state':'免费','chat_quota':0.004,'translate_quota':7.5,"
                    "'expiry_date':'x'}")
            << QStringList{"未知用户", "未知号码", "免费", "0.00", "0", "x"} << "Chat Quota: 0.00"
            << "fe";
        QTest::newRow("negative balance, rounding, a state that is nearly free")
            << json("{'state':'免费 ','chat_quota':-0.005,'translate_quota':-3,"
                    "'expiry_date':''}")
            << QStringList{"未知用户", "未知号码", "免费 ", "-0.01", "-3", ""}
            << "Chat Quota: -0.01"
            << "ct";
    }

    void answerShown()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QStringList, shown);
        QFETCH(QString, quotaLog);
        QFETCH(QString, flags);

        LogCapture log;
        AccountCard card;
        HttpResult result;
        result.status = 200;
        result.body = reply;
        card.handleReply(result);

        QCOMPARE(TestAccountCard::shown(card), shown);
        QCOMPARE(card.errorMessage(), QString());
        QCOMPARE(log.all(),
                 (QStringList{QStringLiteral("Received JSON: ") +
                                  QString::fromUtf8(QJsonDocument::fromJson(reply).toJson(
                                      QJsonDocument::Compact)),
                              quotaLog}));
        const bool free = flags.contains(u'f');
        QCOMPARE(card.isFree(), free);
        QCOMPARE(card.showsExpiry(), !free);
        QCOMPARE(card.stateHighlighted(), !free);
        QCOMPARE(card.chatQuotaHighlighted(), flags.contains(u'c'));
        QCOMPARE(card.translateQuotaHighlighted(), flags.contains(u't'));
        QCOMPARE(card.expiryHighlighted(), flags.contains(u'e'));
        QCOMPARE(!card.avatarAddress().isEmpty(), flags.contains(u'a'));
        QCOMPARE(card.membershipButtonText(),
                 free ? QStringLiteral("开通会员") : QStringLiteral("续费会员"));
    }

    void placeholdersUntilTheAnswer()
    {
        m_services.server->on("/api/macos_account_info", Response{200, json("{'state':'x'}")});
        AccountCard card;
        card.refresh();
        QTRY_COMPARE_WITH_TIMEOUT(card.state(), QStringLiteral("x"), 10000);

        // Showing the card again starts from the placeholders, whatever the last answer was.
        m_services.server->on("/api/macos_account_info", Response::with(Behaviour::Stall));
        card.refresh();
        QCOMPARE(shown(card),
                 (QStringList{"加载中...", "加载中...", "免费", "0.00", "0", "加载中..."}));
        QVERIFY(card.isFree() && !card.showsExpiry());
        QCOMPARE(card.membershipButtonText(), QStringLiteral("开通会员"));
    }

    void failedFetchKeepsThePlaceholders_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<QString>("message");
        const QString fetch = QStringLiteral("获取信息失败，请稍后再试。");
        QTest::newRow("connection reset") << Response::with(Behaviour::Reset) << fetch;
        QTest::newRow("no data") << Response{200, ""} << fetch;
        QTest::newRow("not JSON") << Response{200, "<html>"}
                                  << QStringLiteral("解析信息失败，请稍后再试。");
        QTest::newRow("array") << Response{200, json("[{'state':'x'}]")} << QString();
    }

    void failedFetchKeepsThePlaceholders()
    {
        QFETCH(Response, response);
        QFETCH(QString, message);
        m_services.server->on("/api/macos_account_info", response);
        LogCapture log;
        AccountCard card;
        card.refresh();
        if (message.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(m_services.server->requests().size(), 1, 10000);
            QTest::qWait(300);
        }
        QTRY_COMPARE_WITH_TIMEOUT(card.errorMessage(), message, 10000);
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
                Response r(200, json(++served == 1 ? "{'username':'old'}" : "{'username':'new'}"));
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
        m_services.server->on("/api/macos_account_info", Response{200, "{}"});
        AccountCard card;
        card.refresh();
        QTRY_COMPARE_WITH_TIMEOUT(m_services.server->requests().size(), 1, 10000);
        const auto request = m_services.server->requests().first();
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.query.toString(QUrl::FullyEncoded).toLatin1(), query);
        QCOMPARE(request.query.allQueryItemValues(QStringLiteral("userid")).size(), 1);

        card.openMembershipPage();
        card.openFollowPage();
        const QString origin = m_services.server->origin();
        QCOMPARE(m_services.opened, (QList<QUrl>{QUrl(origin + QStringLiteral("/pricing?") +
                                                      QString::fromLatin1(query)),
                                                 QUrl(origin + QStringLiteral("/guanzhu"))}));
    }

    void signOutWritesOnlyTheLoginFlag()
    {
        m_services.store->set(QStringLiteral("isLoggedIn"), true);
        m_services.store->set(QStringLiteral("userid"), QStringLiteral("u-1"));
        AccountCard card;
        QSignalSpy writes(m_services.store.get(), &SettingsStore::changed);
        card.signOut();
        QCOMPARE(writes.size(), 1);
        QCOMPARE(writes[0].at(0).toString(), QStringLiteral("isLoggedIn"));
        QVERIFY(!m_services.store->getBool(QStringLiteral("isLoggedIn"), true));
        QCOMPARE(m_services.store->getString(QStringLiteral("userid")), QStringLiteral("u-1"));
    }
};

QTEST_MAIN(TestAccountCard)
#include "tst_accountcard.moc"
