#include "appdelegate.h"
#include "chatclient.h"
#include "conversationstore.h"
#include "fontsetup.h"
#include "httpclient.h"
#include "imageservice.h"
#include "quotaservice.h"
#include "serviceorigin.h"
#include "settingsstore.h"
#include "singleinstance.h"
#include "systemstatusbar.h"

#include <QApplication>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QtQml/QQmlExtensionPlugin>

#include <cstdio>

Q_IMPORT_QML_PLUGIN(TalvoroPlugin)

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Talvoro"));
    QApplication::setApplicationName(QStringLiteral("Talvoro"));
    QApplication::setQuitOnLastWindowClosed(false);

    // A second launch brings the running copy's window back instead of starting another.
    SingleInstance single;
    if (single.handOver())
        return 0;
    single.listen();

    const QString origin = ServiceOrigin::configured();
    if (const auto problem = ServiceOrigin::problem(origin)) {
        std::fprintf(stderr, "%s\n", qUtf8Printable(*problem));
        return 1;
    }
    ServiceOrigin::setCurrent(origin);

    FontSetup::install();
    QQuickStyle::setStyle(QStringLiteral("Fusion"));

    SettingsStore settings(SettingsStore::defaultPath());
    SettingsStore::setInstance(&settings);
    ConversationStore conversations(&settings);
    ConversationStore::setInstance(&conversations);
    HttpClient http;
    HttpClient::setInstance(&http);
    QuotaService quota(&settings, &http);
    QuotaService::setInstance(&quota);
    ImageService images(&http);
    ImageService::setInstance(&images);
    ChatClient chatClient(&http, &quota, &images);
    ChatClient::setInstance(&chatClient);

    SystemStatusBar statusBar;
    AppDelegate delegate(&settings, &statusBar);
    AppDelegate::setInstance(&delegate);
    QObject::connect(&single, &SingleInstance::activationRequested, &delegate,
                     [&delegate] { delegate.applicationShouldHandleReopen(); });

    QQmlApplicationEngine engine;
    // Where the module's own QML files are; Qt 6.4 does not look there by itself.
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Talvoro/app/Main.qml")));
    if (engine.rootObjects().isEmpty())
        return 1;
    delegate.applicationDidFinishLaunching(&engine);
    if (QQuickWindow *window = delegate.mainWindow())
        window->show();

    const int result = QApplication::exec();
    // Windows and their views go before the stores they use.
    engine.clearComponentCache();
    return result;
}
