#include "chatroutes.h"

#include "demopacer.h"
#include "demoresponder.h"
#include "imageforwarder.h"
#include "imagegenerator.h"
#include "imagestore.h"
#include "jsonreply.h"
#include "pendinganswer.h"
#include "provideranswer.h"
#include "providerforwarder.h"
#include "replyencoder.h"
#include "requestbody.h"
#include "routemethods.h"
#include "serverclock.h"
#include "serverlog.h"
#include "streamedanswer.h"
#include "usagemeter.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFutureWatcher>
#include <QHttpServer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QTcpSocket>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

#include <memory>

namespace {

using Status = QHttpServerResponse::StatusCode;

std::optional<ChatQuestion> readQuestion(const QHttpServerRequest &request, QString *error)
{
    const auto body = RequestBody::parse(request.body(), error);
    if (!body)
        return std::nullopt;
    ChatQuestion q;
    const std::pair<const char *, QString *> members[] = {{"model", &q.model},
                                                          {"userMessage", &q.userMessage},
                                                          {"systemMessage", &q.systemMessage},
                                                          {"context", &q.context}};
    for (const auto &[name, target] : members) {
        const auto value = body->string(name, error);
        if (!value)
            return std::nullopt;
        *target = *value;
    }
    if (q.model.trimmed().isEmpty()) {
        *error = QStringLiteral("字段 \"model\" 不能为空");
        return std::nullopt;
    }
    return q;
}

QString imageUrl(const QString &origin, const QString &name)
{
    return origin + QStringLiteral("/images/") + name;
}

} // namespace

ChatRoutes::ChatRoutes(const ProviderConfig &config, ProviderForwarder &chat,
                       ImageForwarder &images, ImageStore &store, const ServerClock &clock,
                       OriginFor origin, int demoIntervalMs, UsageMeter *meter, QObject *parent)
    : QObject(parent), m_config(config), m_chat(chat), m_images(images), m_store(store),
      m_clock(clock), m_origin(std::move(origin)), m_demoIntervalMs(demoIntervalMs), m_meter(meter)
{}

std::optional<QString> ChatRoutes::chargeQuestion(const QHttpServerRequest &request,
                                                  const ChatQuestion &question)
{
    if (!m_meter)
        return std::nullopt;
    const auto payer = m_meter->accountOf(request);
    if (payer)
        m_meter->chargeQuestion(*payer, question);
    return payer;
}

void ChatRoutes::install(QHttpServer &http)
{
    const std::pair<const char *, ProxyFamily> proxies[] = {
        {"/api/proxy_openai2", ProxyFamily::OpenAI},
        {"/api/proxy_claude2", ProxyFamily::Anthropic},
        {"/api/proxy_gemini2", ProxyFamily::Gemini}};
    for (const auto &[path, family] : proxies) {
        const ProxyFamily f = family;
        http.route(QString::fromLatin1(path), QHttpServerRequest::Method::Post,
                   [this, f](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
                       QString error;
                       const auto question = readQuestion(request, &error);
                       if (!question) {
                           responder.write(QJsonDocument(QJsonObject{{"error", error}}),
                                           Status::BadRequest);
                           return;
                       }
                       const auto payer = chargeQuestion(request, *question);
                       answerChat(f, *question, payer, std::move(responder));
                   });
        RouteMethods::refuseOthers(http, QString::fromLatin1(path));
    }

    http.route(
        QStringLiteral("/api/generate_image"), QHttpServerRequest::Method::Post,
        [this](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
            QString error;
            const auto question = readQuestion(request, &error);
            if (!question) {
                responder.write(QJsonDocument(QJsonObject{{"error", error}}), Status::BadRequest);
                return;
            }
            chargeQuestion(request, *question);
            answerImage(*question, m_origin(request), std::move(responder));
        });
    RouteMethods::refuseOthers(http, QStringLiteral("/api/generate_image"));

    http.route(QStringLiteral("/images/<arg>"), QHttpServerRequest::Method::Get,
               [this](const QString &name) {
                   QFile file(m_store.path(name));
                   if (!ImageStore::isValidName(name) || !file.open(QIODevice::ReadOnly))
                       return JsonReply::error(Status::NotFound, QStringLiteral("图片不存在"));
                   QHttpServerResponse reply(ImageStore::mimeTypeFor(name), file.readAll());
                   reply.setHeader(QByteArrayLiteral("Cache-Control"),
                                   QByteArrayLiteral("public, max-age=86400"));
                   return reply;
               });
}

void ChatRoutes::answerChat(ProxyFamily family, const ChatQuestion &question,
                            const std::optional<QString> &payer, QHttpServerResponder &&responder)
{
    AnswerSource *source = nullptr;
    if (m_config.forFamily(family).configured)
        source = m_chat.forward(family, question);
    else
        source = new DemoPacer(DemoResponder::answer(question.model, question.userMessage),
                               m_demoIntervalMs);
    StreamedAnswer::Sent sent;
    if (payer) {
        sent = [meter = m_meter, phone = *payer, model = question.model](const QString &text) {
            meter->chargeAnswer(phone, model, text);
        };
    }
    new StreamedAnswer(std::move(responder),
                       ReplyEncoder(family, question.model, m_clock.nowMs() / 1000), source,
                       std::move(sent), this);
}

void ChatRoutes::answerImage(const ChatQuestion &question, const QString &origin,
                             QHttpServerResponder &&responder)
{
    if (!m_config.image.configured) {
        generateLocally(question, origin, std::move(responder));
        return;
    }
    auto pending = std::make_shared<PendingAnswer>(std::move(responder));
    m_images.generate(question, [this, pending, origin](const ImageForwarder::Outcome &outcome) {
        if (!outcome.error.isEmpty()) {
            pending->writeJson({{QStringLiteral("error"), outcome.error}}, outcome.status);
            return;
        }
        QString url = outcome.remoteUrl;
        if (url.isEmpty()) {
            const QString name = QStringLiteral("talvoro-") +
                                 QUuid::createUuid().toString(QUuid::Id128) +
                                 ImageStore::extensionFor(outcome.bytes);
            if (!m_store.save(name, outcome.bytes)) {
                pending->writeJson({{QStringLiteral("error"), QStringLiteral("图片保存失败")}},
                                   500);
                return;
            }
            url = imageUrl(origin, name);
        }
        pending->writeJson({{QStringLiteral("image_url"), url}}, 200);
    });
}

void ChatRoutes::generateLocally(const ChatQuestion &question, const QString &origin,
                                 QHttpServerResponder &&responder)
{
    // The same prompt gives the same picture, so its file doubles as a cache.
    const QString prompt = question.userMessage;
    const QString name =
        QStringLiteral("talvoro-") +
        QString::fromLatin1(QCryptographicHash::hash(prompt.toUtf8(), QCryptographicHash::Sha256)
                                .toHex()
                                .left(24)) +
        QStringLiteral(".png");
    if (m_store.contains(name)) {
        responder.write(QJsonDocument(QJsonObject{{"image_url", imageUrl(origin, name)}}));
        return;
    }
    // Drawing and encoding a large picture takes a noticeable moment: off the event loop.
    auto pending = std::make_shared<PendingAnswer>(std::move(responder));
    auto *watcher = new QFutureWatcher<QByteArray>(this);
    connect(watcher, &QFutureWatcher<QByteArray>::finished, this,
            [this, watcher, pending, name, origin] {
                const QByteArray png = watcher->result();
                watcher->deleteLater();
                if (png.isEmpty() || !m_store.save(name, png)) {
                    pending->writeJson({{QStringLiteral("error"), QStringLiteral("图片生成失败")}},
                                       500);
                    return;
                }
                pending->writeJson({{QStringLiteral("image_url"), imageUrl(origin, name)}}, 200);
            });
    watcher->setFuture(QtConcurrent::run([prompt] { return ImageGenerator::png(prompt); }));
}
