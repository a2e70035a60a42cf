#pragma once

#include <QString>

// Opens one of the service's pages in the user's default browser. An address that does not
// form an absolute URL opens nothing, so a broken origin or value never reaches the desktop's
// URL handler.
class WebPage {
public:
    // True when the address was handed to the desktop.
    static bool open(const QString &address);
};
