#include "account/webpage.h"

#include <QDesktopServices>

bool WebPage::open(const QUrl &url)
{
    if (url.isEmpty())
        return false;
    // The desktop's handler starts the browser as a detached process, so this returns at once.
    return QDesktopServices::openUrl(url);
}
