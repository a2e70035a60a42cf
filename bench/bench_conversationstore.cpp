#include "benchdata.h"
#include "chat/conversationlistmodel.h"
#include "conversation/conversationstore.h"
#include "conversation/historymigration.h"
#include "core/settingkeys.h"
#include "core/settingsstore.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <map>
#include <memory>

#include <benchmark/benchmark.h>

namespace {

constexpr int kHeavyMessages = 50'000;

// A settings file holding the heavy history as the old blob, in pages of `pageSize` bytes (the
// settings store makes its files with 64 KiB pages), made once per run and page size.
struct LegacyFile {
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("legacy.sqlite"));
    qint64 blobBytes = 0;
    explicit LegacyFile(int pageSize)
    {
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), path);
            db.setDatabaseName(path);
            db.open();
            QSqlQuery(db).exec(QStringLiteral("PRAGMA page_size=%1").arg(pageSize));
            QSqlQuery(db).exec(QStringLiteral("PRAGMA journal_mode=WAL"));
            db.close();
        }
        QSqlDatabase::removeDatabase(path);
        SettingsStore settings(path);
        const QByteArray blob = ConversationCodec::encode(benchHeavyHistory(kHeavyMessages));
        blobBytes = blob.size();
        settings.set(QString(SettingKeys::conversations), blob);
    }
};
const LegacyFile &legacyFile(int pageSize)
{
    static std::map<int, std::unique_ptr<LegacyFile>> files;
    auto &file = files[pageSize];
    if (!file)
        file = std::make_unique<LegacyFile>(pageSize);
    return *file;
}

// The same history as rows, converted once per run and page size.
struct ConvertedFile {
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("rows.sqlite"));
    explicit ConvertedFile(int pageSize)
    {
        QFile::copy(legacyFile(pageSize).path, path);
        HistoryMigration::Outcome outcome;
        QString error;
        HistoryMigration::run(path, &outcome, &error);
        // A checkpoint, so the file's size is the database's, not the journal's.
        SettingsStore(path).database().exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    }
};
const ConvertedFile &convertedFile(int pageSize)
{
    static std::map<int, std::unique_ptr<ConvertedFile>> files;
    auto &file = files[pageSize];
    if (!file)
        file = std::make_unique<ConvertedFile>(pageSize);
    return *file;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// The conversion of the old blob into rows: backup file, decode, one transaction.
void BM_MigrateHeavyHistory(benchmark::State &state)
{
    const LegacyFile &legacy = legacyFile(int(state.range(0)));
    qint64 fileBytes = 0, usedBytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("settings.sqlite"));
        QFile::copy(legacy.path, path);
        state.ResumeTiming();
        HistoryMigration::Outcome outcome;
        QString error;
        if (!HistoryMigration::run(path, &outcome, &error) || outcome.messages != kHeavyMessages)
            state.SkipWithError(qPrintable(error));
        state.PauseTiming();
        {
            SettingsStore settings(path);
            QSqlQuery q(settings.database());
            q.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
            const auto pragma = [&q](const char *name) {
                q.exec(QStringLiteral("PRAGMA ") + QLatin1String(name));
                return q.next() ? q.value(0).toLongLong() : 0;
            };
            // The blob's pages are free once it is gone, and taken again as the history grows.
            usedBytes = (pragma("page_count") - pragma("freelist_count")) * pragma("page_size");
        }
        fileBytes = QFileInfo(path).size();
        state.ResumeTiming();
    }
    state.counters["blob_MB"] = double(legacy.blobBytes) / 1e6;
    state.counters["file_MB"] = double(fileBytes) / 1e6;
    state.counters["rows_MB"] = double(usedBytes) / 1e6;
}
BENCHMARK(BM_MigrateHeavyHistory)->Arg(65536)->Iterations(3)->Unit(benchmark::kMillisecond);

// What a send and its answer write, with 50,000 messages stored: the question and the answer
// still arriving, then the 1,500-character answer in its place. Median of each.
void BM_WriteOneMessage(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.sqlite"));
    QFile::copy(convertedFile(int(state.range(0))).path, path);
    SettingsStore settings(path);
    ConversationStore store(&settings);
    const QUuid conversation = store.historyRows(0, 1).first().id;
    std::vector<double> sends, answers;
    quint32 seed = 7;
    for (auto _ : state) {
        Message question(benchText(60, seed++), true);
        Message answer(QString(), false);
        answer.kind = MessageKind::Arriving;
        QElapsedTimer timer;
        timer.start();
        store.saveMessages(conversation, {question, answer});
        sends.push_back(double(timer.nsecsElapsed()) / 1e6);
        answer.kind = MessageKind::Answer;
        answer.content = benchText(1500, seed++);
        timer.restart();
        store.saveMessage(conversation, answer);
        answers.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    state.counters["send_write_median_ms"] = median(sends);
    state.counters["answer_write_median_ms"] = median(answers);
}
BENCHMARK(BM_WriteOneMessage)->Arg(65536)->Iterations(200)->Unit(benchmark::kMillisecond);

// Opening the history list: the first page of rows, as the sheet's model reads it.
void BM_HistoryFirstRows(benchmark::State &state)
{
    SettingsStore settings(convertedFile(65536).path);
    ConversationStore store(&settings);
    for (auto _ : state) {
        ConversationListModel model;
        model.setStore(&store);
        benchmark::DoNotOptimize(model.rowCount());
    }
}
BENCHMARK(BM_HistoryFirstRows)->Unit(benchmark::kMillisecond);

// Opening one 20-message conversation of the heavy history.
void BM_OpenConversation(benchmark::State &state)
{
    SettingsStore settings(convertedFile(65536).path);
    ConversationStore store(&settings);
    const QUuid conversation = store.historyRows(100, 1).first().id;
    for (auto _ : state)
        benchmark::DoNotOptimize(store.messages(conversation));
}
BENCHMARK(BM_OpenConversation)->Unit(benchmark::kMillisecond);

} // namespace
