#include "pageroutes.h"

#include "accountstore.h"
#include "pagerenderer.h"
#include "pricinglinks.h"
#include "sessiongate.h"

#include <QHttpServer>
#include <QUrlQuery>

void PageRoutes::install(QHttpServer &http)
{
    using Method = QHttpServerRequest::Method;
    http.route(QStringLiteral("/pricing"), Method::Get, [this](const QHttpServerRequest &request) {
        const QUrlQuery query = request.query();
        std::optional<Account> account;
        if (query.hasQueryItem(QStringLiteral("link"))) {
            const auto phone =
                m_links.use(query.queryItemValue(QStringLiteral("link"), QUrl::FullyDecoded));
            account = phone ? m_accounts.byPhone(*phone) : std::nullopt;
        } else {
            const QString userid =
                query.queryItemValue(QStringLiteral("userid"), QUrl::FullyDecoded);
            account = userid.isEmpty() ? std::nullopt : m_accounts.byUserid(userid);
            if (account && !m_gate.mayShow(request, account->phone)) {
                return QHttpServerResponse(PageRenderer::mimeType(), PageRenderer::pricing({}),
                                           QHttpServerResponse::StatusCode::Unauthorized);
            }
        }
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
