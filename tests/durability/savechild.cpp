// Child of tst_storage: loads the history, then appends a message and saves, over and
// over, until it is killed. After every save that reached the disk it prints
// "saved <conversation id> <message count>", so the parent knows what must survive the kill.

#include "conversation/conversationstore.h"
#include "core/settingsstore.h"

#include <QCoreApplication>
#include <QRandomGenerator>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3)
        return 2;
    QRandomGenerator random(args.at(2).toUInt());
    // Mixed scripts and escapes, 1 to 3 KiB, so each save rewrites a sizeable value.
    const QString pieces[] = {
        QStringLiteral("你好，世界。"), QStringLiteral("Hello \"quoted\" text\\n "),
        QStringLiteral("```cpp\nint x = 1;\n```\n"), QStringLiteral("👨‍👩‍👧 "),
        QStringLiteral("\t制表符与换行\n")};
    const auto someText = [&] {
        QString text;
        const int target = 1024 + int(random.bounded(2048));
        while (text.size() < target)
            text += pieces[random.bounded(int(std::size(pieces)))];
        return text;
    };

    SettingsStore settings(args.at(1));
    ConversationStore store(&settings);

    // Continue a stored conversation half of the time, so saves also grow existing entries.
    QUuid current = QUuid::createUuid();
    MessageList messages;
    const auto &loaded = store.conversations();
    if (!loaded.isEmpty() && random.bounded(2) == 0) {
        auto it = loaded.cbegin();
        std::advance(it, random.bounded(int(loaded.size())));
        current = it.key();
        messages = it.value();
    }

    for (int saves = 0;; ++saves) {
        if (saves > 0 && saves % 4 == 0) {
            current = QUuid::createUuid();
            messages.clear();
        }
        messages.append(Message(someText(), messages.size() % 2 == 0));
        store.saveCurrentConversation(current, messages);
        if (settings.lastWriteSucceeded()) {
            std::printf("saved %s %lld\n", qPrintable(Message::idText(current)),
                        static_cast<long long>(messages.size()));
            std::fflush(stdout);
        }
    }
}
