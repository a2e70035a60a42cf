// Time from a piece leaving a model provider to its chunk arriving at the client's socket, and
// to its text being in the answer's bubble (the open conversation's row), through
// talvoro-server, all on loopback in one event loop. Run:
//   build/bench/talvoro_bench_server --benchmark_repetitions=5
#include "chat/chatcontroller.h"
#include "chat/openconversations.h"
#include "conversation/conversationstore.h"
#include "core/httpclient.h"
#include "core/serviceorigin.h"
#include "core/settingsstore.h"
#include "serverlog.h"
#include "service/chatclient.h"
#include "service/imageservice.h"
#include "service/quotaservice.h"
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
#include <memory>
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

// talvoro-server with its data in `dir`, forwarding OpenAI-family questions to `upstream`;
// null when it did not start.
std::unique_ptr<TalvoroServer> startServer(const ManualUpstream &upstream, const QTemporaryDir &dir)
{
    ServerLog::setLevel(ServerLog::Level::Error);
    TalvoroServer::Options options;
    options.dataDirectory = dir.path();
    options.providers.openAI.baseUrl = upstream.origin();
    options.providers.openAI.configured = true;
    auto server = std::make_unique<TalvoroServer>(options);
    QString error;
    if (!server->open(&error) || server->listen(QHostAddress::LocalHost, 0) == 0)
        return nullptr;
    return server;
}

// Sends the upstream one piece per iteration and times it until `arrived(marker)` holds, with
// `pauseMs` between pieces; records the median.
template <typename Arrived>
void timePieces(benchmark::State &state, ManualUpstream &upstream, Arrived arrived, int pauseMs,
                const char *counter, double unit)
{
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
        if (!spinUntil([&] { return arrived(marker); })) {
            state.SkipWithError("a piece never arrived");
            return;
        }
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        state.SetIterationTime(seconds);
        samples.push_back(seconds);
        if (pauseMs > 0)
            spinUntil([] { return false; }, pauseMs);
    }
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    state.counters[counter] = samples.empty() ? 0 : samples[samples.size() / 2] * unit;
}

void pieceLatency(benchmark::State &state)
{
    ManualUpstream upstream;
    QTemporaryDir dir;
    const auto started = startServer(upstream, dir);
    if (!started) {
        state.SkipWithError("server did not start");
        return;
    }
    TalvoroServer &server = *started;

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
    timePieces(
        state, upstream, [&](const QByteArray &marker) { return received.contains(marker); }, 0,
        "median_us", 1e6);
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
    ServerLog::setSink(&recordSmsCode);
    ManualUpstream upstream;
    QTemporaryDir dir;
    const auto started = startServer(upstream, dir);
    if (!started) {
        state.SkipWithError("server did not start");
        return;
    }
    TalvoroServer &server = *started;
    ServiceOrigin::setCurrent(server.origin());

    SettingsStore settings(dir.filePath(QStringLiteral("client.db")));
    ConversationStore conversations(&settings);
    OpenConversations open(&conversations);
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

    ChatController controller(ChatController::Services{&settings, &open, &quota, &chat});
    controller.setSelectedModel(QStringLiteral("gpt-4o"));
    controller.setMessageText(QStringLiteral("写一首长诗"));
    controller.sendMessage();
    if (!spinUntil([&] { return upstream.answering(); })) {
        state.SkipWithError("the request never reached the provider");
        return;
    }
    timePieces(
        state, upstream,
        [&](const QByteArray &marker) {
            return controller.messageList().last().content.endsWith(QString::fromLatin1(marker));
        },
        30, "median_ms", 1e3);
    controller.stopGenerating();
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
