#include "app/fontsetup.h"

#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QStringList>

void FontSetup::install()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    QFontDatabase::addApplicationFont(QStringLiteral(":/talvoro/fonts/MaterialIcons-Regular.ttf"));
    QFont font = QGuiApplication::font();
    font.setFamilies({QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Color Emoji")});
    QGuiApplication::setFont(font);
}
