#include "postgrescluster.h"
#include "servertestkit.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

// The real talvoro-server program, as the client's tests and a person at a terminal use it.
class ServerProcessTest : public QObject {
    Q_OBJECT
private slots:
    void signInThroughTheProgram();
    void grantTopsUpAndDataSurvivesRestart();
    void twoServersKeepOneBalanceOnPostgreSQL();
    void serverStopsWhenItsDatabaseIsGone();
    void hugeBodyKeepsMemoryBounded();
    void stopLetsAnswersUnderWayFinish();
    void refusesBadCommandLines_data();
    void refusesBadCommandLines();

private:
    struct Running {
        std::unique_ptr<QProcess> process;
        QString origin;
        QByteArray output;
    };
    Running start(const QString &dataDir, const QStringList &more = {});
    QString waitForLine(Running &server, const QRegularExpression &pattern);
    QJsonObject call(const QString &url, const QJsonObject *body = nullptr);
    static void stop(Running &server);
    // A new database in `cluster`, started for it; empty, with `why`, when the test cannot have
    // one (it runs as tst_serverprocess_postgresql only).
    static QString postgresDatabase(PostgresCluster &cluster, QString *why);

    QNetworkAccessManager m_nam;
};

ServerProcessTest::Running ServerProcessTest::start(const QString &dataDir, const QStringList &more)
{
    Running server;
    server.process = std::make_unique<QProcess>();
    server.process->setProgram(QStringLiteral(TALVORO_SERVER_PATH));
    server.process->setArguments(
        QStringList{"--port", "0", "--data-dir", dataDir, "--log-level", "info"} + more);
    server.process->setProcessChannelMode(QProcess::SeparateChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &key : env.keys()) {
        if (key.startsWith("TALVORO_"))
            env.remove(key); // no provider of the developer's may leak into the test
    }
    server.process->setProcessEnvironment(env);
    server.process->start();
    if (!server.process->waitForStarted())
        return server;
    // The first line names the address, with the port the system picked.
    server.origin =
        waitForLine(server, QRegularExpression("^listening (http://127\\.0\\.0\\.1:\\d+)$"));
    return server;
}

QString ServerProcessTest::waitForLine(Running &server, const QRegularExpression &pattern)
{
    for (int i = 0; i < 200; ++i) {
        for (const QByteArray &line : server.output.split('\n')) {
            const auto m = pattern.match(QString::fromUtf8(line));
            if (m.hasMatch())
                return m.captured(1);
        }
        if (!server.process->waitForReadyRead(100) && server.process->state() != QProcess::Running)
            break;
        server.output += server.process->readAllStandardOutput();
    }
    return {};
}

QJsonObject ServerProcessTest::call(const QString &url, const QJsonObject *body)
{
    QNetworkRequest request{QUrl(url)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    QNetworkReply *reply =
        body ? m_nam.post(request, QJsonDocument(*body).toJson()) : m_nam.get(request);
    if (!reply->isFinished()) {
        QEventLoop loop;
        connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(20000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    const QJsonObject result = QJsonDocument::fromJson(reply->readAll()).object();
    reply->deleteLater();
    return result;
}

void ServerProcessTest::stop(Running &server)
{
    QCOMPARE(server.process->state(), QProcess::Running);
    ::kill(pid_t(server.process->processId()), SIGTERM);
    QVERIFY(server.process->waitForFinished(10000));
    QCOMPARE(server.process->exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.process->exitCode(), 0);
    server.output += server.process->readAllStandardOutput();
    QVERIFY(server.output.contains("\nstopped\n"));
}

QString ServerProcessTest::postgresDatabase(PostgresCluster &cluster, QString *why)
{
    QString database;
    if (qEnvironmentVariable("TALVORO_TEST_ENGINE") != u"postgresql")
        *why = QStringLiteral("runs as tst_serverprocess_postgresql");
    else if (!cluster.start() || (database = cluster.newDatabase()).isEmpty())
        *why = QStringLiteral("PostgreSQL could not start: ") + cluster.why();
    return database;
}

void ServerProcessTest::signInThroughTheProgram()
{
    QTemporaryDir dir;
    Running server = start(dir.path());
    QVERIFY2(!server.origin.isEmpty(), server.output.constData());

    const QJsonObject phone{{"phone", "+8613700000001"}};
    call(server.origin + "/api/send-code", &phone);
    const QString code =
        waitForLine(server, QRegularExpression("^sms-code phone=\\+8613700000001 code=(\\d{6})$"));
    QCOMPARE(code.size(), 6);
    const QJsonObject login{{"phone", "+8613700000001"}, {"code", code}};
    const QJsonObject profile = call(server.origin + "/api/login-register", &login);
    QCOMPARE(profile.value("message").toString(), QStringLiteral("登录成功！"));
    QCOMPARE(call(server.origin + "/api/check_quota?phone=%2B8613700000001").value("hasQuota"),
             QJsonValue(true));
    stop(server);
}

void ServerProcessTest::grantTopsUpAndDataSurvivesRestart()
{
    QTemporaryDir dir;
    QProcess grant;
    grant.start(QStringLiteral(TALVORO_SERVER_PATH),
                {"grant", "+8613700000002", "250.5", "--data-dir", dir.path()});
    QVERIFY(grant.waitForFinished(10000));
    QCOMPARE(grant.exitCode(), 0);

    Running server = start(dir.path());
    QVERIFY(!server.origin.isEmpty());
    const QJsonObject phone{{"phone", "+8613700000002"}};
    call(server.origin + "/api/send-code", &phone);
    const QString code =
        waitForLine(server, QRegularExpression("^sms-code phone=\\+8613700000002 code=(\\d{6})$"));
    const QJsonObject login{{"phone", "+8613700000002"}, {"code", code}};
    const QJsonObject profile = call(server.origin + "/api/login-register", &login);
    const QString userid = profile.value("userid").toString();
    QVERIFY(!userid.isEmpty());
    const QJsonObject deduct{{"phone", "+8613700000002"}, {"amount", 0.5}};
    call(server.origin + "/api/deduct_quota", &deduct);
    stop(server);

    // A second grant, then a new server on the same data sees everything.
    grant.start(QStringLiteral(TALVORO_SERVER_PATH),
                {"grant", "+8613700000002", "100", "--data-dir", dir.path()});
    QVERIFY(grant.waitForFinished(10000));
    QCOMPARE(grant.exitCode(), 0);
    Running again = start(dir.path());
    const QJsonObject info = call(again.origin + "/api/macos_account_info?userid=" + userid);
    QCOMPARE(info.value("chat_quota").toDouble(), 500 + 250.5 - 0.5 + 100);
    stop(again);
}

// Servers sharing one PostgreSQL database keep one exact balance: every deduction is a single
// UPDATE in the database, never a read and a write in a server.
void ServerProcessTest::twoServersKeepOneBalanceOnPostgreSQL()
{
    PostgresCluster cluster;
    QString why;
    const QString database = postgresDatabase(cluster, &why);
    if (database.isEmpty())
        QSKIP(qPrintable(why));
    QTemporaryDir dir;
    QProcess grant;
    grant.start(QStringLiteral(TALVORO_SERVER_PATH),
                {"grant", "+8613700000004", "1000", "--database", database});
    QVERIFY(grant.waitForFinished(10000));
    QCOMPARE(grant.exitCode(), 0);

    Running first = start(dir.path(), {"--database", database});
    Running second = start(dir.path(), {"--database", database});
    QVERIFY2(!first.origin.isEmpty() && !second.origin.isEmpty(), second.output.constData());
    constexpr double amount = 0.25; // exact in binary: the order of subtraction does not matter
    QCOMPARE(TestHttp::deductConcurrently({first.origin, second.origin}, "+8613700000004", 100, 10,
                                          amount),
             0);
    const QJsonObject phone{{"phone", "+8613700000004"}};
    call(first.origin + "/api/send-code", &phone);
    const QString code =
        waitForLine(first, QRegularExpression("^sms-code phone=\\+8613700000004 code=(\\d{6})$"));
    const QJsonObject login{{"phone", "+8613700000004"}, {"code", code}};
    const QString userid =
        call(second.origin + "/api/login-register", &login).value("userid").toString();
    QVERIFY(!userid.isEmpty());
    const QJsonObject info = call(second.origin + "/api/macos_account_info?userid=" + userid);
    QCOMPARE(info.value("chat_quota").toDouble(), 500 + 1000 - 1000 * amount);
    stop(first);
    stop(second);
}

// PostgreSQL restarted: the connection is gone for good, so the server stops with a failure
// status for its service manager to start it again, rather than answer 500 from then on.
void ServerProcessTest::serverStopsWhenItsDatabaseIsGone()
{
    PostgresCluster cluster;
    QString why;
    const QString database = postgresDatabase(cluster, &why);
    if (database.isEmpty())
        QSKIP(qPrintable(why));
    QTemporaryDir dir;
    Running server = start(dir.path(), {"--database", database});
    QVERIFY2(!server.origin.isEmpty(), server.output.constData());
    QCOMPARE(call(server.origin + "/healthz").value("status").toString(), QStringLiteral("ok"));
    cluster.stop();
    QVERIFY(server.process->waitForFinished(30000));
    QCOMPARE(server.process->exitCode(), 1);
}

void ServerProcessTest::hugeBodyKeepsMemoryBounded()
{
    QTemporaryDir dir;
    Running server = start(dir.path());
    QVERIFY(!server.origin.isEmpty());
    const QUrl origin(server.origin);
    QTcpSocket client;
    client.connectToHost(origin.host(), quint16(origin.port()));
    QVERIFY(client.waitForConnected());
    constexpr qint64 total = 300LL * 1024 * 1024;
    client.write("POST /api/check_quota HTTP/1.1\r\nHost: t\r\nContent-Length: " +
                 QByteArray::number(total) + "\r\n\r\n");
    const QByteArray mebibyte(1024 * 1024, '0');
    for (qint64 sent = 0; sent < total && client.state() == QAbstractSocket::ConnectedState;
         sent += mebibyte.size()) {
        client.write(mebibyte);
        client.waitForBytesWritten(10000);
    }
    client.waitForReadyRead(2000);
    QVERIFY2(client.readAll().startsWith("HTTP/1.1 413 "), "refused as too large");

    QFile status(QStringLiteral("/proc/%1/status").arg(server.process->processId()));
    QVERIFY(status.open(QIODevice::ReadOnly));
    const auto peak = QRegularExpression("VmHWM:\\s+(\\d+) kB").match(status.readAll());
    QVERIFY(peak.hasMatch());
    QVERIFY2(peak.captured(1).toLongLong() < 100 * 1024, qPrintable(peak.captured(0)));
    stop(server);
}

// SIGTERM: no new connections; an answer under way is finished, then the server exits cleanly.
void ServerProcessTest::stopLetsAnswersUnderWayFinish()
{
    QTemporaryDir dir;
    Running server = start(dir.path(), {"--demo-interval", "40"});
    QVERIFY(!server.origin.isEmpty());
    QNetworkRequest request{QUrl(server.origin + "/api/proxy_openai2")};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    QNetworkReply *reply =
        m_nam.post(request, QByteArray(R"({"model":"gpt-4o","userMessage":"a","systemMessage":"",)"
                                       R"("context":"a"})"));
    QByteArray body;
    connect(reply, &QNetworkReply::readyRead, [&] { body += reply->readAll(); });
    QVERIFY(QTest::qWaitFor([&] { return !body.isEmpty(); }, 20000));
    ::kill(pid_t(server.process->processId()), SIGTERM);
    const QUrl origin(server.origin);
    QVERIFY(QTest::qWaitFor(
        [&] {
            QTcpSocket late;
            late.connectToHost(origin.host(), quint16(origin.port()));
            return !late.waitForConnected(1000);
        },
        20000));

    QVERIFY(QTest::qWaitFor([&] { return reply->isFinished(); }, 20000));
    body += reply->readAll();
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QVERIFY(body.endsWith("data: [DONE]\n\n"));
    reply->deleteLater();
    QVERIFY(server.process->state() == QProcess::NotRunning ||
            server.process->waitForFinished(20000));
    QCOMPARE(server.process->exitCode(), 0);
    QVERIFY(server.process->readAllStandardOutput().endsWith("\nstopped\n"));
}

void ServerProcessTest::refusesBadCommandLines_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("port out of range") << QStringList{"--port", "70000"};
    QTest::newRow("not an address") << QStringList{"--listen", "localhost:1"};
    QTest::newRow("unknown level") << QStringList{"--log-level", "loud"};
    QTest::newRow("grant without amount") << QStringList{"grant", "+8613700000003"};
    QTest::newRow("negative grant") << QStringList{"grant", "+8613700000003", "-5"};
    QTest::newRow("unknown command") << QStringList{"serve-forever"};
    QTest::newRow("no connections") << QStringList{"--max-connections", "0"};
    QTest::newRow("unknown database") << QStringList{"--database", "mysql://u@h/d"};
    QTest::newRow("database unreachable")
        << QStringList{"--database", "postgresql://u@127.0.0.1:1/d"};
}

void ServerProcessTest::refusesBadCommandLines()
{
    QFETCH(QStringList, arguments);
    QTemporaryDir dir;
    QProcess process;
    process.start(QStringLiteral(TALVORO_SERVER_PATH),
                  arguments + QStringList{"--data-dir", dir.path()});
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY(process.exitCode() != 0);
    QVERIFY(!process.readAllStandardError().isEmpty());
}

QTEST_GUILESS_MAIN(ServerProcessTest)
#include "tst_serverprocess.moc"
