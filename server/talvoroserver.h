#pragma once

#include "codeissuer.h"
#include "connectionguard.h"
#include "crosssitegate.h"
#include "demopacer.h"
#include "providerconfig.h"
#include "serverclock.h"

#include <QHostAddress>
#include <QHttpServer>
#include <QNetworkAccessManager>
#include <QObject>
#include <QSqlDatabase>
#include <QTimer>

#include <memory>

class AccountRoutes;
class AccountStore;
class ChatRoutes;
class CodeSender;
class GatedHttpServer;
class GuardedTcpServer;
class HealthCheck;
class ImageForwarder;
class ImageStore;
class PageRoutes;
class PricingLinks;
class SessionGate;
class SessionStore;
class ProviderForwarder;
class UsageMeter;

// The whole backend in one object: the database, the stores, the forwarders and the routes on
// one QHttpServer. `talvoro-server` runs one; tests run one in their own process.
class TalvoroServer : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString dataDirectory;
        // The database address (see ServerDatabase::locate); empty: SQLite in dataDirectory.
        QString database;
        double startingBalance = 500;
        // The most one deduction may take: a larger amount is refused before it reaches a
        // balance.
        double maxCharge = 10'000;
        ProviderConfig providers;
        const ServerClock *clock = nullptr;                // the system clock when null
        int demoIntervalMs = DemoPacer::defaultIntervalMs; // between two pieces of a demo answer
        HttpLimits limits;
        CodeIssuer::Limits codeLimits;
        // Tokens are required on any address but loopback; this requires them there too (a
        // reverse proxy on the same machine makes every client look local).
        bool requireToken = false;
        // Charge the model endpoints' use here, with the client's rules, instead of trusting the
        // client to report it: deduct_quota then only answers. The model endpoints need a
        // session token then, on loopback too, since a charge needs an account.
        bool meter = false;
        // The server secret's file; empty: "secret" in dataDirectory.
        QString secretFile;
        // Names the server is reached by besides its listen address (a reverse proxy's public
        // name); a request naming any other host is refused.
        QStringList publicHosts;
        // Runs with the phone and the code for each sign-in code; empty: codes are printed.
        QString smsCommand;
        std::chrono::milliseconds smsTimeout{10'000};
        std::chrono::milliseconds databaseCheckInterval{5'000};
        // Generated pictures are deleted this long after they were written, looked for this
        // often.
        int imageRetentionDays = 7;
        std::chrono::milliseconds imageSweepInterval{60 * 60 * 1000};
    };

    explicit TalvoroServer(Options options, QObject *parent = nullptr);
    ~TalvoroServer() override;

    // Opens the database and installs the routes; `error` names the database when it fails.
    bool open(QString *error);
    // Listens on `address`:`port` (0: a free port). Returns the port, 0 on failure.
    quint16 listen(const QHostAddress &address, quint16 port);
    // "http://host:port" of the listening socket.
    QString origin() const;
    // Whether API calls need a session token (decided by listen()).
    bool requiresToken() const;
    // Stops accepting connections and lets the requests under way finish, for at most `grace`;
    // stopped() follows.
    void stop(std::chrono::milliseconds grace);

signals:
    void stopped();
    // The database stopped answering (a PostgreSQL server restarted or went away). The
    // connection cannot be mended in place, so the server should stop and be started afresh.
    void databaseLost();

private:
    QString originFor(const QHttpServerRequest &request) const;

    Options m_options;
    ServerClock m_systemClock;
    const ServerClock &m_clock;
    QSqlDatabase m_db;
    std::unique_ptr<AccountStore> m_accounts;
    std::unique_ptr<CodeIssuer> m_codes;
    std::unique_ptr<SessionStore> m_sessions;
    std::unique_ptr<CodeSender> m_sender;
    std::unique_ptr<SessionGate> m_gate;
    std::unique_ptr<HealthCheck> m_health;
    std::unique_ptr<PricingLinks> m_pricingLinks;
    std::unique_ptr<UsageMeter> m_meter;
    CrossSiteGate m_crossSite;
    std::unique_ptr<ImageStore> m_images;
    QNetworkAccessManager m_nam;
    ProviderForwarder *m_chatForwarder = nullptr;
    ImageForwarder *m_imageForwarder = nullptr;
    std::unique_ptr<AccountRoutes> m_accountRoutes;
    std::unique_ptr<PageRoutes> m_pageRoutes;
    ChatRoutes *m_chatRoutes = nullptr;
    QHostAddress m_address;
    quint16 m_port = 0;
    std::unique_ptr<QHttpServer> m_http; // the routes
    std::unique_ptr<GatedHttpServer> m_front;
    GuardedTcpServer *m_tcp = nullptr; // owned by m_front
    bool m_stopping = false;
    QTimer m_databaseWatch;
    QTimer m_imageSweep;
};
