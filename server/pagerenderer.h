#pragma once

#include "accountstore.h"

#include <QByteArray>

#include <optional>

// The small web pages the client opens in the browser, as complete HTML documents.
class PageRenderer {
public:
    static QByteArray pricing(const std::optional<Account> &account);
    static QByteArray follow();
    static QByteArray contact();
    static QByteArray terms();
    static QByteArray notFound();

    static QByteArray mimeType() { return QByteArrayLiteral("text/html; charset=utf-8"); }

private:
    static QByteArray page(const QString &title, const QString &body);
};
