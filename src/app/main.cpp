#include "app/appdelegate.h"
#include "app/fontsetup.h"
#include "app/historycommand.h"
#include "app/historyupgrade.h"
#include "app/quonixapp.h"
#include "app/singleinstance.h"
#include "app/systemstatusbar.h"
#include "core/serviceorigin.h"
#include "core/settingsstore.h"

#include <QApplication>
#include <QQuickStyle>
#include <QtQml/QQmlExtensionPlugin>

#include <cstdio>

Q_IMPORT_QML_PLUGIN(TalvoroPlugin)

int main(int argc, char *argv[])
{
    // Export and import run without a window and without handing over to a running copy.
    if (const auto status = HistoryCommand::run(argc, argv))
        return *status;

    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Talvoro"));
    QApplication::setApplicationName(QStringLiteral("Talvoro"));
    // Lets the desktop match the windows to the installed launcher and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.talvoro.Talvoro"));
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

    HistoryUpgrade::runIfNeeded(SettingsStore::defaultPath());

    SystemStatusBar statusBar;
    QuonixApp quonix(SettingsStore::defaultPath(), &statusBar);
    QObject::connect(&single, &SingleInstance::activationRequested, quonix.delegate(),
                     [&quonix] { quonix.delegate()->applicationShouldHandleReopen(); });
    if (!quonix.launch())
        return 1;
    return QApplication::exec();
}
