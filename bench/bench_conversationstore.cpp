#include "benchdata.h"
#include "conversation/conversationstore.h"
#include "core/settingkeys.h"
#include "core/settingsstore.h"

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
        settings.set(QString(SettingKeys::conversations),
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

static void BM_EncodeConversations(benchmark::State &state)
{
    const ConversationMap map = benchConversations(int(state.range(0)));
    qsizetype bytes = 0;
    for (auto _ : state) {
        const QByteArray encoded = ConversationCodec::encode(map);
        bytes += encoded.size();
    }
    state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_EncodeConversations)->Arg(10000)->Unit(benchmark::kMillisecond);

static void BM_DecodeConversations(benchmark::State &state)
{
    const QByteArray encoded = ConversationCodec::encode(benchConversations(int(state.range(0))));
    for (auto _ : state)
        benchmark::DoNotOptimize(ConversationCodec::decode(encoded));
    state.SetBytesProcessed(state.iterations() * encoded.size());
}
BENCHMARK(BM_DecodeConversations)->Arg(10000)->Unit(benchmark::kMillisecond);

// The database write alone, for the size of a 10,000-message history.
static void BM_SettingsSetBlob(benchmark::State &state)
{
    QTemporaryDir dir;
    SettingsStore settings(dir.filePath(QStringLiteral("settings.sqlite")));
    QByteArray blob(state.range(0), 'x');
    for (auto _ : state) {
        blob[0] = char('a' + state.iterations() % 26);
        settings.set(QStringLiteral("conversations"), blob);
    }
    state.SetBytesProcessed(state.iterations() * blob.size());
}
BENCHMARK(BM_SettingsSetBlob)->Arg(4 << 20)->Unit(benchmark::kMillisecond);
