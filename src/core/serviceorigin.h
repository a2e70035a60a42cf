#pragma once

#include <QString>

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

// Every endpoint and page address of the backend, in one place. Values that go into query
// strings are percent-encoded; an ordinary phone number comes out exactly as "+" -> "%2B".
namespace ServiceEndpoints {
QString proxyOpenAI();
QString proxyClaude();
QString proxyGemini();
QString generateImage();
QString checkQuota(const QString &phone);
QString deductQuota();
QString sendCode();
QString loginRegister();
QString accountInfo(const QString &userid);

QString pricingPage(const QString &userid);
QString followPage();
QString contactPage();
QString termsPage();
} // namespace ServiceEndpoints
