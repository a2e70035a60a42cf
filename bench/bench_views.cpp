// Start-up and long-conversation figures of the views, measured offscreen with the software
// renderer: cold start to the chat window's first frame with 1,000 stored conversations, the
// resident memory after that start, the time to show a 5,000-message conversation, and the
// cost of an answer streaming into such a conversation.

#include "appgraph.h"
#include "benchdata.h"
#include "chatcontroller.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTcpServer>
#include <QThread>
#include <QTimer>
#include <QtQml/QQmlExtensionPlugin>

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <time.h>

Q_IMPORT_QML_PLUGIN(TalvoroPlugin)

namespace {

// Waits (at most 5 s) for the window's next frame.
bool waitForFrame(QQuickWindow *window)
{
    QEventLoop loop;
    bool swapped = false;
    QObject::connect(window, &QQuickWindow::frameSwapped, &loop, [&] {
        swapped = true;
        loop.quit();
    });
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    window->update();
    loop.exec();
    return swapped;
}

double residentMegabytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return 0;
}

// A settings folder holding `conversations` stored conversations of 20 messages each.
QString preparedFolder(int conversations)
{
    static QTemporaryDir dir;
    static bool ready = false;
    if (!ready) {
        AppGraph seed(dir.path());
        seed.settings->set(QStringLiteral("isLoggedIn"), true);
        seed.settings->set(QStringLiteral("hasSeenWelcome"), true);
        // One write of the stored form, as a long-used history leaves it; saving conversation
        // by conversation would rewrite the growing history a thousand times.
        seed.settings->set(QString(ConversationStore::kKey),
                           ConversationCodec::encode(benchConversations(conversations * 20)));
        ready = true;
    }
    // The seeding above is the benchmark's own work; give its memory back before measuring.
    malloc_trim(0);
    return dir.path();
}

void BM_StartToFirstChatFrame(benchmark::State &state)
{
    const QString folder = preparedFolder(1000);
    double rss = 0;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        auto app = std::make_unique<AppGraph>(folder);
        if (!app->launch() || !waitForFrame(app->delegate->mainWindow())) {
            state.SkipWithError("the main window did not render");
            break;
        }
        state.SetIterationTime(double(timer.nsecsElapsed()) / 1e9);
        rss = residentMegabytes();
        state.PauseTiming();
        app.reset();
        state.ResumeTiming();
    }
    state.counters["resident_MB"] = rss;
}
// The first iteration is the cold one (QML types loaded, fonts opened for the first time).
BENCHMARK(BM_StartToFirstChatFrame)
    ->Name("cold_start_first_frame")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StartToFirstChatFrame)
    ->Name("warm_start_first_frame")
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The main window of `app`, launched, showing a stored 5,000-message conversation; its chat, or
// null when the window did not render.
ChatController *showLongConversation(AppGraph &app)
{
    const QUuid id = QUuid::createUuid();
    MessageList list;
    for (int i = 0; i < 5000; ++i)
        list.append(Message(benchText(200, quint32(i + 7)), i % 2 == 0));
    app.conversations->saveCurrentConversation(id, list);
    if (!app.launch() || !waitForFrame(app.delegate->mainWindow()))
        return nullptr;
    ChatController *chat = chatOf(app.delegate->mainWindow());
    chat->selectConversation(Message::idText(id));
    waitForFrame(app.delegate->mainWindow());
    return chat;
}

void BM_ShowLongConversation(benchmark::State &state)
{
    AppGraph app(preparedFolder(1000));
    ChatController *chat = showLongConversation(app);
    if (!chat) {
        state.SkipWithError("the main window did not render");
        return;
    }
    QQuickWindow *window = app.delegate->mainWindow();
    const QString idText = chat->currentConversationID();
    chat->newConversation();
    chat->hideWelcomeView();
    waitForFrame(window);
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        chat->selectConversation(idText);
        if (!waitForFrame(window)) {
            state.SkipWithError("no frame");
            break;
        }
        state.SetIterationTime(double(timer.nsecsElapsed()) / 1e9);
        state.PauseTiming();
        chat->newConversation();
        chat->hideWelcomeView();
        waitForFrame(window);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ShowLongConversation)
    ->Name("show_5000_message_conversation")
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

double processCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// An answer arriving as 2,000 small deltas, about one every half millisecond (faster than any
// model writes), at the end of an open 5,000-message conversation in the main window: what the
// process spends per delta, model update and the refreshed frames included.
void BM_StreamIntoLongConversation(benchmark::State &state)
{
    AppGraph app(preparedFolder(1000));
    // A backend that takes the question and never answers: the send stays on its way.
    QTcpServer silent;
    silent.listen(QHostAddress::LocalHost, 0);
    ServiceOrigin::setCurrent(QStringLiteral("http://127.0.0.1:%1").arg(silent.serverPort()));
    ChatController *chat = showLongConversation(app);
    if (!chat) {
        state.SkipWithError("the main window did not render");
        return;
    }
    QQuickWindow *window = app.delegate->mainWindow();
    window->resize(1000, 800);
    waitForFrame(window);

    constexpr int kDeltas = 2000;
    double perDelta = 0;
    for (auto _ : state) {
        chat->setMessageText(QStringLiteral("继续写"));
        chat->sendMessage();
        const QUuid placeholder = chat->messageList().last().id;
        chat->clearLoadingFlag(placeholder);
        waitForFrame(window);
        const double cpu = processCpuSeconds();
        for (int i = 0; i < kDeltas; ++i) {
            // A line of about eighty characters, as answers are written.
            chat->appendPartialText(placeholder, i % 16 == 15 ? QStringLiteral("流式的字。\n")
                                                              : QStringLiteral("流式的字 "));
            QCoreApplication::processEvents();
            QThread::usleep(500);
        }
        waitForFrame(window);
        perDelta = (processCpuSeconds() - cpu) / kDeltas;
        state.SetIterationTime(perDelta);
        chat->stopGenerating();
    }
    state.counters["cpu_ms_per_delta"] = perDelta * 1e3;
}
BENCHMARK(BM_StreamIntoLongConversation)
    ->Name("stream_2000_deltas_into_5000_messages")
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_QUICK_BACKEND", "software");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
