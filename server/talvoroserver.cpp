#include "talvoroserver.h"

#include "accountroutes.h"
#include "accountstore.h"
#include "chatroutes.h"
#include "codeissuer.h"
#include "codesender.h"
#include "gatedhttpserver.h"
#include "guardedtcpserver.h"
#include "healthcheck.h"
#include "imageforwarder.h"
#include "imagestore.h"
#include "jsonreply.h"
#include "pagerenderer.h"
#include "pageroutes.h"
#include "pricinglinks.h"
#include "providerforwarder.h"
#include "serverdatabase.h"
#include "serverlog.h"
#include "serversecret.h"
#include "sessiongate.h"
#include "sessionstore.h"
#include "usagemeter.h"

#include <QDir>
#include <QMetaEnum>
#include <QRegularExpression>
#include <QTimer>
#include <QUrl>

TalvoroServer::TalvoroServer(Options options, QObject *parent)
    : QObject(parent), m_options(std::move(options)),
      m_clock(m_options.clock ? *m_options.clock : m_systemClock)
{}

TalvoroServer::~TalvoroServer()
{
    // Connections and pending answers go first; they refer to everything else.
    m_front.reset();
    m_http.reset();
    delete m_chatRoutes;
    delete m_chatForwarder;
    delete m_imageForwarder;
    m_sender.reset();
    m_accountRoutes.reset();
    m_pageRoutes.reset();
    m_pricingLinks.reset();
    m_meter.reset();
    m_accounts.reset();
    m_codes.reset();
    m_gate.reset();
    m_health.reset();
    m_sessions.reset();
    if (m_db.isValid())
        ServerDatabase::close(m_db);
}

bool TalvoroServer::open(QString *error)
{
    const auto secret = ServerSecret::loadOrCreate(
        m_options.secretFile.isEmpty()
            ? QDir(m_options.dataDirectory).filePath(QStringLiteral("secret"))
            : m_options.secretFile,
        error);
    if (!secret)
        return false;
    const auto where = ServerDatabase::locate(m_options.database, m_options.dataDirectory, error);
    if (!where)
        return false;
    m_db = ServerDatabase::open(*where, error);
    if (!m_db.isOpen()) {
        *error = where->describe() + QStringLiteral(": ") + *error;
        return false;
    }
    // The stores' prepared statements belong to this one connection: when it breaks they cannot
    // be carried over to a new one, and starting afresh is the sound way back.
    m_databaseWatch.setInterval(m_options.databaseCheckInterval);
    connect(&m_databaseWatch, &QTimer::timeout, this, [this] {
        if (ServerDatabase::answers(m_db))
            return;
        m_databaseWatch.stop();
        ServerLog::error({QStringLiteral("database does not answer; stopping")});
        emit databaseLost();
    });
    m_databaseWatch.start();
    m_accounts = std::make_unique<AccountStore>(m_db, m_clock, m_options.startingBalance);
    m_codes = std::make_unique<CodeIssuer>(m_db, m_clock, *secret, m_options.codeLimits);
    m_sessions = std::make_unique<SessionStore>(m_db, m_clock);
    m_gate = std::make_unique<SessionGate>(*m_sessions, *m_accounts);
    if (m_options.meter) {
        m_meter = std::make_unique<UsageMeter>(*m_accounts, *m_sessions);
        m_gate->setMetering(true);
    }
    m_pricingLinks = std::make_unique<PricingLinks>(m_db, m_clock);
    m_health = std::make_unique<HealthCheck>(
        m_db, m_clock, where->engine == ServerDatabase::Engine::SQLite ? where->path : QString());
    m_sender = std::make_unique<CodeSender>(m_options.smsCommand, m_options.smsTimeout);
    m_images = std::make_unique<ImageStore>(
        QDir(m_options.dataDirectory).filePath(QStringLiteral("images")));
    const auto sweepImages = [this] {
        const qint64 retention = qint64(m_options.imageRetentionDays) * 24 * 60 * 60 * 1000;
        if (const int removed = m_images->removeOlderThan(m_clock.nowMs() - retention))
            ServerLog::info({QStringLiteral("old pictures deleted"), QString::number(removed)});
    };
    sweepImages();
    m_imageSweep.setInterval(m_options.imageSweepInterval);
    connect(&m_imageSweep, &QTimer::timeout, this, sweepImages);
    m_imageSweep.start();
    m_chatForwarder = new ProviderForwarder(&m_nam, m_options.providers);
    m_imageForwarder = new ImageForwarder(&m_nam, m_options.providers);

    m_http = std::make_unique<QHttpServer>();
    m_accountRoutes =
        std::make_unique<AccountRoutes>(*m_accounts, *m_codes, *m_sender, *m_sessions,
                                        *m_pricingLinks, m_options.maxCharge, m_options.meter);
    m_accountRoutes->install(*m_http);
    m_chatRoutes = new ChatRoutes(
        m_options.providers, *m_chatForwarder, *m_imageForwarder, *m_images, m_clock,
        [this](const QHttpServerRequest &r) { return originFor(r); }, m_options.demoIntervalMs,
        m_meter.get());
    m_chatRoutes->install(*m_http);
    m_pageRoutes = std::make_unique<PageRoutes>(*m_accounts, *m_pricingLinks, *m_gate);
    m_pageRoutes->install(*m_http);
    // For a load balancer or a service manager: 200 while the database takes writes.
    m_http->route(QStringLiteral("/healthz"), QHttpServerRequest::Method::Get, [this] {
        if (m_health->healthy())
            return JsonReply::object({{QStringLiteral("status"), QStringLiteral("ok")}});
        return JsonReply::error(QHttpServerResponse::StatusCode::ServiceUnavailable,
                                QStringLiteral("数据库不可用"));
    });

    m_front = std::make_unique<GatedHttpServer>(
        *m_http, m_crossSite, *m_gate,
        [](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
            if (request.url().path().startsWith(QLatin1String("/api/"))) {
                responder.write(
                    JsonReply::bytes({{QStringLiteral("error"), QStringLiteral("未找到")}}),
                    QByteArrayLiteral("application/json; charset=utf-8"),
                    QHttpServerResponder::StatusCode::NotFound);
            } else {
                responder.write(PageRenderer::notFound(), PageRenderer::mimeType(),
                                QHttpServerResponder::StatusCode::NotFound);
            }
        });
    m_http->afterRequest([](QHttpServerResponse &&response, const QHttpServerRequest &request) {
        if (ServerLog::enabled(ServerLog::Level::Debug)) {
            ServerLog::debug(
                {QStringLiteral("request"),
                 QString::fromLatin1(QMetaEnum::fromType<QHttpServerRequest::Method>().valueToKey(
                     int(request.method()))),
                 request.url().path(), QString::number(int(response.statusCode()))});
        }
        return std::move(response);
    });
    return true;
}

quint16 TalvoroServer::listen(const QHostAddress &address, quint16 port)
{
    m_address = address;
    m_port = 0;
    if (!m_front)
        return 0;
    auto tcp = std::make_unique<GuardedTcpServer>(m_options.limits);
    if (!tcp->listen(address, port)) {
        ServerLog::error({QStringLiteral("listen failed"), tcp->errorString()});
        return 0;
    }
    m_port = tcp->serverPort();
    m_tcp = tcp.release();
    m_front->bind(m_tcp);
    m_gate->setRequired(m_options.requireToken || !address.isLoopback());
    m_crossSite.allow(address, m_options.publicHosts);
    connect(m_tcp, &GuardedTcpServer::drained, this, [this] {
        if (std::exchange(m_stopping, false))
            emit stopped();
    });
    return m_port;
}

bool TalvoroServer::requiresToken() const
{
    return m_gate && m_gate->isRequired();
}

void TalvoroServer::stop(std::chrono::milliseconds grace)
{
    if (m_stopping)
        return;
    m_stopping = true;
    if (!m_tcp) {
        QMetaObject::invokeMethod(this, &TalvoroServer::stopped, Qt::QueuedConnection);
        return;
    }
    ServerLog::info({QStringLiteral("stopping: connections still open"),
                     QString::number(m_tcp->connectionCount())});
    QTimer::singleShot(grace, this, [this] {
        if (!std::exchange(m_stopping, false))
            return;
        ServerLog::warning({QStringLiteral("stopping: connections still busy after the grace "
                                           "period"),
                            QString::number(m_tcp->connectionCount())});
        emit stopped();
    });
    m_tcp->drain();
}

QString TalvoroServer::origin() const
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    const bool any = m_address == QHostAddress::Any || m_address == QHostAddress::AnyIPv4 ||
                     m_address == QHostAddress::AnyIPv6;
    url.setHost(any ? QStringLiteral("127.0.0.1") : m_address.toString());
    url.setPort(m_port);
    return url.toString();
}

QString TalvoroServer::originFor(const QHttpServerRequest &request) const
{
    // Listening on a wildcard address, the only name the client is known to reach us by is the
    // one it used; otherwise our own listen address.
    const bool any = m_address == QHostAddress::Any || m_address == QHostAddress::AnyIPv4 ||
                     m_address == QHostAddress::AnyIPv6;
    if (any) {
        static const QRegularExpression hostPort(
            QStringLiteral("^(\\[[0-9A-Fa-f:.]+\\]|[A-Za-z0-9.-]+)(:[0-9]{1,5})?$"));
        QString host;
        for (const auto &[name, value] : request.headers()) {
            if (name.compare("host", Qt::CaseInsensitive) == 0)
                host = QString::fromLatin1(value);
        }
        if (hostPort.match(host).hasMatch())
            return QStringLiteral("http://") + host;
    }
    return origin();
}
