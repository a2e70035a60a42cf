#pragma once

#include "conversation/conversationcodec.h"
#include "conversation/searchbackfill.h"

#include <QFile>
#include <QRandomGenerator>

// Realistic mixed Chinese/English chat text of about `length` characters, deterministic.
inline QString benchText(int length, quint32 seed)
{
    static const QString pieces[] = {
        QStringLiteral("请帮我解释一下这段代码的作用，"),
        QStringLiteral("The quick brown fox jumps. "),
        QStringLiteral("我们可以使用 QAbstractListModel 来展示消息列表。"),
        QStringLiteral("```cpp\nint main() { return 0; }\n```\n"),
        QStringLiteral("**重点**：注意内存占用和启动速度。"),
        QStringLiteral("Hello, world! 🙂 "),
        QStringLiteral("## 小结\n"),
        QStringLiteral("性能测试结果如下：延迟 12 ms，吞吐 3000 次/秒。"),
    };
    QRandomGenerator rng(seed);
    QString text;
    while (text.size() < length)
        text += pieces[rng.bounded(int(std::size(pieces)))];
    text.truncate(length);
    return text;
}

// `total` messages spread over conversations of 20 messages each, alternating question/answer.
inline ConversationMap benchConversations(int total)
{
    ConversationMap map;
    int made = 0;
    quint32 seed = 1;
    while (made < total) {
        MessageList list;
        for (int i = 0; i < 20 && made < total; ++i, ++made)
            list.append(Message(benchText(200, seed++), i % 2 == 0));
        map.insert(QUuid::createUuid(), list);
    }
    return map;
}

// A heavy user's history: 50,000 messages in conversations of 20, questions of 60 characters
// and answers of 1,500, as the old blob held it.
inline ConversationMap benchHeavyHistory(int messages = 50'000)
{
    ConversationMap out;
    quint32 seed = 1;
    for (int made = 0; made < messages;) {
        MessageList list;
        for (int i = 0; i < 20 && made < messages; ++i, ++made)
            list.append(i % 2 == 0 ? Message(benchText(60, seed++), true)
                                   : Message(benchText(1500, seed++), false));
        out.insert(QUuid::createUuid(), list);
    }
    return out;
}

// A stored answer of about `length` characters as a model writes one: headed sections with
// paragraphs, a nested list, a table, links and inline code, and three code blocks (already in
// the "<code>" form the clean-up leaves), deterministic for a seed.
inline QString benchMarkdownAnswer(int length, quint32 seed)
{
    QString text;
    for (int section = 0; text.size() < length; ++section) {
        text += QStringLiteral("# 第%1部分\n\n").arg(section + 1);
        text += benchText(300, seed + quint32(section)).remove(QStringLiteral("```")) +
                QStringLiteral("\n\n");
        text += QStringLiteral("1. 先读 `main.cpp`，再看 [文档](https://doc.qt.io/)\n"
                               "   - 模型：QAbstractListModel\n   - 视图：ListView\n"
                               "2. 测量启动时间\n3. 对比内存占用\n\n");
        if (section % 3 == 0)
            text +=
                QStringLiteral("| 项目 | 数值 | 说明 |\n|:--|--:|:-:|\n| 延迟 | 12 ms | 良好 |\n"
                               "| 吞吐 | 3000 | 每秒 |\n| 内存 | 71 MiB | 启动后 |\n\n");
        if (section < 3)
            text += QStringLiteral("<code>for (int i = 0; i < n; ++i)\n    total += v[i];\n"
                                   "return total;</code>\n\n");
        text += QStringLiteral("> 提示：%1\n\n").arg(benchText(80, seed + 99));
    }
    text.truncate(length);
    return text;
}

// Resident memory of a process (this one by default), in MiB, as the kernel reports it.
inline double residentMegabytes(const QString &process = QStringLiteral("self"))
{
    QFile status(QStringLiteral("/proc/%1/status").arg(process));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return 0;
}

// Indexes what converting the old blob left for the worker, here and now: the history as it is
// once the first start after an upgrade is over. False (with the reason) when a write failed.
inline bool benchIndexUpgradedHistory(const QString &databasePath, QString *error)
{
    const std::atomic_bool keepGoing{false};
    return SearchBackfill::run(databasePath, keepGoing, error);
}
