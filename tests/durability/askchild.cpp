// Child of tst_killduringsave: asks a question of a backend that takes it and never answers,
// prints "asked <conversation id>" once the question is stored, then waits to be killed.

#include "chat/chatcontroller.h"
#include "conversation/conversationstore.h"
#include "core/httpclient.h"
#include "core/serviceorigin.h"
#include "core/settingsstore.h"
#include "service/chatclient.h"
#include "service/imageservice.h"
#include "service/quotaservice.h"

#include <QCoreApplication>
#include <QTcpServer>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().size() < 3)
        return 2;
    QTcpServer silent;
    if (!silent.listen(QHostAddress::LocalHost, 0))
        return 2;
    ServiceOrigin::setCurrent(QStringLiteral("http://127.0.0.1:%1").arg(silent.serverPort()));

    SettingsStore settings(app.arguments().at(1));
    ConversationStore store(&settings);
    HttpClient http;
    QuotaService quota(&settings, &http);
    ImageService images(&http);
    ChatClient chat(&http, &quota, &images);
    ChatController controller(ChatController::Services{&settings, &store, &quota, &chat});
    controller.setMessageText(app.arguments().at(2));
    controller.sendMessage();
    if (!settings.lastWriteSucceeded())
        return 1;
    std::printf("asked %s\n", qPrintable(controller.currentConversationID()));
    std::fflush(stdout);
    return app.exec();
}
