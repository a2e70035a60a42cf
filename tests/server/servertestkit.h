#pragma once

#include "serverclock.h"
#include "serverlog.h"
#include "talvoroserver.h"

#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
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
struct ManualClock : ServerClock {
    qint64 nowMs() const override { return now; }
    qint64 now = 1'700'000'000'000;
};

// {"phone": phone} and `more`.
inline QJsonObject withPhone(const QString &phone, QJsonObject more = {})
{
    more.insert("phone", phone);
    return more;
}

struct ServerReply {
    int status = 0;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QByteArray body;
    QByteArray contentType;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    // The status of an answer that gives its reason in "error", 0 for any other answer.
    int errorStatus() const { return json().value("error").isString() ? status : 0; }
};

// Plain blocking HTTP calls for tests (the event loop keeps running, so an in-process server
// answers meanwhile).
class TestHttp {
public:
    // Sent with every request, e.g. {"Authorization", "Bearer …"}.
    QHash<QByteArray, QByteArray> headers;

    ServerReply get(const QString &url) { return wait(m_nam.get(prepared(url))); }
    ServerReply post(const QString &url, const QByteArray &body) { return wait(start(url, body)); }
    ServerReply post(const QString &url, const QJsonObject &body)
    {
        return post(url, QJsonDocument(body).toJson(QJsonDocument::Compact));
    }
    // The balance on the account card of `userid` at the server at `origin`.
    double balance(const QString &origin, const QString &userid)
    {
        const ServerReply card = get(origin + "/api/macos_account_info?userid=" + userid);
        return card.json().value("chat_quota").toDouble();
    }
    // A post whose answer the caller reads as it comes.
    QNetworkReply *start(const QString &url, const QByteArray &b)
    {
        return m_nam.post(prepared(url), b);
    }

    static ServerReply wait(QNetworkReply *reply, int timeoutMs = 20000)
    {
        QEventLoop loop;
        QTimer::singleShot(timeoutMs, &loop, [reply] { reply->abort(); });
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        if (!reply->isFinished())
            loop.exec();
        reply->deleteLater();
        return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->error(),
                reply->readAll(), reply->header(QNetworkRequest::ContentTypeHeader).toByteArray()};
    }

    QNetworkRequest prepared(const QString &url) const
    {
        QNetworkRequest request{QUrl(url)};
        request.setRawHeader("Content-Type", "application/json");
        for (auto it = headers.cbegin(); it != headers.cend(); ++it)
            request.setRawHeader(it.key(), it.value());
        return request;
    }

    // `clients` clients at once (each with connections of its own), each posting `perClient`
    // deductions of `amount` from `phone`, spread over the servers at `origins`. Returns how
    // many were not answered with 200.
    static int deductConcurrently(const QStringList &origins, const QString &phone, int clients,
                                  int perClient, double amount)
    {
        std::vector<TestHttp> all(clients);
        QList<QNetworkReply *> replies;
        const QByteArray body = QJsonDocument(withPhone(phone, {{"amount", amount}})).toJson();
        for (int i = 0; i < clients * perClient; ++i) {
            const QString origin = origins.at(i % clients % origins.size());
            replies.append(all[i % clients].start(origin + "/api/deduct_quota", body));
        }
        int failures = 0;
        for (QNetworkReply *reply : replies)
            failures += wait(reply, 120000).status != 200;
        return failures;
    }

private:
    QNetworkAccessManager m_nam;
};

// One connection on which a test writes raw bytes, for what no well-behaved client sends.
class RawClient {
public:
    explicit RawClient(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        QObject::connect(&socket, &QTcpSocket::disconnected, [this] { closed = true; });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    void send(const QByteArray &bytes) { socket.write(bytes); }
    // Writes `pattern` over and over, `total` bytes in all, a piece once the last one has gone
    // out, while the connection is open: the test's own memory stays small.
    void stream(const QByteArray &pattern, qint64 total)
    {
        const auto next = [this, pattern, total] {
            if (m_streamed >= total || socket.state() != QAbstractSocket::ConnectedState ||
                socket.bytesToWrite() > 0)
                return;
            m_streamed +=
                socket.write(pattern.left(qMin<qint64>(pattern.size(), total - m_streamed)));
        };
        QObject::connect(&socket, &QTcpSocket::bytesWritten, next);
        next();
    }
    bool waitClosed()
    {
        return QTest::qWaitFor([this] { return closed; }, 20000);
    }
    bool waitAnswers(int n)
    {
        return QTest::qWaitFor([&] { return statuses().size() >= n; });
    }
    // The status of each answer begun so far (no answer here holds a status line in its body).
    QList<int> statuses() const
    {
        static const QRegularExpression statusLine("HTTP/1\\.1 (\\d{3}) ");
        QList<int> found;
        for (const auto &m : statusLine.globalMatch(QString::fromLatin1(received)))
            found.append(m.captured(1).toInt());
        return found;
    }

    QTcpSocket socket;
    QByteArray received;
    bool closed = false;

private:
    qint64 m_streamed = 0;
};

// How far this process's peak memory rose since it was made.
class PeakMemory {
public:
    PeakMemory()
    {
        // Linux resets the peak to what is in use now.
        if (QFile reset("/proc/self/clear_refs"); reset.open(QIODevice::WriteOnly))
            reset.write("5");
        m_start = peakKiB();
    }
    qint64 growthMiB() const { return (peakKiB() - m_start) / 1024; }

private:
    static qint64 peakKiB()
    {
        QFile status("/proc/self/status");
        if (!status.open(QIODevice::ReadOnly))
            return 0;
        static const QRegularExpression peak("VmHWM:\\s+(\\d+) kB");
        return peak.match(QString::fromLatin1(status.readAll())).captured(1).toLongLong();
    }
    qint64 m_start = 0;
};

// A server in this process on a free loopback port, with a temporary data directory and, unless
// a test chose another engine through databases, its SQLite file there.
class TestServer {
public:
    using Tweak = std::function<void(TalvoroServer::Options &)>;

    explicit TestServer(const ProviderConfig &providers)
        : TestServer([providers](TalvoroServer::Options &o) { o.providers = providers; })
    {}
    explicit TestServer(const Tweak &tweak = {})
    {
        TalvoroServer::Options options;
        options.dataDirectory = m_dir.path();
        if (databases)
            options.database = databases();
        options.startingBalance = 500;
        options.clock = &clock;
        if (tweak)
            tweak(options);
        server = std::make_unique<TalvoroServer>(options);
        if (QString error; server->open(&error))
            port = server->listen(QHostAddress::LocalHost, 0);
        // The sign-in codes the server logs, as a developer reads them from the terminal.
        codes.clear();
        ServerLog::setSink([](const QString &line) {
            static const QRegularExpression sms("^sms-code phone=(\\S+) code=(\\d{6})$");
            if (const auto m = sms.match(line); m.hasMatch())
                codes.insert(m.captured(1), m.captured(2));
        });
    }
    ~TestServer() { ServerLog::setSink(nullptr); }
    QString url(const QString &path) const { return server->origin() + path; }
    ServerReply get(const QString &path) { return http.get(url(path)); }
    template <typename Body> ServerReply post(const QString &path, const Body &body)
    {
        return http.post(url(path), body);
    }
    ServerReply sendCode(const QString &phone) { return post("/api/send-code", withPhone(phone)); }
    int deduct(const QString &phone, double amount)
    {
        return post("/api/deduct_quota", withPhone(phone, {{"amount", amount}})).status;
    }
    double balance(const QString &userid) { return http.balance(url({}), userid); }
    // The code last logged for `phone`, empty when none.
    static QString lastCode(const QString &phone) { return codes.value(phone); }

    // Signs `phone` in and returns the sign-in reply.
    QJsonObject signIn(const QString &phone)
    {
        sendCode(phone);
        clock.now += CodeIssuerResend; // the next sign-in of the test may ask again
        return login(phone, lastCode(phone)).json();
    }
    ServerReply login(const QString &phone, const QString &code)
    {
        return post("/api/login-register", withPhone(phone, {{"code", code}}));
    }

    // Where each new server keeps its data: the address of a fresh database, or empty for SQLite.
    static inline std::function<QString()> databases;

    static constexpr qint64 CodeIssuerResend = 61 * 1000;
    QTemporaryDir m_dir;
    ManualClock clock;
    static inline QHash<QString, QString> codes;
    TestHttp http;
    std::unique_ptr<TalvoroServer> server;
    quint16 port = 0;
};
