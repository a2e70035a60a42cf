// Start-up and long-conversation figures of the views, measured offscreen with the software
// renderer: cold start to the chat window's first frame with 1,000 stored conversations, the
// resident memory after that start, the time to show a 5,000-message conversation, and the
// cost of an answer streaming into such a conversation. Then code colouring and typesetting
// in the script worker: what they cost there, and the longest the window waits meanwhile.

#include "appgraph.h"
#include "benchdata.h"
#include "chat/chatcontroller.h"
#include "chat/conversationpdf.h"
#include "chat/markdownrenderer.h"
#include "chat/messageblocks.h"
#include "chat/openconversation.h"
#include "chat/scriptworker.h"
#include "core/serviceorigin.h"
#include "core/settingkeys.h"
#include "fakehttpserver.h"
#include "publishedstreams.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpServer>
#include <QTextCursor>
#include <QTextDocument>
#include <QThread>
#include <QTimer>
#include <QtQml/QQmlExtensionPlugin>

#include <functional>

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

// A settings folder holding `conversations` stored conversations of 20 messages each.
QString preparedFolder(int conversations)
{
    static QTemporaryDir dir;
    static bool ready = false;
    if (!ready) {
        AppGraph seed(dir.path());
        seed.settings->set(QString(SettingKeys::isLoggedIn), true);
        seed.settings->set(QString(SettingKeys::hasSeenWelcome), true);
        // One write of the stored form, as a long-used history leaves it; saving conversation
        // by conversation would rewrite the growing history a thousand times.
        seed.settings->set(QString(SettingKeys::conversations),
                           ConversationCodec::encode(benchConversations(conversations * 20)));
        // Converted, and indexed as it is once the upgrade's worker is done: no start measured
        // here shares the machine with that worker.
        ConversationStore convert(seed.settings);
        QString error;
        benchIndexUpgradedHistory(seed.settings->path(), &error);
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
    app.conversations->saveMessages(id, list);
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

// Switching between two variants of an answer in an open 5,000-message conversation, to the
// next frame: of the last answer (one row changes), or of the first (the whole conversation
// after it is another branch).
void BM_SwitchVariant(benchmark::State &state)
{
    AppGraph app(preparedFolder(1000));
    const int at = int(state.range(0));
    const QUuid id = QUuid::createUuid();
    MessageList list;
    for (int i = 0; i < 5000; ++i) {
        Message m(benchText(200, quint32(i + 7)), i % 2 == 0);
        m.timestamp = 1000 + i;
        if (i > 0)
            m.parentId = list.last().id;
        list.append(m);
    }
    // The other variant of the answer at `at`: older, so the long branch is in view first.
    Message other(benchText(200, 99), false);
    other.parentId = list.at(at - 1).id;
    other.timestamp = 10;
    list.append(other);
    app.conversations->saveMessages(id, list);
    if (!app.launch() || !waitForFrame(app.delegate->mainWindow())) {
        state.SkipWithError("the main window did not render");
        return;
    }
    QQuickWindow *window = app.delegate->mainWindow();
    ChatController *chat = chatOf(window);
    chat->hideWelcomeView();
    chat->selectConversation(Message::idText(id));
    waitForFrame(window);
    int step = -1;    // the long branch is the second variant
    double model = 0; // the switch itself, stored and shown in the list model, before layout
    for (auto _ : state) {
        const QString shown = Message::idText(chat->messageList().at(at).id);
        QElapsedTimer timer;
        timer.start();
        chat->switchVariant(shown, step);
        model += double(timer.nsecsElapsed()) / 1e6;
        if (!waitForFrame(window)) {
            state.SkipWithError("no frame");
            break;
        }
        state.SetIterationTime(double(timer.nsecsElapsed()) / 1e9);
        step = -step;
    }
    state.counters["rows_after"] = double(chat->messageList().size());
    state.counters["switch_call_ms"] = model / double(state.iterations());
}
BENCHMARK(BM_SwitchVariant)
    ->Name("switch_variant_of_last_answer_in_5000")
    ->Arg(4999)
    ->Iterations(10)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SwitchVariant)
    ->Name("switch_variant_of_first_answer_in_5000")
    ->Arg(1)
    ->Iterations(10)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

double processCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// A settings folder holding a heavy user's history (50,000 messages, 1,500-character answers),
// converted to rows once; what it took to make it is given back before anything is measured.
QString heavyFolder()
{
    static QTemporaryDir dir;
    static bool ready = false;
    if (!ready) {
        {
            SettingsStore settings(dir.filePath(QStringLiteral("settings.sqlite")));
            settings.set(QString(SettingKeys::isLoggedIn), true);
            settings.set(QString(SettingKeys::hasSeenWelcome), true);
            settings.set(QString(SettingKeys::conversations),
                         ConversationCodec::encode(benchHeavyHistory()));
            ConversationStore convert(&settings);
            QString error;
            benchIndexUpgradedHistory(settings.path(), &error);
        }
        ready = true;
    }
    malloc_trim(0);
    return dir.path();
}

// A heavy user's day: the program starts over 50,000 stored messages, the history sheet opens,
// and one question is asked of a backend that answers at once with 1,500 characters. The time
// from opening the sheet to its first frame, from the send to the frame that shows the whole
// answer, and the resident memory after each.
void BM_HeavyHistory(benchmark::State &state)
{
    FakeHttpServer backend;
    backend.on("/api/check_quota", FakeHttpServer::Response{200, "{\"hasQuota\":true}"});
    backend.on("/api/deduct_quota", FakeHttpServer::Response{200, "{\"ok\":true}"});
    // Prose only: the first code block of a run starts the script worker, whose cost is the
    // renderer's, measured on its own below.
    QByteArray answer;
    for (const QString &piece : benchText(1500, 3).remove(QStringLiteral("```")).split(u' '))
        answer += openAIPiece(piece + u' ');
    answer += "data: [DONE]\n\n";
    backend.on("/api/proxy_openai2", FakeHttpServer::Response{200, answer});

    AppGraph app(heavyFolder());
    ServiceOrigin::setCurrent(backend.origin());
    app.settings->set(QStringLiteral("phone"), QStringLiteral("+8613800000000"));
    if (!app.launch() || !waitForFrame(app.delegate->mainWindow())) {
        state.SkipWithError("the main window did not render");
        return;
    }
    QQuickWindow *window = app.delegate->mainWindow();
    ChatController *chat = chatOf(window);
    const double started = residentMegabytes();
    double historyMs = 0, sendMs = 0, sendCpuMs = 0, afterHistory = 0;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        chat->setShowHistory(true);
        waitForFrame(window);
        historyMs = double(timer.nsecsElapsed()) / 1e6;
        afterHistory = residentMegabytes();
        chat->setShowHistory(false);
        waitForFrame(window);

        chat->setSelectedModel(QStringLiteral("gpt-4o"));
        chat->setMessageText(QStringLiteral("请再解释一遍"));
        timer.restart();
        const double cpu = processCpuSeconds();
        chat->sendMessage();
        while (chat->pendingSends() > 0)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        waitForFrame(window);
        sendMs = double(timer.nsecsElapsed()) / 1e6;
        // The process's own work: the stand-in backend's share of it is a few copies.
        sendCpuMs = (processCpuSeconds() - cpu) * 1e3;
        state.SetIterationTime(sendMs / 1e3);
    }
    state.counters["history_first_frame_ms"] = historyMs;
    state.counters["send_to_answer_frame_ms"] = sendMs;
    state.counters["send_cpu_ms"] = sendCpuMs;
    state.counters["resident_MB_started"] = started;
    state.counters["resident_MB_history_open"] = afterHistory;
    state.counters["resident_MB_after_question"] = residentMegabytes();
}
BENCHMARK(BM_HeavyHistory)
    ->Name("heavy_history_50k")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

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
        OpenConversation *open = chat->openConversation();
        open->show(placeholder, [](Message &m) { m.isLoading = false; });
        waitForFrame(window);
        const double cpu = processCpuSeconds();
        QString partial;
        for (int i = 0; i < kDeltas; ++i) {
            // A line of about eighty characters, as answers are written; shown at most every
            // refresh interval, as a send does.
            partial += i % 16 == 15 ? QStringLiteral("流式的字。\n") : QStringLiteral("流式的字 ");
            if (i % 66 == 65 || i == kDeltas - 1)
                open->showPartial(placeholder, partial);
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

// Parse and layout of one 20,000-character answer (lists, tables, three code blocks), as the
// bubble does it: cut into pieces, each prose piece parsed, every piece laid out at the
// bubble's width. Cold: every parse is new; warm: the pieces come from the render cache, as
// when a row scrolls back into view.
void BM_RenderAnswer(benchmark::State &state)
{
    const bool warm = state.range(0) != 0;
    quint32 seed = 1;
    const QString warmText = benchMarkdownAnswer(20000, 0);
    for (auto _ : state) {
        const QString content = warm ? warmText : benchMarkdownAnswer(20000, seed++);
        qreal height = 0;
        for (const MessageBlock &piece : MessageBlocks::pieces(content)) {
            QTextDocument document;
            document.setUndoRedoEnabled(false);
            if (piece.isCode)
                document.setPlainText(piece.text);
            else
                QTextCursor(&document).insertFragment(MarkdownRenderer::render(piece.text));
            document.setTextWidth(700);
            height += document.size().height();
        }
        benchmark::DoNotOptimize(height);
    }
}
BENCHMARK(BM_RenderAnswer)->Name("render_20k_answer_cold")->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderAnswer)->Name("render_20k_answer_warm")->Arg(1)->Unit(benchmark::kMillisecond);

// Hostile answers: each is cut into pieces and every prose piece parsed, as a window that
// scrolled through all of it would; no piece is laid out.
void BM_RenderHostile(benchmark::State &state)
{
    QString content;
    switch (state.range(0)) {
    case 0:
        content = QStringLiteral("- ").repeated(10000) + u'x';
        break;
    case 1:
        content = QStringLiteral(">").repeated(10000) + u'x';
        break;
    case 2:
        content =
            QStringLiteral("| a | b |\n|---|---|\n") + QStringLiteral("| c ").repeated(250000);
        break;
    case 3:
        content = QStringLiteral("`").repeated(100000);
        break;
    default:
        content = QStringLiteral("```\n<code>x\n```\n</code></code>~~~\n").repeated(2000);
        break;
    }
    quint32 round = 0;
    for (auto _ : state) {
        // A new text each round, so that nothing comes from the cache.
        const QString text = content + QString::number(round++);
        for (const MessageBlock &piece : MessageBlocks::pieces(text)) {
            if (!piece.isCode)
                benchmark::DoNotOptimize(MarkdownRenderer::render(piece.text));
        }
    }
}
BENCHMARK(BM_RenderHostile)
    ->Name("hostile_10000_nested_lists")
    ->Arg(0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderHostile)
    ->Name("hostile_10000_nested_quotes")
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderHostile)->Name("hostile_1MB_table_row")->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderHostile)
    ->Name("hostile_100000_backticks")
    ->Arg(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderHostile)
    ->Name("hostile_unbalanced_fences")
    ->Arg(4)
    ->Unit(benchmark::kMillisecond);

// A 5,000-message conversation whose answers are 20,000-character Markdown answers: time to
// the first frame after opening it, and the memory the open conversation adds per row drawn.
void BM_ShowRenderedConversation(benchmark::State &state)
{
    AppGraph app(preparedFolder(1000));
    const QUuid id = QUuid::createUuid();
    MessageList list;
    for (int i = 0; i < 5000; ++i)
        list.append(i % 2 == 0 ? Message(benchText(60, quint32(i)), true)
                               : Message(benchMarkdownAnswer(20000, quint32(i % 50)), false));
    app.conversations->saveMessages(id, list);
    list.clear();
    if (!app.launch() || !waitForFrame(app.delegate->mainWindow())) {
        state.SkipWithError("the main window did not render");
        return;
    }
    QQuickWindow *window = app.delegate->mainWindow();
    ChatController *chat = chatOf(window);
    chat->hideWelcomeView();
    waitForFrame(window);
    malloc_trim(0);
    const double before = residentMegabytes();
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        chat->selectConversation(Message::idText(id));
        if (!waitForFrame(window)) {
            state.SkipWithError("no frame");
            break;
        }
        state.SetIterationTime(double(timer.nsecsElapsed()) / 1e9);
        state.PauseTiming();
        // Settle, count what is drawn and what it costs, then leave for the next round.
        for (int i = 0; i < 5; ++i)
            waitForFrame(window);
        int rows = 0;
        if (QQuickItem *view = findItem(window->contentItem(), QStringLiteral("messageList"))) {
            for (QQuickItem *row :
                 view->property("contentItem").value<QQuickItem *>()->childItems())
                rows += row->isVisible() ? 1 : 0;
        }
        malloc_trim(0);
        state.counters["rows_drawn"] = rows;
        state.counters["MiB_per_row_drawn"] = (residentMegabytes() - before) / std::max(rows, 1);
        chat->newConversation();
        chat->hideWelcomeView();
        waitForFrame(window);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ShowRenderedConversation)
    ->Name("show_5000_rendered_messages")
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// An answer of 4,000,000 characters arriving whole at the end of an open conversation: the
// time until the frame that shows it, which is the longest the window is unresponsive.
void BM_HugeAnswerArrives(benchmark::State &state)
{
    AppGraph app(preparedFolder(1000));
    QTcpServer silent;
    silent.listen(QHostAddress::LocalHost, 0);
    ServiceOrigin::setCurrent(QStringLiteral("http://127.0.0.1:%1").arg(silent.serverPort()));
    if (!app.launch() || !waitForFrame(app.delegate->mainWindow())) {
        state.SkipWithError("the main window did not render");
        return;
    }
    QQuickWindow *window = app.delegate->mainWindow();
    ChatController *chat = chatOf(window);
    chat->hideWelcomeView();
    QString huge;
    for (int i = 0; huge.size() < 4'000'000; ++i)
        huge += QStringLiteral("第%1行：一段很长的回答，不停地写下去。\n").arg(i);
    for (auto _ : state) {
        chat->newConversation();
        chat->hideWelcomeView();
        chat->setMessageText(QStringLiteral("长"));
        chat->sendMessage();
        const QUuid placeholder = chat->messageList().last().id;
        waitForFrame(window);
        QElapsedTimer timer;
        timer.start();
        chat->openConversation()->update({placeholder}, [&huge](Message &m) {
            m.kind = MessageKind::Answer;
            m.isLoading = false;
            m.content = huge;
        });
        waitForFrame(window);
        state.SetIterationTime(double(timer.nsecsElapsed()) / 1e9);
    }
}
BENCHMARK(BM_HugeAnswerArrives)
    ->Name("huge_4M_answer_to_frame")
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The 20,000-character answer above with ten formulas in its prose, inline and displayed.
QString mathAnswer(quint32 seed)
{
    QStringList paragraphs = benchMarkdownAnswer(20000, seed).split(QStringLiteral("\n\n"));
    for (int i = 0; i < 10; ++i) {
        const int at = 1 + i * (int(paragraphs.size()) - 2) / 10;
        paragraphs[at] +=
            i % 2 == 0
                ? QStringLiteral("，其中 $x_{%1}^2 + \\frac{a}{b_{%2}}$ 是估计。").arg(i).arg(seed)
                : QStringLiteral("\n\n$$\\int_0^{%1} f(t)\\,dt = \\sum_{k=1}^{%2} "
                                 "\\frac{1}{k^2}$$")
                      .arg(i)
                      .arg(seed);
    }
    return paragraphs.join(QStringLiteral("\n\n"));
}

// Runs the event loop until `done`, with a 1 ms timer: the longest the loop went without
// turning, in milliseconds (what a window would have waited for its next frame).
double longestStallUntil(const std::function<bool()> &done, int timeoutMs = 120000)
{
    QElapsedTimer clock;
    clock.start();
    qint64 last = clock.nsecsElapsed();
    qint64 longest = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        longest = std::max(longest, now - last);
        last = now;
    });
    tick.start(1);
    while (!done() && clock.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    return double(longest) / 1e6;
}

// The longest stall of the same loop over `ms` with nothing to wait for: the floor that the
// machine's own scheduling puts under the figures above (two cores, shared).
double idleStall(double ms)
{
    QElapsedTimer clock;
    clock.start();
    return longestStallUntil([&] { return clock.elapsed() >= qint64(ms); });
}

// Set when the worker has handed something back, as a view would hear of it.
bool workerAnswered = false;

// Renders every piece of `content` as the bubble does, code coloured when its colours are
// known; false when a formula or a code block still waits for the worker.
bool renderPieces(const QString &content, bool colour)
{
    static const bool listening = [] {
        QObject::connect(ScriptWorker::instance(), &ScriptWorker::formulaReady,
                         [] { workerAnswered = true; });
        return true;
    }();
    (void)listening;
    bool complete = true;
    qreal height = 0;
    for (const MessageBlock &piece : MessageBlocks::pieces(content, {QStringLiteral("cpp")})) {
        QTextDocument document;
        document.setUndoRedoEnabled(false);
        if (piece.isCode) {
            document.setPlainText(piece.text);
            if (colour && !ScriptWorker::instance()->cachedColouring(piece.text, piece.language)) {
                complete = false;
                ScriptWorker::instance()->colour(
                    piece.text, piece.language, nullptr,
                    [](const ScriptWorker::Colouring &) { workerAnswered = true; });
            }
        } else {
            bool waiting = false;
            QTextCursor(&document).insertFragment(
                MarkdownRenderer::render(piece.text, false, MarkdownRenderer::Formulas::Typeset,
                                         MarkdownRenderer::kBodyPixelSize, &waiting));
            complete = complete && !waiting;
        }
        document.setTextWidth(700);
        height += document.size().height();
    }
    benchmark::DoNotOptimize(height);
    return complete;
}

// The 20,000-character answer with three code blocks and ten formulas. Cold: its formulas and
// code are new to the worker; the time is the window's own (pieces rendered with formulas
// as their source, the worker asked), and "until_final_ms" runs on until every formula is
// typeset, every block coloured and the pieces rendered again. Warm: all of it is cached.
void BM_RenderMathAnswer(benchmark::State &state)
{
    const bool warm = state.range(0) != 0;
    quint32 seed = 1000;
    const QString warmText = mathAnswer(0);
    if (warm && !renderPieces(warmText, true)) {
        (void)longestStallUntil(
            [&] { return std::exchange(workerAnswered, false) && renderPieces(warmText, true); });
    }
    double untilFinal = 0;
    double stall = 0;
    for (auto _ : state) {
        const QString content = warm ? warmText : mathAnswer(seed++);
        QElapsedTimer timer;
        timer.start();
        const bool complete = renderPieces(content, true);
        state.SetIterationTime(double(timer.nsecsElapsed()) / 1e9);
        if (!complete) {
            state.PauseTiming();
            // Rendered again each time the worker answers, as a view waiting for it does.
            workerAnswered = false;
            stall = std::max(stall, longestStallUntil([&] {
                                 if (!std::exchange(workerAnswered, false))
                                     return false;
                                 return renderPieces(content, true);
                             }));
            untilFinal = double(timer.nsecsElapsed()) / 1e6;
            state.ResumeTiming();
        }
    }
    if (!warm) {
        state.counters["until_final_ms"] = untilFinal;
        state.counters["longest_stall_ms"] = stall;
    }
}
BENCHMARK(BM_RenderMathAnswer)
    ->Name("render_20k_math_answer_cold")
    ->Arg(0)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderMathAnswer)
    ->Name("render_20k_math_answer_warm")
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

QString codeBlock(int lines, quint32 seed)
{
    QString code;
    for (int i = 0; i < lines; ++i)
        code += QStringLiteral("int f%1_%2(const std::vector<int> &v) { return v.size() * %1; } "
                               "// 注释 \"s\"\n")
                    .arg(i)
                    .arg(seed);
    return code;
}

// A new 1,000-line C++ block coloured by the worker (its engine already made): the time until
// its ranges are back, and the longest the window's loop waited meanwhile.
void BM_ColourBlock(benchmark::State &state)
{
    quint32 seed = 0;
    bool warmedUp = false;
    ScriptWorker::instance()->colour(codeBlock(1, 99), QStringLiteral("cpp"), nullptr,
                                     [&](const ScriptWorker::Colouring &) { warmedUp = true; });
    (void)longestStallUntil([&] { return warmedUp; });
    double stall = 0;
    for (auto _ : state) {
        const QString code = codeBlock(1000, seed++);
        bool done = false;
        QElapsedTimer timer;
        timer.start();
        ScriptWorker::instance()->colour(code, QStringLiteral("cpp"), nullptr,
                                         [&](const ScriptWorker::Colouring &) { done = true; });
        stall = std::max(stall, longestStallUntil([&] { return done; }));
        state.SetIterationTime(double(timer.nsecsElapsed()) / 1e9);
    }
    state.counters["longest_stall_ms"] = stall;
    state.counters["idle_stall_ms"] = idleStall(1000);
}
BENCHMARK(BM_ColourBlock)
    ->Name("colour_1000_line_block")
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Fifty new formulas (inline and displayed, fractions, sums, matrices) typeset by the worker
// (MathJax already loaded): the time until the last is back, and the longest stall.
void BM_TypesetFormulas(benchmark::State &state)
{
    static const QStringList kinds = {
        QStringLiteral("x_{%1}^2 + y^2"),
        QStringLiteral("\\frac{a_{%1}}{b}"),
        QStringLiteral("\\int_0^{%1} x^2\\,dx"),
        QStringLiteral("\\sum_{k=1}^{%1} \\frac{1}{k^2}"),
        QStringLiteral("\\begin{pmatrix}%1&2&3\\\\4&5&6\\\\7&8&9\\end{pmatrix}"),
    };
    quint32 round = 0;
    bool warmedUp = false;
    ScriptWorker::instance()->typeset({QStringLiteral("x"), false, 14, QColor(Qt::black)}, nullptr,
                                      [&](const ScriptWorker::Formula &) { warmedUp = true; });
    (void)longestStallUntil([&] { return warmedUp; });
    double stall = 0;
    for (auto _ : state) {
        int landed = 0;
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 50; ++i) {
            const QString tex = kinds.at(i % kinds.size()).arg(round * 100 + quint32(i));
            ScriptWorker::instance()->typeset({tex, i % 3 == 0, 14, QColor(Qt::black)}, nullptr,
                                              [&](const ScriptWorker::Formula &) { ++landed; });
        }
        stall = std::max(stall, longestStallUntil([&] { return landed == 50; }));
        state.SetIterationTime(double(timer.nsecsElapsed()) / 1e9);
        ++round;
    }
    state.counters["longest_stall_ms"] = stall;
    state.counters["idle_stall_ms"] = idleStall(1000);
}
BENCHMARK(BM_TypesetFormulas)
    ->Name("typeset_50_formulas")
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Resident memory once 100 formulas are typeset and 10,000 lines coloured (ten blocks of a
// thousand), with the worker's engine and both libraries loaded: "resident_MB" after
// malloc_trim, and "added_MB" over the process before the first of them (run it alone,
// --benchmark_filter=memory_after, so that nothing before it has started the worker).
void BM_MemoryAfterMathAndCode(benchmark::State &state)
{
    for (auto _ : state) {
        malloc_trim(0);
        const double before = residentMegabytes();
        int landed = 0;
        for (int i = 0; i < 100; ++i)
            ScriptWorker::instance()->typeset(
                {QStringLiteral("\\frac{%1}{x_{%1}} + \\sqrt{y}").arg(i + 7000), i % 4 == 0, 14,
                 QColor(Qt::black)},
                nullptr, [&](const ScriptWorker::Formula &) { ++landed; });
        for (int i = 0; i < 10; ++i)
            ScriptWorker::instance()->colour(codeBlock(1000, 7000 + quint32(i)),
                                             QStringLiteral("cpp"), nullptr,
                                             [&](const ScriptWorker::Colouring &) { ++landed; });
        (void)longestStallUntil([&] { return landed == 110; }, 600000);
        malloc_trim(0);
        state.counters["resident_MB"] = residentMegabytes();
        state.counters["added_MB"] = residentMegabytes() - before;
    }
}
BENCHMARK(BM_MemoryAfterMathAndCode)
    ->Name("memory_after_100_formulas_10000_lines")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

} // namespace

// The PDF export of a 500-message conversation (answers of 1,500 characters with headings,
// lists, a table and code), laid out and written to memory.
void BM_ExportPdf500(benchmark::State &state)
{
    MessageList messages;
    for (int i = 0; i < 250; ++i) {
        messages.append(Message(benchText(60, quint32(i)), true));
        messages.append(Message(benchMarkdownAnswer(1500, quint32(i))
                                    .replace(QStringLiteral("<code>"), QStringLiteral("\n```\n"))
                                    .replace(QStringLiteral("</code>"), QStringLiteral("\n```\n")),
                                false));
    }
    qint64 bytes = 0;
    for (auto _ : state) {
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        ConversationPdf::write(&out, QStringLiteral("导出测试"), messages);
        bytes = out.size();
    }
    state.counters["pdf_MB"] = double(bytes) / 1e6;
}
BENCHMARK(BM_ExportPdf500)->Iterations(1)->Unit(benchmark::kMillisecond);

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
