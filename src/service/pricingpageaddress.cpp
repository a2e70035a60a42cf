#include "service/pricingpageaddress.h"

#include "core/httpclient.h"
#include "core/serviceorigin.h"

#include <QJsonDocument>
#include <QJsonObject>

void PricingPageAddress::find(HttpClient *http, const QString &userid, const QObject *context,
                              Found found)
{
    const QUrl linkMaker = ServiceEndpoints::pricingLink();
    if (!http || linkMaker.isEmpty()) {
        found(ServiceEndpoints::pricingPage(userid));
        return;
    }
    http->postJson(linkMaker, QJsonObject{}, context,
                   [userid, found = std::move(found)](const HttpResult &result) {
                       const QString path = QJsonDocument::fromJson(result.body)
                                                .object()
                                                .value(QStringLiteral("path"))
                                                .toString();
                       // Only the pricing page: an answer naming any other address is ignored.
                       const QUrl link =
                           result.transferred() && path.startsWith(QLatin1String("/pricing?"))
                               ? ServiceEndpoints::page(path)
                               : QUrl();
                       found(link.isEmpty() ? ServiceEndpoints::pricingPage(userid) : link);
                   });
}
