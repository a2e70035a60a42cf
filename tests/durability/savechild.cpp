// Child of tst_storage. With "migrate", converts an old history and exits. Otherwise opens
// the history, then asks and answers, over and over, until it is
// killed. After every write that reached the disk it prints "saved <conversation id> <message
// count>", so the parent knows what must survive the kill.

#include "conversation/conversationstore.h"
#include "conversation/historymigration.h"
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

    // The conversion of an old history, on its own, as a start does before the first window.
    if (args.size() > 3 && args.at(3) == u"migrate") {
        HistoryMigration::Outcome outcome;
        QString error;
        return HistoryMigration::run(args.at(1), &outcome, &error) ? 0 : 1;
    }

    SettingsStore settings(args.at(1));
    ConversationStore store(&settings);

    // Continue a stored conversation half of the time, so saves also grow existing ones.
    QUuid current = QUuid::createUuid();
    qsizetype count = 0;
    if (const int stored = store.conversationCount(); stored > 0 && random.bounded(2) == 0) {
        current = store.historyRows(int(random.bounded(stored)), 1).first().id;
        count = store.messages(current).size();
    }

    // As a send does: the question and its answer still arriving, then the answer in its place.
    Message answer(QString(), false);
    for (int saves = 0;; ++saves) {
        if (saves > 0 && saves % 4 == 0) {
            current = QUuid::createUuid();
            count = 0;
        }
        bool saved = false;
        if (saves % 2 == 0) {
            answer = Message(QString(), false);
            answer.kind = MessageKind::Arriving;
            saved = store.saveMessages(current, {Message(someText(), true), answer});
            count += saved ? 2 : 0;
        } else {
            answer.kind = MessageKind::Answer;
            answer.content = someText();
            saved = store.saveMessage(current, answer);
        }
        if (saved) {
            std::printf("saved %s %lld\n", qPrintable(Message::idText(current)),
                        static_cast<long long>(count));
            std::fflush(stdout);
        }
    }
}
