#include "conversationstore.h"
#include "serviceorigin.h"
#include "settingsstore.h"

#include <QApplication>
#include <QQmlApplicationEngine>
#include <QtQml/QQmlExtensionPlugin>

#include <cstdio>

Q_IMPORT_QML_PLUGIN(TalvoroPlugin)

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Talvoro"));
    QApplication::setApplicationName(QStringLiteral("Talvoro"));
    QApplication::setQuitOnLastWindowClosed(false);

    const QString origin = ServiceOrigin::configured();
    if (const auto problem = ServiceOrigin::problem(origin)) {
        std::fprintf(stderr, "%s\n", qUtf8Printable(*problem));
        return 1;
    }
    ServiceOrigin::setCurrent(origin);

    SettingsStore settings(SettingsStore::defaultPath());
    SettingsStore::setInstance(&settings);
    ConversationStore conversations(&settings);
    ConversationStore::setInstance(&conversations);

    return 0;
}
