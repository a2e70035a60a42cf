#include "app/historycommand.h"

#include "conversation/conversationstore.h"
#include "conversation/historytransfer.h"
#include "core/settingsstore.h"

#include <QCoreApplication>
#include <QString>

#include <cstdio>
#include <cstring>

namespace {

void say(FILE *to, const QString &text)
{
    std::fprintf(to, "%s\n", qUtf8Printable(text));
}

} // namespace

std::optional<int> HistoryCommand::run(int argc, char *argv[])
{
    const char *command = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--export-history") == 0 ||
            std::strcmp(argv[i], "--import-history") == 0)
            command = argv[i];
    }
    if (!command)
        return std::nullopt;

    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Talvoro"));
    QCoreApplication::setApplicationName(QStringLiteral("Talvoro"));
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3 || args.at(1) != QString::fromLatin1(command)) {
        say(stderr, QStringLiteral("用法: talvoro --export-history 文件 | --import-history 文件"));
        return 2;
    }
    const bool exporting = args.at(1) == u"--export-history";
    const QString file = args.at(2);

    SettingsStore settings(SettingsStore::defaultPath());
    ConversationStore store(&settings);
    if (!store.isAvailable()) {
        say(stderr, QStringLiteral("无法读取历史记录: ") + settings.path());
        return 1;
    }
    const HistoryTransfer::Result result = exporting ? HistoryTransfer::exportTo(store, file)
                                                     : HistoryTransfer::importFrom(store, file);
    if (!result.ok) {
        say(stderr, result.error);
        return 1;
    }
    say(stdout, (exporting ? QStringLiteral("已导出 %1 个对话，%2 条消息")
                           : QStringLiteral("已导入 %1 个对话中的 %2 条新消息"))
                    .arg(result.conversations)
                    .arg(result.messages));
    return 0;
}
