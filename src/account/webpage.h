#pragma once

#include <QUrl>

// Opens one of the service's pages in the user's default browser. An empty address (the
// origin made none) opens nothing, so a broken origin never reaches the desktop's URL handler.
class WebPage {
public:
    // True when the address was handed to the desktop.
    static bool open(const QUrl &url);
};
