// Talvoro's start against a bare Qt Quick window, in one run on one X server (run it under
// xvfb-run): the time from spawning each program to the X server mapping its window, with the
// software renderer, and Talvoro's resident memory once its window is up. Talvoro starts signed
// in, with a stored conversation of 38 or 10,000 messages.

#include "benchdata.h"
#include "conversation/conversationstore.h"
#include "conversation/message.h"
#include "core/settingkeys.h"
#include "core/settingsstore.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <benchmark/benchmark.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdio>
#include <poll.h>

namespace {

// Seconds from starting `program` to the first window the X server maps; -1 when none comes
// within 10 s. The process is left running.
double secondsToMapped(QProcess &process, const QString &program)
{
    xcb_connection_t *x = xcb_connect(nullptr, nullptr);
    // Right after a killed client's connection, the server may refuse the next one for a moment.
    for (int attempt = 0; xcb_connection_has_error(x) && attempt < 20; ++attempt) {
        xcb_disconnect(x);
        QThread::msleep(50);
        x = xcb_connect(nullptr, nullptr);
    }
    if (xcb_connection_has_error(x)) {
        xcb_disconnect(x);
        return -1;
    }
    xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(x)).data;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x, screen->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(x);

    QElapsedTimer clock;
    clock.start();
    process.start(program, {});
    double seconds = -1;
    pollfd watch{xcb_get_file_descriptor(x), POLLIN, 0};
    while (seconds < 0 && clock.elapsed() < 10000) {
        while (xcb_generic_event_t *event = xcb_poll_for_event(x)) {
            if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY && seconds < 0)
                seconds = double(clock.nsecsElapsed()) / 1e9;
            free(event);
        }
        if (seconds < 0)
            poll(&watch, 1, 5);
    }
    xcb_disconnect(x);
    return seconds;
}

// A home for Talvoro: signed in, the welcome seen, a history of `messages` messages in
// conversations of 20 (answers of 1,500 characters).
QProcessEnvironment preparedHome(const QTemporaryDir &home, int messages)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name :
         {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
        const QString dir = home.path() + u'/' + QLatin1String(name);
        QDir().mkpath(dir);
        QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                       QFileDevice::ExeOwner);
        env.insert(QLatin1String(name), dir);
    }
    env.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));

    const QString folder =
        env.value(QStringLiteral("XDG_CONFIG_HOME")) + QStringLiteral("/Talvoro/Talvoro");
    QDir().mkpath(folder);
    SettingsStore settings(folder + QStringLiteral("/settings.sqlite"));
    settings.set(QString(SettingKeys::isLoggedIn), true);
    settings.set(QString(SettingKeys::hasSeenWelcome), true);
    // Written as the old blob and converted as a start does, so the file is what a heavy user
    // upgrading has.
    settings.set(QString(SettingKeys::conversations),
                 ConversationCodec::encode(benchHeavyHistory(messages)));
    ConversationStore conversations(&settings);
    // And indexed, as the upgrade's worker leaves it: the starts measured are the later ones.
    QString error;
    benchIndexUpgradedHistory(settings.path(), &error);
    return env;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

// Both programs, alternately, eleven times each; the medians, their ratio and Talvoro's memory.
void BM_StartAgainstBareWindow(benchmark::State &state)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        state.SkipWithError("needs an X server: run under xvfb-run");
        return;
    }
    QTemporaryDir home;
    // For a closer look (strace, perf) at a start with the same home.
    if (qEnvironmentVariableIsSet("TALVORO_BENCH_KEEP_HOME")) {
        home.setAutoRemove(false);
        std::fprintf(stderr, "home: %s\n", qPrintable(home.path()));
    }
    const QProcessEnvironment env = preparedHome(home, int(state.range(0)));
    QList<double> bare, talvoro, resident;
    for (auto _ : state) {
        for (int round = 0; round < 11; ++round) {
            for (const bool ours : {false, true}) {
                QProcess process;
                process.setProcessEnvironment(env);
                process.setStandardOutputFile(QProcess::nullDevice());
                process.setStandardErrorFile(QProcess::nullDevice());
                const double seconds = secondsToMapped(
                    process, QString::fromUtf8(ours ? TALVORO_APP : TALVORO_BARE_WINDOW));
                if (seconds < 0) {
                    state.SkipWithError("a window was never mapped");
                    return;
                }
                (ours ? talvoro : bare).append(seconds * 1e3);
                if (ours) {
                    QThread::msleep(500);
                    resident.append(residentMegabytes(QString::number(process.processId())));
                }
                process.kill();
                process.waitForFinished();
            }
        }
        state.SetIterationTime(median(talvoro) / 1e3);
    }
    state.counters["bare_ms"] = median(bare);
    state.counters["talvoro_ms"] = median(talvoro);
    state.counters["ratio"] = median(talvoro) / median(bare);
    state.counters["talvoro_rss_MiB"] = median(resident);
}
BENCHMARK(BM_StartAgainstBareWindow)
    ->Name("start_to_window_mapped")
    ->Arg(0)
    ->Arg(50000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
