#pragma once

#include <QString>
#include <QUrl>

#include <functional>

class HttpClient;
class QObject;

// Where the pricing page opens. The page shows the account's balance, so a service that asks
// for tokens shows it only by a one-time link it makes for the session; a service that makes
// none is given the user id. Both ways to the page (the account card and the upgrade alert) go
// through here, so neither opens a page the service would refuse.
class PricingPageAddress {
public:
    using Found = std::function<void(const QUrl &)>;
    // `found` runs once, on the main thread, unless `context` is gone by then; without an HTTP
    // client or a usable origin it runs at once with the user-id address.
    static void find(HttpClient *http, const QString &userid, const QObject *context, Found found);
};
