#include "postgrescluster.h"
#include "serverprocess.h"
#include "servertestkit.h"

using namespace Qt::StringLiterals;

// The real talvoro-server program, as the client's tests and a person at a terminal use it.
class ServerProcessTest : public QObject {
    Q_OBJECT
private slots:
    // Grants top accounts up; a stop while an answer is under way takes no new connections but
    // finishes the answer, then the server exits cleanly; a new server on the same data sees it
    // all.
    void dataOutlivesAGracefulStop()
    {
        QTemporaryDir dir;
        const QString phone = u"+8613700000002"_s;
        QCOMPARE(run({"grant", phone, "250.5", "--data-dir", dir.path()}), 0);
        ServerProcess server;
        const QUrl origin(server.start(dir.path(), {"--demo-interval", "40"}));
        QVERIFY2(origin.isValid(), server.output().constData());
        const QString userid = signIn(server, server, phone);
        QVERIFY(!userid.isEmpty());
        const QJsonObject deduct = withPhone(phone, {{"amount", 0.5}});
        QCOMPARE(m_http.post(server.url("/api/deduct_quota"), deduct).status, 200);

        QNetworkReply *reply = m_http.start(
            server.url("/api/proxy_openai2"),
            R"({"model":"gpt-4o","userMessage":"a","systemMessage":"","context":"a"})");
        QByteArray body;
        connect(reply, &QNetworkReply::readyRead, [&] { body += reply->readAll(); });
        QVERIFY(QTest::qWaitFor([&] { return !body.isEmpty(); }, 20000));
        QVERIFY(!reply->isFinished()); // the demo answer comes in pieces
        ::kill(pid_t(server.process().processId()), SIGTERM);
        QVERIFY(QTest::qWaitFor(
            [&] {
                QTcpSocket late;
                late.connectToHost(origin.host(), quint16(origin.port()));
                return !late.waitForConnected(1000);
            },
            20000));
        const ServerReply answer = TestHttp::wait(reply);
        QCOMPARE(answer.error, QNetworkReply::NoError);
        QVERIFY((body + answer.body).endsWith("data: [DONE]\n\n"));
        QVERIFY(server.process().waitForFinished(20000) ||
                server.process().state() == QProcess::NotRunning);
        stopCleanly(server);

        QCOMPARE(run({"grant", phone, "100", "--data-dir", dir.path()}), 0);
        ServerProcess again;
        QVERIFY(!again.start(dir.path()).isEmpty());
        QCOMPARE(m_http.balance(again.url({}), userid), 500 + 250.5 - 0.5 + 100);
        stopCleanly(again);
    }

    // Servers sharing one PostgreSQL database keep one exact balance: every deduction is a single
    // UPDATE in the database, never a read and a write in a server. When PostgreSQL restarts, the
    // connection is gone for good, so each server stops with a failure status for its service
    // manager to start it again, rather than answer 500 from then on.
    void twoServersShareOnePostgreSQLDatabase()
    {
        PostgresCluster cluster;
        QString database;
        if (qEnvironmentVariable("TALVORO_TEST_ENGINE") != u"postgresql")
            QSKIP("runs as tst_serverprocess_postgresql");
        if (!cluster.start() || (database = cluster.newDatabase()).isEmpty())
            QSKIP(qPrintable("PostgreSQL could not start: " + cluster.why()));
        QTemporaryDir dir;
        const QString phone = u"+8613700000004"_s;
        QCOMPARE(run({"grant", phone, "1000", "--database", database}), 0);
        ServerProcess first, second;
        QVERIFY(!first.start(dir.path(), {"--database", database}).isEmpty());
        QVERIFY2(!second.start(dir.path(), {"--database", database}).isEmpty(),
                 second.output().constData());
        // 0.25 is exact in binary: the order of subtraction does not matter.
        QCOMPARE(
            TestHttp::deductConcurrently({first.url({}), second.url({})}, phone, 100, 10, 0.25), 0);
        // A code one server sent lets the account in through the other.
        const QString userid = signIn(first, second, phone);
        QVERIFY(!userid.isEmpty());
        QCOMPARE(m_http.balance(second.url({}), userid), 500 + 1000 - 1000 * 0.25);

        cluster.stop();
        for (ServerProcess *server : {&first, &second}) {
            QVERIFY(server->process().waitForFinished(30000));
            QCOMPARE(server->process().exitCode(), 1);
        }
    }

    void hugeBodyKeepsMemoryBounded()
    {
        QTemporaryDir dir;
        ServerProcess server;
        const QUrl origin(server.start(dir.path()));
        QVERIFY(origin.isValid());
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

        QFile status(u"/proc/%1/status"_s.arg(server.process().processId()));
        QVERIFY(status.open(QIODevice::ReadOnly));
        const auto peak = QRegularExpression("VmHWM:\\s+(\\d+) kB").match(status.readAll());
        QVERIFY(peak.hasMatch());
        QVERIFY2(peak.captured(1).toLongLong() < 100 * 1024, qPrintable(peak.captured(0)));
        stopCleanly(server);
    }

    void refusesBadCommandLines()
    {
        QTemporaryDir dir;
        for (const char *line :
             {"--port 70000", "--listen localhost:1", "--log-level loud", "grant +8613700000003",
              "grant +8613700000003 -5", "serve-forever", "--max-connections 0",
              "--database mysql://u@h/d", "--database postgresql://u@127.0.0.1:1/d",
              "--max-charge 0", "--max-charge inf", "--max-connections-per-address 0"}) {
            QByteArray error;
            const QStringList arguments =
                QString(line).split(' ') + QStringList{"--data-dir", dir.path()};
            QVERIFY2(run(arguments, &error) > 0 && !error.isEmpty(), line);
        }
    }

private:
    // Runs the program to its end and returns its exit code, -1 when it did not end by itself.
    static int run(const QStringList &arguments, QByteArray *error = nullptr)
    {
        QProcess process;
        process.start(QStringLiteral(TALVORO_SERVER_PATH), arguments);
        const bool ended = process.waitForFinished(10000);
        if (error)
            *error = process.readAllStandardError();
        return ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    // Asks `codes` for a code for `phone`, signs in with it at `at` and returns the user id.
    QString signIn(ServerProcess &codes, ServerProcess &at, const QString &phone)
    {
        m_http.post(codes.url("/api/send-code"), QJsonObject{{"phone", phone}});
        const QJsonObject login{{"phone", phone}, {"code", codes.codeFor(phone)}};
        return m_http.post(at.url("/api/login-register"), login).json().value("userid").toString();
    }

    // Stops the server unless it has stopped already; either way it ended well.
    static void stopCleanly(ServerProcess &server)
    {
        server.stop();
        QCOMPARE(server.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.process().exitCode(), 0);
        QVERIFY(server.output().endsWith("\nstopped\n"));
    }

    TestHttp m_http;
};

QTEST_GUILESS_MAIN(ServerProcessTest)
#include "tst_serverprocess.moc"
