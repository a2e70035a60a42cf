#include "chat/messageblocks.h"
#include "chat/replyformatter.h"
#include "logcapture.h"
#include "piecewisereading.h"
#include "service/replyreader.h"

#include <QDir>
#include <QTest>

using Layout = ReplyStreamReader::Layout;
Q_DECLARE_METATYPE(ReplyStreamReader::Layout)

// Event-stream bodies as the providers publish them, and the edge cases the readers must get
// exactly right.
class TestReplyReader : public QObject {
    Q_OBJECT

    // An OpenAI data line whose first choice carries `content` (JSON), and a Claude text delta.
    static QByteArray oa(const QByteArray &content)
    {
        return "data: {\"choices\":[{\"delta\":{\"content\":" + content + "}}]}\n";
    }
    static QByteArray delta(const QByteArray &text)
    {
        return "data: {\"type\":\"content_block_delta\",\"delta\":{\"text\":" + text + "}}\n";
    }
    // A reply's text as shown once it has all arrived, or (`partial`) while it arrives.
    static void row(const char *name, const QString &text, const QString &shown,
                    bool partial = false)
    {
        QTest::newRow(name) << text << shown << partial;
    }

private slots:
    void openAIStream_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("parseFailures");

        QTest::newRow("two pieces then an end marker")
            << oa("\"Hel\"") + oa("\"lo\"") + "data: [DONE]\n"
            << "Hello" << 1;
        const QByteArray head =
            "data: {\"id\":\"chatcmpl-9\",\"object\":\"chat.completion.chunk\","
            "\"model\":\"gpt-4o-2024-05-13\",\"choices\":[{\"index\":0,\"delta\":";
        const QByteArray published =
            head + "{\"role\":\"assistant\",\"content\":\"\"},\"finish_reason\":null}]}\n\n" +
            head +
            "{\"content\":\"\\u4f60\\u597d\\n\\\"q\\\"\"},\"logprobs\":null}],\"usage\":null}\n\n" +
            head +
            "{},\"finish_reason\":\"stop\"}]}\n\n"
            "data: {\"choices\":[],\"usage\":{\"prompt_tokens\":9,\"total_tokens\":11}}\n\n"
            "data: [DONE]\n\n";
        QTest::newRow("published chunks, usage chunk, done") << published << "你好\n\"q\"" << 1;
        QByteArray crlf = published;
        crlf.replace("\n", "\r\n");
        QTest::newRow("published chunks with CR LF") << crlf << "你好\n\"q\"" << 1;
        QTest::newRow("only the first choice is read")
            << QByteArray("data: {\"choices\":[{\"delta\":{\"content\":\"a\"}},"
                          "{\"delta\":{\"content\":\"b\"}}]}")
            << "a" << 0;
        QTest::newRow("choices holding a non-object")
            << QByteArray("data: {\"choices\":[{\"delta\":{\"content\":\"a\"}},7]}") << "" << 0;
        QTest::newRow("content null, delta not an object, choices not an array")
            << QByteArray("data: {\"choices\":[{\"delta\":{\"content\":null}}]}\n"
                          "data: {\"choices\":[{\"delta\":\"x\"}]}\n"
                          "data: {\"choices\":{\"delta\":{\"content\":\"x\"}}}\n")
            << "" << 0;
        QTest::newRow("every data: is removed, inside the text too")
            << QByteArray("data: data: {\"choices\":[{\"delta\":{\"content\":\"a data: b\"}}]}")
            << "a b" << 0;
        QTest::newRow("other lines and data: without a space are not data")
            << QByteArray(": keep-alive\nevent: x\nid: 3\n\n\n"
                          "data:{\"choices\":[{\"delta\":{\"content\":\"no\"}}]}\n"
                          " data: {\"choices\":[{\"delta\":{\"content\":\"no\"}}]}\n")
            << "" << 0;
        QTest::newRow("bare values are errors")
            << QByteArray("data: 42\ndata: \"text\"\ndata: true\ndata: null\ndata: \n") << "" << 5;
        QTest::newRow("a top-level array is valid and ignored")
            << QByteArray("data: [{\"choices\":[{\"delta\":{\"content\":\"x\"}}]}]") << "" << 0;
        QTest::newRow("broken JSON anywhere fails the whole line")
            << QByteArray("data: {\"choices\":[{\"delta\":{\"content\":\"a\"}}],\"x\":tru}\n") +
                   oa("\"b\"").replace("\n", " trailing\n") + oa("\"c\"").replace("\n", "}\n") +
                   "data: {\"choices\":[{\"delta\":{\"content\":\"d\"\n" + oa("\"e\"")
            << "e" << 4;
        QTest::newRow("last line without a line end") << oa("\"end\"").chopped(1) << "end" << 0;
        QTest::newRow("not UTF-8 reads as nothing") << oa("\"\xff\"") << "" << 0;
        QTest::newRow("empty body") << QByteArray() << "" << 0;
        // Each of these overflowed the stack before nesting was limited.
        const QByteArray deep = QByteArray(200000, '[') + QByteArray(200000, ']');
        QTest::newRow("200000 nested arrays") << "data: " + deep + "\n"
                                              << "" << 1;
        QTest::newRow("200000 nested arrays inside choices, then an answer")
            << "data: {\"choices\":" + deep + "}\n" + oa("\"ok\"") << "ok" << 1;
        QTest::newRow("1000 nested arrays are still JSON")
            << "data: " + QByteArray(1000, '[') + QByteArray(1000, ']') << "" << 0;
    }

    void openAIStream()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        QFETCH(int, parseFailures);
        LogCapture log;
        QCOMPARE(ReplyReader::readOpenAIStream(body), expected);
        QCOMPARE(log.count(QStringLiteral("JSON解析失败: ")), parseFailures);
        QCOMPARE(log.all().size(), parseFailures);
        verifyAnySplitReadsTheSame(Layout::OpenAI, body);
    }

    void claudeStream_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QStringList>("logLines");

        const QByteArray messageDelta =
            "{\"type\":\"message_delta\",\"delta\":{\"stop_reason\":\"end_turn\"}}";
        QTest::newRow("two deltas, one message_delta, three others")
            << "data: {\"type\":\"message_start\"}\n" + delta("\"Hi \"") +
                   "data: {\"type\":\"ping\"}\n"
                   "data: {\"delta\":{\"text\":\"there\"},\"type\":\"content_block_delta\"}\n"
                   "data: " +
                   messageDelta + "\ndata: {\"type\":\"message_stop\"}\n"
            << "Hi there"
            << QStringList{"Unhandled event type: message_start", "Unhandled event type: ping",
                           "Message Delta: " + messageDelta, "Unhandled event type: message_stop"};

        // As published: "event:" lines, blank lines between events, members the reader skips.
        const auto event = [](const QByteArray &type, const QByteArray &members) {
            return "event: " + type + "\ndata: {\"type\":\"" + type + "\"" + members + "}\n\n";
        };
        const QByteArray text = ",\"index\":0,\"delta\":{\"type\":\"text_delta\",\"text\":";
        QByteArray published =
            event("message_start", ",\"message\":{\"id\":\"msg_01\",\"content\":[],"
                                   "\"usage\":{\"input_tokens\":25,\"output_tokens\":1}}") +
            event("content_block_start", ",\"index\":0,\"content_block\":{\"type\":\"text\"}") +
            event("ping", "") + event("content_block_delta", text + "\"你好\"}") +
            event("content_block_delta", text + "\"!\\n\"}") +
            event("content_block_stop", ",\"index\":0") +
            event("message_delta", ",\"delta\":{\"stop_reason\":\"end_turn\"}") +
            event("message_stop", "");
        const QStringList publishedLog{
            "Unhandled event type: message_start",
            "Unhandled event type: content_block_start",
            "Unhandled event type: ping",
            "Unhandled event type: content_block_stop",
            "Message Delta: {\"type\":\"message_delta\",\"delta\":{\"stop_reason\":\"end_turn\"}}",
            "Unhandled event type: message_stop",
        };
        QTest::newRow("published events with event: lines and ping") << published << "你好!\n"
                                                                     << publishedLog;
        published.replace("\n", "\r\n");
        QTest::newRow("published events with CR LF") << published << "你好!\n" << publishedLog;

        QTest::newRow("delta without text or not an object, type not a string, error event")
            << QByteArray("data: {\"type\":\"content_block_delta\",\"delta\":{\"type\":"
                          "\"input_json_delta\",\"partial_json\":\"{}\"}}\n"
                          "data: {\"type\":5,\"delta\":{\"text\":\"x\"}}\n"
                          "data: {\"type\":\"content_block_delta\",\"delta\":\"x\"}\n"
                          "data: {\"delta\":{\"text\":\"x\"}}\n"
                          "data: {\"type\":\"error\",\"error\":{\"type\":\"overloaded_error\"}}\n"
                          "data: [DONE]\n")
            << ""
            << QStringList{"Unhandled event type: error",
                           "JSON解析失败: " + simdjsonTapeError("[DONE]")};
        QTest::newRow("200000 nested arrays in a delta")
            << "data: {\"type\":\"content_block_delta\",\"delta\":{\"text\":" +
                   QByteArray(200000, '[') + QByteArray(200000, ']') + "}}\n"
            << ""
            << QStringList{QStringLiteral("JSON解析失败: ") +
                           simdjsonTapeError(QByteArray(2000, '[') + QByteArray(2000, ']'))};
    }

    void claudeStream()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        QFETCH(QStringList, logLines);
        LogCapture log;
        QCOMPARE(ReplyReader::readClaudeStream(body), expected);
        QCOMPARE(log.all(), logLines);
        verifyAnySplitReadsTheSame(Layout::Claude, body);
    }

    // The text read is the pieces logged, put together.
    void plainDataStream_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QStringList>("pieces");
        const auto row = [](const char *name, const QByteArray &body, const QStringList &pieces) {
            QTest::newRow(name) << body << pieces;
        };
        row("two pieces, final line end dropped", "data: Hello\ndata:  world\n",
            {"Hello", " world"});
        row("CR LF line ends", "data: Hello\r\ndata:  world\r\n", {"Hello", " world"});
        row("a piece runs over line breaks", "data: line1\nline2\n\ndata: x",
            {"line1\nline2\n", "x"});
        row("text before the first data: is dropped", "junk\ndata: a", {"a"});
        row("data: not after a line end does not split", "data: a data: b", {"a data: b"});
        row("only one final line break is dropped", "data: a\n\n", {"a\n"});
        row("empty pieces", "data: \ndata: ", {"", ""});
        row("no data at all", "hello\nworld\n", {});
        row("not UTF-8", "data: \xfe\xff", {});
    }

    void plainDataStream()
    {
        QFETCH(QByteArray, body);
        QFETCH(QStringList, pieces);
        LogCapture log;
        QCOMPARE(ReplyReader::readPlainDataStream(body), pieces.join(QString()));

        // A body that is not UTF-8 is logged, like everything else about it, as empty text.
        const bool utf8 = !QString::fromUtf8(body).contains(QChar::ReplacementCharacter);
        QStringList expectedLog{QStringLiteral("原文 ") +
                                (utf8 ? QString::fromUtf8(body) : QString())};
        for (const QString &piece : pieces)
            expectedLog.append(QStringLiteral("提取的完整内容:\n ") + piece);
        QCOMPARE(log.all(), expectedLog);
        verifyAnySplitReadsTheSame(Layout::PlainData, body);
    }

    // The bodies the fuzzers start from, and bodies whose separators, line ends and characters
    // fall on every byte: any split reads as the whole.
    void bodiesReadTheSameInAnyPieces_data()
    {
        QTest::addColumn<Layout>("layout");
        QTest::addColumn<QByteArray>("body");
        const std::pair<const char *, Layout> corpora[] = {
            {"openai_stream", Layout::OpenAI},
            {"claude_stream", Layout::Claude},
            {"plain_data_stream", Layout::PlainData}};
        for (const auto &[name, layout] : corpora) {
            const QDir dir(QStringLiteral(TALVORO_FUZZ_CORPUS "/") + QLatin1String(name));
            const QStringList files = dir.entryList(QDir::Files);
            QVERIFY(!files.isEmpty());
            for (const QString &file : files) {
                QFile f(dir.filePath(file));
                QVERIFY(f.open(QIODevice::ReadOnly));
                QTest::addRow("%s/%s", name, qPrintable(file)) << layout << f.readAll();
            }
        }
        const QByteArray mixed =
            "data: 你好\r\ndata:  🙂 wo\r\n\r\rdata: x\ndata: \n\r\ndata: \r";
        // Read a byte at a time, the separator starts where the unsettled bytes start.
        QTest::newRow("separator at the start of what is unsettled")
            << Layout::PlainData << QByteArray("data: ab\ndata:  c");
        for (Layout layout : {Layout::OpenAI, Layout::Claude, Layout::PlainData}) {
            QTest::addRow("line ends and characters everywhere, layout %d", int(layout))
                << layout << mixed;
            QTest::addRow("not UTF-8 after some text, layout %d", int(layout))
                << layout << mixed + "\ndata: \xe4\xbd\n" + mixed;
        }
    }

    void bodiesReadTheSameInAnyPieces()
    {
        QFETCH(Layout, layout);
        QFETCH(QByteArray, body);
        verifyAnySplitReadsTheSame(layout, body);
    }

    // A body cut off mid-line keeps the lines that ended; the plain-data family keeps the
    // piece that was growing.
    void cutOffKeepsWhatArrived_data()
    {
        QTest::addColumn<Layout>("layout");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("kept");
        QTest::newRow("OpenAI, half a line")
            << Layout::OpenAI << oa("\"a\"") + oa("\"b\"").chopped(1) << "a";
        QTest::newRow("Claude, half a line")
            << Layout::Claude << delta("\"a\"") + "data: {\"type\":"
            << "a";
        QTest::newRow("plain data, a growing piece")
            << Layout::PlainData << QByteArray("data: a\ndata: bc\r\n") << "abc";
    }

    void cutOffKeepsWhatArrived()
    {
        QFETCH(Layout, layout);
        QFETCH(QByteArray, body);
        QFETCH(QString, kept);
        LogCapture log;
        const auto reader = ReplyStreamReader::create(layout);
        reader->feed(body);
        reader->cutOff();
        QCOMPARE(reader->text(), kept);
        QCOMPARE(log.count(QStringLiteral("JSON解析失败: ")), 0);
    }

    // As an answer arrives character by character, what its bubble shows only ever grows:
    // every block but the last is already final, and the last is the start of its final self,
    // of the same kind. A block never shows as code and then as prose, or the other way.
    void partialAnswerNeverFlashes_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::newRow("prose, code, prose")
            << QStringLiteral("## 关于\n\n你好！**重点**<br>下面：\n\n```python\ndef f(x):\n"
                              "    return x  # 注释\n\nprint(f(1))\n```\n\n如需真实回答，请设置。");
        QTest::newRow("two blocks, quotes and a list")
            << QStringLiteral("说 \"\"引号\"\" 和 \"hi\"：\n- 一\n- 二\n```\na\n```\n中间\n"
                              "```js\nlet b = 2;\n```");
        QTest::newRow("emoji and four number signs")
            << QStringLiteral("####🙂 标题\n```\n🙂\n```");
    }

    void partialAnswerNeverFlashes()
    {
        QFETCH(QString, answer);
        const QList<MessageBlock> final =
            MessageBlocks::split(ReplyFormatter::formatReplyText(answer));
        for (qsizetype end = 0; end <= answer.size(); ++end) {
            if (end < answer.size() && answer.at(end).isLowSurrogate())
                continue; // text arrives in whole characters
            const QString partial = answer.left(end);
            const QList<MessageBlock> shown =
                MessageBlocks::split(ReplyFormatter::formatPartialReplyText(partial));
            QVERIFY2(shown.size() <= final.size(), qPrintable(partial));
            for (qsizetype i = 0; i < shown.size(); ++i) {
                const MessageBlock &now = shown.at(i);
                const MessageBlock &then = final.at(i);
                QVERIFY2(now.isCode == then.isCode, qPrintable(partial));
                if (i + 1 < shown.size())
                    QVERIFY2(now.text == then.text, qPrintable(partial));
                else
                    QVERIFY2(then.text.startsWith(now.text), qPrintable(partial));
            }
        }
    }

    void formatReplyText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("partial");

        row("fenced block with language and blank lines around",
            "Text:\n\n```python\nx = 1\n```\n\nMore", "Text:<code>x = 1</code>More");
        row("two blocks stay two", "```\na\n```\nmid\n```\nb\n```",
            "<code>a</code>mid<code>b</code>");
        row("line breaks inside the code stay", "```js\nl1\n\n  l2\n```",
            "<code>l1\n\n  l2</code>");
        row("unclosed fence is left alone", "```\nabc", "```\nabc");
        row("Unicode white space around fences", "a\u3000```\nx\n```\u3000b", "a<code>x</code>b");
        row("heading marks", "### H\n## T", "  H\n  T");
        row("four and five number signs", "####|#####", " #|  ");
        row("<br> only in lower case", "a<br>b<BR>c", "a\nb<BR>c");
        row("bold marks", "**bold** and ***x", "bold and *x");
        row("adjacent double quotes", "say \"\"hi\"\" \"\"\"", "say hi \"");
        row("number signs joined by removed bold stay", "#**#", "##");
        row("quotes joined by removed bold vanish", "\"**\"", "");
        row("rules apply inside code too", "**```\n**x**\n```**", "<code>x</code>");
        // The block search is a linear scan that must agree with the expression everywhere.
        row("four backquotes open at the second", "````a\n``` a\n```", "`<code>``` a</code>");
        row("white space ending at a fence closes an empty block", "```x\n\n```", "<code></code>");
        row("closing fence past another fence", "```x\n```\n```", "<code>```</code>");
        row("NEL is white space", "a\u0085```\nx\n```\u0085b", "a<code>x</code>b");
        // The expression took 17 s over 4000 line breaks after an unclosed fence.
        const QString unclosed = QStringLiteral("```x\n") + QString(200000, u'\n');
        row("unclosed fence before 200000 line breaks", unclosed, unclosed);

        row("partial: half a bold mark", "a *", "a ", true);
        row("partial: bold opened", "a **b", "a b", true);
        row("partial: half a line break tag", "a <br", "a ", true);
        row("partial: heading mark arriving", "x\n#", "x\n", true);
        row("partial: fence arriving", "x ``", "x ", true);
        row("partial: fence with its language arriving", "看：\n```py", "看：\n", true);
        row("partial: open block shows as code", "看：\n```py\nx = 1", "看：<code>x = 1</code>",
            true);
        row("partial: open block, closing fence arriving", "看：\n```py\nx = 1\n``",
            "看：<code>x = 1</code>", true);
        row("partial: second block open", "```\na\n```\nmid\n```\nb",
            "<code>a</code>mid<code>b</code>", true);
    }

    void formatReplyText()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        QFETCH(bool, partial);
        QCOMPARE(partial ? ReplyFormatter::formatPartialReplyText(text)
                         : ReplyFormatter::formatReplyText(text),
                 shown);
    }

private:
    // Fed in any pieces, one byte at a time included, a body reads exactly as in one piece:
    // the same text and the same log lines in the same order; and the text handed out while it
    // arrives adds up to the answer.
    static void verifyAnySplitReadsTheSame(Layout layout, const QByteArray &body)
    {
        LogCapture log;
        const Reading whole = readInPieces(
            layout, body, [&] { return body.size(); }, log);
        QVERIFY(!whole.utf8 || whole.handedOut == whole.text);
        for (int largest : {1, 3, 16, 80, 700, 4096}) { // 1: one byte at a time
            const Reading pieces = readInPieces(layout, body, randomPieces(largest, largest), log);
            QCOMPARE(pieces.text, whole.text);
            QCOMPARE(pieces.log, whole.log);
            QCOMPARE(pieces.utf8, whole.utf8);
            if (whole.utf8)
                QCOMPARE(pieces.handedOut, whole.text);
        }
    }

    // The parser's description of why `payload` is not JSON, as the reader logs it.
    static QString simdjsonTapeError(const QByteArray &payload)
    {
        LogCapture log;
        ReplyReader::readOpenAIStream(QByteArray("data: ") + payload);
        const QString line = log.all().value(0);
        return line.mid(QStringLiteral("JSON解析失败: ").size());
    }
};

QTEST_GUILESS_MAIN(TestReplyReader)
#include "tst_replyreader.moc"
