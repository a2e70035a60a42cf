#include "app/systemstatusbar.h"

#include <QCoreApplication>
#include <QMenu>
#include <QSystemTrayIcon>

namespace {

class SystemStatusItem : public StatusItem {
public:
    explicit SystemStatusItem(const QIcon &image)
    {
        m_icon.setIcon(image);
        m_icon.setToolTip(QStringLiteral("Talvoro"));
        // Closing the window keeps the program running, so the item is the place to end it.
        m_menu.addAction(QStringLiteral("退出"), qApp, &QCoreApplication::quit);
        m_icon.setContextMenu(&m_menu);
        QObject::connect(&m_icon, &QSystemTrayIcon::activated, this,
                         [this](QSystemTrayIcon::ActivationReason reason) {
                             if (reason == QSystemTrayIcon::Trigger)
                                 emit clicked();
                         });
        m_icon.show();
    }

    QRect geometry() const override { return m_icon.geometry(); }

private:
    QMenu m_menu;
    QSystemTrayIcon m_icon;
};

} // namespace

std::unique_ptr<StatusItem> SystemStatusBar::addItem(const QIcon &image)
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return nullptr;
    return std::make_unique<SystemStatusItem>(image);
}
