#pragma once

#include "core/httpclient.h"
#include "core/serviceorigin.h"
#include "core/settingsstore.h"
#include "fakehttpserver.h"

#include <QDesktopServices>
#include <QFile>
#include <QList>
#include <QObject>
#include <QUrl>

#include <chrono>
#include <memory>

// What the account sheet and card talk to, set up afresh for each test: a settings file of their
// own, an HTTP client and a scriptable server standing in for the backend, installed as the
// process-wide instances for as long as they live. Web pages the views open are recorded in
// `opened` instead of reaching a browser.
class AccountServices : public QObject {
    Q_OBJECT

public:
    void start(const QString &settingsPath, std::chrono::milliseconds idleTimeout)
    {
        opened.clear();
        QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "openUrl");
        m_settingsPath = settingsPath;
        store = std::make_unique<SettingsStore>(settingsPath);
        SettingsStore::setInstance(store.get());
        client = std::make_unique<HttpClient>();
        client->setIdleTimeout(idleTimeout);
        HttpClient::setInstance(client.get());
        server = std::make_unique<FakeHttpServer>();
        ServiceOrigin::setCurrent(server->origin());
    }

    // Nothing is left for the next test: not the instances, not the settings file.
    void stop()
    {
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
        HttpClient::setInstance(nullptr);
        SettingsStore::setInstance(nullptr);
        server.reset();
        client.reset();
        store.reset();
        QFile::remove(m_settingsPath);
    }

    std::unique_ptr<SettingsStore> store;
    std::unique_ptr<HttpClient> client;
    std::unique_ptr<FakeHttpServer> server;
    QList<QUrl> opened;

    Q_INVOKABLE void openUrl(const QUrl &url) { opened.append(url); }

private:
    QString m_settingsPath;
};
