#pragma once

#include <QString>

class QHttpServer;

// A path that exists but was asked with the wrong method answers 405, not 404.
class RouteMethods {
public:
    // Must be installed after the path's own routes: the router takes the first rule that fits.
    static void refuseOthers(QHttpServer &http, const QString &path);
};
