#include "account/webpage.h"

#include <QDesktopServices>

bool WebPage::open(const QUrl &url)
{
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        return false;
    // The desktop's handler starts the browser as a detached process, so this returns at once.
    return QDesktopServices::openUrl(url);
}
