// Time from a piece leaving a model provider to its chunk arriving at the client's socket, and
// to its text being in the answer's bubble (the open conversation's row), through
// talvoro-server, all on loopback in one event loop. Run:
//   build/bench/talvoro_bench_server --benchmark_repetitions=5
#include "chatclient.h"
#include "chatcontroller.h"
#include "conversationstore.h"
#include "httpclient.h"
#include "imageservice.h"
#include "quotaservice.h"
#include "serverlog.h"
#include "serviceorigin.h"
#include "settingsstore.h"
#include "talvoroserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrl>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

namespace {

// Spins the event loop until `done` holds, at most `ms` milliseconds.
template <typename Done> bool spinUntil(Done done, int ms = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    return done();
}

// A provider whose events go out when the benchmark says so.
class ManualUpstream {
public:
    ManualUpstream()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            m_socket = m_server.nextPendingConnection();
            QObject::connect(m_socket, &QTcpSocket::readyRead, [this] {
                m_request += m_socket->readAll();
                const qsizetype end = m_request.indexOf("\r\n\r\n");
                if (!m_answering && end >= 0 && m_request.size() > end + 4) {
                    m_answering = true;
                    m_socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
                                    "Connection: close\r\n\r\n");
                }
            });
        });
    }
    QString origin() const
    {
        return QStringLiteral("http://127.0.0.1:%1/v1").arg(m_server.serverPort());
    }
    bool answering() const { return m_answering; }
    void send(const QByteArray &event)
    {
        m_socket->write(event);
        m_socket->flush();
    }

private:
    QTcpServer m_server;
    QTcpSocket *m_socket = nullptr;
    QByteArray m_request;
    bool m_answering = false;
};

void pieceLatency(benchmark::State &state)
{
    ServerLog::setLevel(ServerLog::Level::Error);
    ManualUpstream upstream;
    QTemporaryDir dir;
    TalvoroServer::Options options;
    options.dataDirectory = dir.path();
    options.providers.openAI.baseUrl = upstream.origin();
    options.providers.openAI.configured = true;
    TalvoroServer server(options);
    QString error;
    if (!server.open(&error) || server.listen(QHostAddress::LocalHost, 0) == 0) {
        state.SkipWithError("server did not start");
        return;
    }

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, QUrl(server.origin()).port());
    const QByteArray question = QJsonDocument(QJsonObject{{"model", "m"},
                                                          {"userMessage", "q"},
                                                          {"systemMessage", ""},
                                                          {"context", "q"}})
                                    .toJson(QJsonDocument::Compact);
    client.write("POST /api/proxy_openai2 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                 "Content-Type: application/json\r\nContent-Length: " +
                 QByteArray::number(question.size()) + "\r\n\r\n" + question);
    if (!spinUntil([&] { return upstream.answering(); })) {
        state.SkipWithError("the request never reached the provider");
        return;
    }

    QByteArray received;
    QObject::connect(&client, &QTcpSocket::readyRead, [&] { received += client.readAll(); });
    std::vector<double> samples;
    int n = 0;
    for (auto _ : state) {
        const QByteArray marker = "piece-" + QByteArray::number(++n) + "-end";
        const QByteArray event = R"(data: {"choices":[{"index":0,"delta":{"content":")" + marker +
                                 R"("}}]})"
                                 "\n\n";
        QElapsedTimer timer;
        timer.start();
        upstream.send(event);
        if (!spinUntil([&] { return received.contains(marker); })) {
            state.SkipWithError("a piece never reached the client");
            return;
        }
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        state.SetIterationTime(seconds);
        samples.push_back(seconds);
        received.clear();
    }
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    state.counters["median_us"] = samples.empty() ? 0 : samples[samples.size() / 2] * 1e6;
}
BENCHMARK(pieceLatency)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(500);

QString g_smsCode;
void recordSmsCode(const QString &line)
{
    static const QRegularExpression code(QStringLiteral("^sms-code phone=\\S+ code=(\\d{6})$"));
    if (const auto m = code.match(line); m.hasMatch())
        g_smsCode = m.captured(1);
}

// The whole road of a piece as the user sees it: provider, talvoro-server, the client's reply
// reader, the chat controller and the bubble's row. The provider sends a piece about every
// 30 ms, as models write; the time counted is from its write to the row holding its text.
void pieceToBubble(benchmark::State &state)
{
    ServerLog::setLevel(ServerLog::Level::Error);
    ServerLog::setSink(&recordSmsCode);
    ManualUpstream upstream;
    QTemporaryDir dir;
    TalvoroServer::Options options;
    options.dataDirectory = dir.path();
    options.providers.openAI.baseUrl = upstream.origin();
    options.providers.openAI.configured = true;
    TalvoroServer server(options);
    QString error;
    if (!server.open(&error) || server.listen(QHostAddress::LocalHost, 0) == 0) {
        state.SkipWithError("server did not start");
        return;
    }
    ServiceOrigin::setCurrent(server.origin());

    SettingsStore settings(dir.filePath(QStringLiteral("client.db")));
    ConversationStore conversations(&settings);
    HttpClient http;
    QuotaService quota(&settings, &http);
    ImageService images(&http);
    ChatClient chat(&http, &quota, &images);

    // An account with a balance, signed in as the sign-in sheet does it.
    const QString phone = QStringLiteral("+8613800000001");
    bool answered = false;
    const auto post = [&](const QString &path, const QJsonObject &body) {
        answered = false;
        http.postJson(QUrl(server.origin() + path), body, nullptr,
                      [&](const HttpResult &) { answered = true; });
        return spinUntil([&] { return answered; });
    };
    if (!post(QStringLiteral("/api/send-code"), {{"phone", phone}}) || g_smsCode.isEmpty() ||
        !post(QStringLiteral("/api/login-register"), {{"phone", phone}, {"code", g_smsCode}})) {
        state.SkipWithError("could not sign in");
        return;
    }
    settings.set(QStringLiteral("phone"), phone);

    ChatController controller(ChatController::Services{&settings, &conversations, &quota, &chat});
    controller.setSelectedModel(QStringLiteral("gpt-4o"));
    controller.setMessageText(QStringLiteral("写一首长诗"));
    controller.sendMessage();
    if (!spinUntil([&] { return upstream.answering(); })) {
        state.SkipWithError("the request never reached the provider");
        return;
    }
    const auto shown = [&] {
        return controller.messageList().last().content;
    };

    std::vector<double> samples;
    int n = 0;
    for (auto _ : state) {
        const QByteArray marker = "p" + QByteArray::number(++n) + "e";
        const QByteArray event = R"(data: {"choices":[{"index":0,"delta":{"content":")" + marker +
                                 R"("}}]})"
                                 "\n\n";
        QElapsedTimer timer;
        timer.start();
        upstream.send(event);
        if (!spinUntil([&] { return shown().endsWith(QString::fromLatin1(marker)); })) {
            state.SkipWithError("a piece never reached the bubble");
            return;
        }
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        state.SetIterationTime(seconds);
        samples.push_back(seconds);
        spinUntil([] { return false; }, 30);
    }
    controller.stopGenerating();
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    state.counters["median_ms"] = samples.empty() ? 0 : samples[samples.size() / 2] * 1e3;
}
BENCHMARK(pieceToBubble)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(200);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
