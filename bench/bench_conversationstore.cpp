#include "benchdata.h"
#include "conversationstore.h"
#include "settingsstore.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

// Encode + write of the whole history, as every answer does.
static void BM_SaveConversations(benchmark::State &state)
{
    QTemporaryDir dir;
    SettingsStore settings(dir.filePath(QStringLiteral("settings.sqlite")));
    ConversationStore store(&settings);
    const ConversationMap map = benchConversations(int(state.range(0)));
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        store.saveCurrentConversation(it.key(), it.value());

    const auto first = map.cbegin();
    for (auto _ : state)
        store.saveCurrentConversation(first.key(), first.value());
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SaveConversations)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// Read + decode of the whole history, as every start does.
static void BM_LoadConversations(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.sqlite"));
    {
        SettingsStore settings(path);
        settings.set(QString(ConversationStore::kKey),
                     ConversationCodec::encode(benchConversations(int(state.range(0)))));
    }
    for (auto _ : state) {
        SettingsStore settings(path);
        ConversationStore store(&settings);
        benchmark::DoNotOptimize(store.conversations().size());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_LoadConversations)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
