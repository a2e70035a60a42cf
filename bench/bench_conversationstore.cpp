#include "benchdata.h"
#include "chat/conversationlistmodel.h"
#include "conversation/conversationstore.h"
#include "conversation/historydatabase.h"
#include "conversation/historymigration.h"
#include "conversation/messagerows.h"
#include "conversation/searchindex.h"
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
        benchIndexUpgradedHistory(path, &error);
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

// What the upgrade leaves for after the window is up: indexing the converted history, a small
// write at a time on the worker, with no other writer waiting.
void BM_IndexAfterUpgrade(benchmark::State &state)
{
    const LegacyFile &legacy = legacyFile(65536);
    for (auto _ : state) {
        state.PauseTiming();
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("settings.sqlite"));
        QFile::copy(legacy.path, path);
        HistoryMigration::Outcome outcome;
        QString error;
        HistoryMigration::run(path, &outcome, &error);
        state.ResumeTiming();
        if (!benchIndexUpgradedHistory(path, &error))
            state.SkipWithError(qPrintable(error));
    }
}
BENCHMARK(BM_IndexAfterUpgrade)->Iterations(2)->Unit(benchmark::kMillisecond);

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

// Searching the heavy history, the query's results as the results list reads them. Queries of
// three characters or more go through the trigram index, shorter ones scan the indexed text;
// a query that matches nothing is the scan's worst case (every row read).
const char *const kQueries[] = {"内存占用", "吞吐量很高", "QAbstractListModel", "延迟",
                                "狐",       "不存在",     "quick 注意"};
void BM_SearchHistory(benchmark::State &state)
{
    SettingsStore settings(convertedFile(65536).path);
    ConversationStore store(&settings);
    const QString query = QString::fromUtf8(kQueries[state.range(0)]);
    qsizetype found = 0;
    for (auto _ : state)
        found = store.search(query, 200).size();
    state.SetLabel(kQueries[state.range(0)]);
    state.counters["results"] = double(found);
}
BENCHMARK(BM_SearchHistory)
    ->DenseRange(0, int(std::size(kQueries)) - 1)
    ->Unit(benchmark::kMillisecond);

// What the index adds to a write: indexing one new 1,500-character answer, inside the write's
// own transaction (rolled back, so the history stays as it was).
void BM_IndexOneAnswer(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.sqlite"));
    QFile::copy(convertedFile(65536).path, path);
    SettingsStore settings(path);
    ConversationStore store(&settings);
    const QUuid conversation = store.historyRows(0, 1).first().id;
    QSqlDatabase db = settings.database();
    HistoryDatabase history(db);
    quint32 seed = 11;
    std::vector<double> times;
    for (auto _ : state) {
        Message answer(benchText(1500, seed++), false);
        history.begin();
        QSqlQuery insert(db);
        insert.prepare(MessageRows::insertStatement(MessageRows::OnConflict::Update));
        MessageRows::bind(insert, conversation, answer, 1'000'000);
        insert.exec();
        QElapsedTimer timer;
        timer.start();
        QString error;
        if (!SearchIndex::put(db, answer, &error))
            state.SkipWithError(qPrintable(error));
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
        history.rollback();
    }
    state.counters["index_put_median_ms"] = median(times);
}
BENCHMARK(BM_IndexOneAnswer)->Iterations(200)->Unit(benchmark::kMillisecond);

// The database with the search index, and the same history without it (tables dropped, file
// compacted), in MB.
void BM_IndexSize(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.sqlite"));
    QFile::copy(convertedFile(65536).path, path);
    // Both compacted, so neither counts the pages the old blob left free.
    const auto run = [&path](const QStringList &statements) {
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), path);
            db.setDatabaseName(path);
            db.open();
            QSqlQuery q(db);
            for (const QString &statement : statements)
                q.exec(statement);
            q.exec(QStringLiteral("VACUUM"));
            q.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
            db.close();
        }
        QSqlDatabase::removeDatabase(path);
        return QFileInfo(path).size();
    };
    qint64 with = 0, without = 0;
    for (auto _ : state) {
        with = run({});
        without = run(
            {QStringLiteral("DROP TABLE search_index"), QStringLiteral("DROP TABLE search_text")});
    }
    state.counters["with_index_MB"] = double(with) / 1e6;
    state.counters["without_index_MB"] = double(without) / 1e6;
}
BENCHMARK(BM_IndexSize)->Iterations(1)->Unit(benchmark::kMillisecond);

// Opening the history list with pins and date groups: `range` conversations pinned.
void BM_HistoryFirstRowsPinned(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.sqlite"));
    QFile::copy(convertedFile(65536).path, path);
    SettingsStore settings(path);
    ConversationStore store(&settings);
    for (const HistoryRow &row : store.historyRows(500, int(state.range(0))))
        store.setPinned(row.id, true);
    for (auto _ : state) {
        ConversationListModel model;
        model.setStore(&store);
        for (int row = 0; row < model.rowCount(); ++row) {
            benchmark::DoNotOptimize(
                model.data(model.index(row), ConversationListModel::SectionRole));
            benchmark::DoNotOptimize(model.data(model.index(row), ConversationListModel::DateRole));
        }
    }
}
BENCHMARK(BM_HistoryFirstRowsPinned)->Arg(0)->Arg(20)->Arg(200)->Unit(benchmark::kMillisecond);

} // namespace
