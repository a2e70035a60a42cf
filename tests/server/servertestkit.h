#pragma once

#include "serverclock.h"
#include "serverlog.h"
#include "talvoroserver.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

// A clock the test moves by hand.
class ManualClock : public ServerClock {
public:
    qint64 nowMs() const override { return m_now; }
    void advance(qint64 ms) { m_now += ms; }

private:
    qint64 m_now = 1'700'000'000'000;
};

// Keeps every server log line written while it lives.
class ServerLogCapture {
public:
    ServerLogCapture()
    {
        lines().clear();
        ServerLog::setSink(&ServerLogCapture::record);
    }
    ~ServerLogCapture() { ServerLog::setSink(nullptr); }

    // The code of the last "sms-code" line for `phone`, empty when none.
    QString lastCode(const QString &phone) const
    {
        static const QRegularExpression pattern(
            QStringLiteral("^sms-code phone=(\\S+) code=(\\d{6})$"));
        QString code;
        for (const QString &line : lines()) {
            const auto m = pattern.match(line);
            if (m.hasMatch() && m.captured(1) == phone)
                code = m.captured(2);
        }
        return code;
    }

private:
    static void record(const QString &line) { lines().append(line); }
    static QStringList &lines()
    {
        static QStringList l;
        return l;
    }
};

struct ServerReply {
    int status = 0;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QByteArray body;
    QByteArray contentType;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

// Plain blocking HTTP calls for tests (the event loop keeps running, so an in-process server
// answers meanwhile).
class TestHttp {
public:
    // Sent with every request, e.g. {"Authorization", "Bearer …"}.
    QHash<QByteArray, QByteArray> headers;

    ServerReply get(const QString &url) { return wait(m_nam.get(prepared(url))); }
    ServerReply post(const QString &url, const QByteArray &body)
    {
        QNetworkRequest request = prepared(url);
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/json"));
        return wait(m_nam.post(request, body));
    }
    ServerReply post(const QString &url, const QJsonObject &body)
    {
        return post(url, QJsonDocument(body).toJson(QJsonDocument::Compact));
    }
    ServerReply send(const QByteArray &verb, const QString &url)
    {
        return wait(m_nam.sendCustomRequest(prepared(url), verb));
    }

    static ServerReply wait(QNetworkReply *reply, int timeoutMs = 20000)
    {
        QEventLoop loop;
        QTimer::singleShot(timeoutMs, &loop, [reply] { reply->abort(); });
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        if (!reply->isFinished())
            loop.exec();
        ServerReply r;
        r.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        r.error = reply->error();
        r.body = reply->readAll();
        r.contentType = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
        reply->deleteLater();
        return r;
    }

    QNetworkAccessManager &nam() { return m_nam; }

    QNetworkRequest prepared(const QString &url) const
    {
        QNetworkRequest request{QUrl(url)};
        for (auto it = headers.cbegin(); it != headers.cend(); ++it)
            request.setRawHeader(it.key(), it.value());
        return request;
    }

    // `clients` connections at once, each posting `perClient` deductions of `amount` from
    // `phone` one after another, spread over the servers at `origins`. Returns how many were
    // not answered with 200.
    static int deductConcurrently(const QStringList &origins, const QString &phone, int clients,
                                  int perClient, double amount)
    {
        std::vector<std::unique_ptr<QNetworkAccessManager>> nams;
        int finished = 0;
        int failures = 0;
        QEventLoop loop;
        const QByteArray body =
            QJsonDocument(QJsonObject{{"phone", phone}, {"amount", amount}}).toJson();
        std::function<void(QNetworkAccessManager *, const QString &, int)> next =
            [&](QNetworkAccessManager *nam, const QString &origin, int left) {
                QNetworkRequest request{QUrl(origin + "/api/deduct_quota")};
                request.setHeader(QNetworkRequest::ContentTypeHeader,
                                  QByteArrayLiteral("application/json"));
                QNetworkReply *reply = nam->post(request, body);
                QObject::connect(
                    reply, &QNetworkReply::finished, &loop, [&, reply, nam, origin, left] {
                        if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() !=
                            200)
                            ++failures;
                        reply->deleteLater();
                        if (left > 1)
                            next(nam, origin, left - 1);
                        else if (++finished == clients)
                            loop.quit();
                    });
            };
        for (int i = 0; i < clients; ++i) {
            nams.push_back(std::make_unique<QNetworkAccessManager>());
            next(nams.back().get(), origins.at(i % origins.size()), perClient);
        }
        QTimer::singleShot(120000, &loop, &QEventLoop::quit);
        loop.exec();
        return failures + (clients - finished) * perClient;
    }

private:
    QNetworkAccessManager m_nam;
};

// One connection on which a test writes raw bytes, for what no well-behaved client sends. The
// answers are read as the server sends them (each framed by Content-Length or chunked).
class RawClient {
public:
    explicit RawClient(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        QObject::connect(&socket, &QTcpSocket::disconnected, [this] { closed = true; });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    void send(const QByteArray &bytes) { socket.write(bytes); }
    bool waitClosed()
    {
        return QTest::qWaitFor([this] { return closed; }, 20000);
    }
    bool waitAnswers(int count)
    {
        return QTest::qWaitFor([&] { return statuses().size() >= count; }, 20000);
    }
    // The status of each complete answer so far.
    QList<int> statuses() const
    {
        QList<int> found;
        qsizetype pos = 0;
        while (pos < received.size()) {
            const qsizetype end = received.indexOf("\r\n\r\n", pos);
            if (end < 0)
                break;
            const QByteArray head = received.mid(pos, end - pos).toLower();
            qsizetype next = end + 4;
            if (head.contains("transfer-encoding: chunked")) {
                const qsizetype last = received.indexOf("\r\n0\r\n\r\n", next);
                if (last < 0)
                    break;
                next = last + 7;
            } else {
                const qsizetype at = head.indexOf("content-length:");
                next += at < 0 ? 0 : head.mid(at + 15).split('\r').first().trimmed().toLongLong();
                if (next > received.size())
                    break;
            }
            found.append(received.mid(pos + 9, 3).toInt());
            pos = next;
        }
        return found;
    }

    QTcpSocket socket;
    QByteArray received;
    bool closed = false;
};

// A server in this process on a free loopback port, with a temporary data directory and, unless
// a test chose another engine with useDatabases(), its SQLite file there.
class TestServer {
public:
    using Tweak = std::function<void(TalvoroServer::Options &)>;

    explicit TestServer(const ProviderConfig &providers = {}, double startingBalance = 500,
                        const Tweak &tweak = {})
    {
        TalvoroServer::Options options;
        options.dataDirectory = m_dir.path();
        if (databases())
            options.database = databases()();
        options.startingBalance = startingBalance;
        options.providers = providers;
        options.clock = &clock;
        if (tweak)
            tweak(options);
        server = std::make_unique<TalvoroServer>(options);
        QString error;
        if (server->open(&error))
            port = server->listen(QHostAddress::LocalHost, 0);
    }
    QString url(const QString &path) const { return server->origin() + path; }

    // Signs `phone` in and returns the sign-in reply.
    QJsonObject signIn(TestHttp &http, const QString &phone)
    {
        http.post(url(QStringLiteral("/api/send-code")), QJsonObject{{"phone", phone}});
        const QString code = log.lastCode(phone);
        clock.advance(CodeIssuerResend); // the next sign-in of the test may ask again
        return http
            .post(url(QStringLiteral("/api/login-register")),
                  QJsonObject{{"phone", phone}, {"code", code}})
            .json();
    }

    // Where each new server keeps its data: the address of a fresh database, or empty for SQLite.
    static std::function<QString()> &databases()
    {
        static std::function<QString()> make;
        return make;
    }

    static constexpr qint64 CodeIssuerResend = 61 * 1000;
    QTemporaryDir m_dir;
    ManualClock clock;
    ServerLogCapture log;
    std::unique_ptr<TalvoroServer> server;
    quint16 port = 0;
};
