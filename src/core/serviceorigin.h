#pragma once

#include <QString>
#include <QUrl>

#include <optional>

// The origin of the backend service: fixed at build time, overridable by the environment
// variable TALVORO_SERVICE_ORIGIN for development and tests. Every address the program uses
// starts with it.
class ServiceOrigin {
public:
    // The build-time origin, or the environment's when set. A trailing "/" is dropped, since
    // paths are appended to it.
    static QString configured();

    // Why `origin` must not be used, or nullopt when it may. Traffic carries phone numbers and
    // sign-in codes, so plain HTTP is only allowed to a loopback address.
    static std::optional<QString> problem(const QString &origin);

    // The origin in force for this process.
    static QString current();
    static void setCurrent(const QString &origin);
};

// Every endpoint and page address of the backend, in one place, as a URL ready to use: empty
// when the origin does not make an absolute address. Values that go into query strings are
// percent-encoded; an ordinary phone number comes out exactly as "+" -> "%2B".
namespace ServiceEndpoints {
QUrl proxyOpenAI();
QUrl proxyClaude();
QUrl proxyGemini();
QUrl generateImage();
QUrl checkQuota(const QString &phone);
QUrl deductQuota();
QUrl sendCode();
QUrl loginRegister();
QUrl accountInfo(const QString &userid);
QUrl logout();
QUrl pricingLink();
// The page at `path` (a path and query the service handed out), or empty when it forms none.
QUrl page(const QString &path);

QUrl pricingPage(const QString &userid);
QUrl followPage();
QUrl contactPage();
QUrl termsPage();
} // namespace ServiceEndpoints
