#pragma once

#include "chat/chatcontroller.h"
#include "chat/openconversations.h"
#include "conversation/conversationstore.h"
#include "core/httpclient.h"
#include "core/serviceorigin.h"
#include "core/settingsstore.h"
#include "fakehttpserver.h"
#include "publishedstreams.h"
#include "service/chatclient.h"
#include "service/imageservice.h"
#include "service/quotaservice.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <memory>

Q_DECLARE_METATYPE(FakeHttpServer::Response)

// The process's shared objects, wired to a fake backend on loopback, in a temporary folder.
struct ChatHarness {
    QTemporaryDir dir;
    FakeHttpServer server;
    SettingsStore settings{dir.filePath(QStringLiteral("settings.db"))};
    ConversationStore conversations{&settings};
    OpenConversations open{&conversations};
    HttpClient http;
    QuotaService quota{&settings, &http};
    ImageService images{&http};
    ChatClient chat{&http, &quota, &images};
    QList<QUrl> openedPages;
    std::unique_ptr<ChatController> c; // made last, on the wired services

    ChatHarness()
    {
        ServiceOrigin::setCurrent(server.origin());
        images.setDocumentsFolder(dir.filePath(QStringLiteral("Documents")));
        quota.setPageOpener([this](const QUrl &url) { openedPages.append(url); });
        settings.set(QStringLiteral("phone"), QStringLiteral("+8613800000000"));
        settings.set(QStringLiteral("userid"), QStringLiteral("u1"));
        server.on("/api/check_quota", FakeHttpServer::Response{200, "{\"hasQuota\":true}"});
        server.on("/api/deduct_quota", FakeHttpServer::Response{200, "{\"ok\":true}"});
        c = controller();
    }

    std::unique_ptr<ChatController> controller()
    {
        return std::make_unique<ChatController>(
            ChatController::Services{&settings, &open, &quota, &chat});
    }

    // Asks `question` of `model` in `on` (by default `c`).
    void ask(const QString &model, const QString &question, ChatController *on = nullptr)
    {
        on = on ? on : c.get();
        on->setSelectedModel(model);
        on->setMessageText(question);
        on->sendMessage();
    }
    const Message &last() const { return c->messageList().last(); }

    // What the store holds of the conversation `of` (by default `c`) has open.
    MessageList stored(const ChatController *of = nullptr) const
    {
        return conversations.messages((of ? of : c.get())->currentConversationUuid());
    }

    // The amounts charged so far, in the order the charges arrived.
    QList<double> charges() const
    {
        QList<double> out;
        for (const auto &r : server.requestsTo("/api/deduct_quota"))
            out.append(QJsonDocument::fromJson(r.body).object().value("amount").toDouble(-1));
        return out;
    }

    // Stored unchanged, so any bytes do.
    static QByteArray png() { return QByteArrayLiteral("\x89PNG\r\n\x1a\n picture bytes"); }

    // An OpenAI event stream of `pieces`, with its end marker when `done`.
    static QByteArray openAIBody(const QStringList &pieces, bool done = true)
    {
        QByteArray body;
        for (const QString &p : pieces)
            body += openAIPiece(p);
        return done ? body + "data: [DONE]\n\n" : body;
    }
};
