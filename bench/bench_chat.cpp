#include "benchdata.h"
#include "chat/chatcontroller.h"
#include "chat/openconversations.h"
#include "chat/replyformatter.h"
#include "conversation/conversationstore.h"
#include "core/settingsstore.h"
#include "service/chargerules.h"
#include "service/replyreader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The readers write the diagnostic log (the plain-data reader logs the whole body); while a
// benchmark runs it goes to /dev/null, which still costs the writes but not a terminal.
class QuietStdout {
public:
    QuietStdout()
    {
        std::fflush(stdout);
        m_saved = dup(1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~QuietStdout()
    {
        std::fflush(stdout);
        dup2(m_saved, 1);
        close(m_saved);
    }

private:
    int m_saved;
};

QByteArray compact(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray openAIBody(qsizetype size)
{
    QByteArray body;
    quint32 seed = 1;
    while (body.size() < size) {
        const QJsonObject chunk{
            {"id", "chatcmpl-9f"},
            {"object", "chat.completion.chunk"},
            {"created", 1718000000},
            {"model", "gpt-4o-2024-05-13"},
            {"choices",
             QJsonArray{QJsonObject{{"index", 0},
                                    {"delta", QJsonObject{{"content", benchText(24, seed++)}}},
                                    {"logprobs", QJsonValue()},
                                    {"finish_reason", QJsonValue()}}}},
        };
        body += "data: " + compact(chunk) + "\n\n";
    }
    return body + "data: [DONE]\n\n";
}

QByteArray claudeBody(qsizetype size)
{
    QByteArray body = "event: message_start\ndata: {\"type\":\"message_start\"}\n\n";
    quint32 seed = 1;
    while (body.size() < size) {
        const QJsonObject event{
            {"type", "content_block_delta"},
            {"index", 0},
            {"delta", QJsonObject{{"type", "text_delta"}, {"text", benchText(24, seed++)}}},
        };
        body += "event: content_block_delta\ndata: " + compact(event) + "\n\n";
    }
    return body + "event: message_stop\ndata: {\"type\":\"message_stop\"}\n\n";
}

QByteArray plainBody(qsizetype size)
{
    QByteArray body;
    quint32 seed = 1;
    while (body.size() < size)
        body += "data: " + benchText(200, seed++).toUtf8() + "\n";
    return body;
}

template <QByteArray (*Make)(qsizetype), QString (*Read)(const QByteArray &)>
void readBody(benchmark::State &state)
{
    const QByteArray body = Make(state.range(0));
    const QuietStdout quiet;
    for (auto _ : state)
        benchmark::DoNotOptimize(Read(body));
    state.SetBytesProcessed(state.iterations() * body.size());
}

constexpr qsizetype kMB = 1024 * 1024;

void BM_ReadOpenAIStream(benchmark::State &state)
{
    readBody<openAIBody, ReplyReader::readOpenAIStream>(state);
}
void BM_ReadClaudeStream(benchmark::State &state)
{
    readBody<claudeBody, ReplyReader::readClaudeStream>(state);
}
void BM_ReadPlainDataStream(benchmark::State &state)
{
    readBody<plainBody, ReplyReader::readPlainDataStream>(state);
}
BENCHMARK(BM_ReadOpenAIStream)->Arg(kMB)->Arg(10 * kMB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadClaudeStream)->Arg(kMB)->Arg(10 * kMB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPlainDataStream)->Arg(kMB)->Arg(10 * kMB)->Unit(benchmark::kMillisecond);

// A body as the network hands it over, in 4 KiB reads: each read fed to the reader and the new
// text taken out for the bubble, then the whole answer at the end.
template <QByteArray (*Make)(qsizetype), ReplyStreamReader::Layout layout>
void readInPieces(benchmark::State &state)
{
    const QByteArray body = Make(10 * kMB);
    constexpr qsizetype kRead = 4096;
    QList<QByteArray> reads;
    for (qsizetype at = 0; at < body.size(); at += kRead)
        reads.append(body.mid(at, kRead));
    const QuietStdout quiet;
    for (auto _ : state) {
        const auto reader = ReplyStreamReader::create(layout);
        for (const QByteArray &read : std::as_const(reads)) {
            reader->feed(read);
            benchmark::DoNotOptimize(reader->takeNewText());
        }
        reader->finish();
        benchmark::DoNotOptimize(reader->text());
    }
    state.SetBytesProcessed(state.iterations() * body.size());
}

void BM_ReadOpenAIStreamIn4KiBReads(benchmark::State &state)
{
    readInPieces<openAIBody, ReplyStreamReader::Layout::OpenAI>(state);
}
void BM_ReadClaudeStreamIn4KiBReads(benchmark::State &state)
{
    readInPieces<claudeBody, ReplyStreamReader::Layout::Claude>(state);
}
void BM_ReadPlainDataStreamIn4KiBReads(benchmark::State &state)
{
    readInPieces<plainBody, ReplyStreamReader::Layout::PlainData>(state);
}
BENCHMARK(BM_ReadOpenAIStreamIn4KiBReads)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadClaudeStreamIn4KiBReads)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPlainDataStreamIn4KiBReads)->Unit(benchmark::kMillisecond);

void BM_FormatReplyText(benchmark::State &state)
{
    const QString text = benchText(int(kMB), 7);
    for (auto _ : state)
        benchmark::DoNotOptimize(ReplyFormatter::formatReplyText(text));
    state.SetBytesProcessed(state.iterations() * text.size() * 2);
}
BENCHMARK(BM_FormatReplyText)->Unit(benchmark::kMillisecond);

void BM_CountBillableCharacters(benchmark::State &state)
{
    const QString text = benchText(int(kMB), 9);
    for (auto _ : state)
        benchmark::DoNotOptimize(ChargeRules::countBillableCharacters(text));
    state.SetBytesProcessed(state.iterations() * text.size() * 2);
}
BENCHMARK(BM_CountBillableCharacters)->Unit(benchmark::kMillisecond);

MessageList longConversation(int count)
{
    MessageList list;
    for (int i = 0; i < count; ++i)
        list.append(Message(benchText(200, quint32(i + 1)), i % 2 == 0));
    return list;
}

void BM_BuildContext(benchmark::State &state)
{
    MessageList list = longConversation(int(state.range(0)));
    Message placeholder(QString(), false);
    placeholder.isLoading = true;
    list.append(placeholder);
    for (auto _ : state)
        benchmark::DoNotOptimize(ChatController::buildContext(list, ChatController::kContextLimit));
}
BENCHMARK(BM_BuildContext)->Arg(10000)->Unit(benchmark::kMicrosecond);

// One whole send in a conversation of 10,000 messages, up to the point where the network
// takes over: validation, two appended rows, the context, and (with no quota service here)
// the notice that ends it. The store is not written on this path.
void BM_SendInLongConversation(benchmark::State &state)
{
    QTemporaryDir dir;
    SettingsStore settings(dir.filePath(QStringLiteral("s.db")));
    ConversationStore store(&settings);
    OpenConversations open(&store);
    const QUuid id = QUuid::createUuid();
    store.saveMessages(id, longConversation(int(state.range(0))));
    ChatController controller(ChatController::Services{&settings, &open, nullptr, nullptr});
    {
        const QuietStdout quiet;
        controller.selectConversation(id);
    }
    for (auto _ : state) {
        controller.setMessageText(QStringLiteral("请总结一下上面的讨论"));
        controller.sendMessage();
    }
}
BENCHMARK(BM_SendInLongConversation)->Arg(10000)->Unit(benchmark::kMicrosecond);

} // namespace
