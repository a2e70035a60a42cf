#include "pageroutes.h"

#include "accountstore.h"
#include "pagerenderer.h"

#include <QHttpServer>

void PageRoutes::install(QHttpServer &http)
{
    using Method = QHttpServerRequest::Method;
    http.route(QStringLiteral("/pricing"), Method::Get, [this](const QHttpServerRequest &request) {
        const QString userid =
            request.query().queryItemValue(QStringLiteral("userid"), QUrl::FullyDecoded);
        const auto account = userid.isEmpty() ? std::nullopt : m_accounts.byUserid(userid);
        return QHttpServerResponse(PageRenderer::mimeType(), PageRenderer::pricing(account));
    });
    http.route(QStringLiteral("/guanzhu"), Method::Get, [] {
        return QHttpServerResponse(PageRenderer::mimeType(), PageRenderer::follow());
    });
    http.route(QStringLiteral("/contact"), Method::Get, [] {
        return QHttpServerResponse(PageRenderer::mimeType(), PageRenderer::contact());
    });
    http.route(QStringLiteral("/yinsi"), Method::Get,
               [] { return QHttpServerResponse(PageRenderer::mimeType(), PageRenderer::terms()); });
}
