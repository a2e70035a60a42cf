#pragma once

#include "appgraph.h"
#include "chat/chatcontroller.h"
#include "fakehttpserver.h"
#include "publishedstreams.h"

// Has `server` stand in for the backend, answering every question with a stream the caller
// feeds (FakeHttpServer::sendPiece).
inline void serveStreamedAnswers(FakeHttpServer &server)
{
    ServiceOrigin::setCurrent(server.origin());
    server.on("/api/check_quota", FakeHttpServer::Response{200, "{\"hasQuota\":true}"});
    server.on("/api/deduct_quota", FakeHttpServer::Response{200, "{\"ok\":true}"});
    server.on("/api/proxy_openai2",
              FakeHttpServer::Response::with(FakeHttpServer::Behaviour::Stream));
}

// A signed-in main window whose answers come from a stream the test feeds.
struct StreamingWindow : MainWindow {
    FakeHttpServer server;

    bool start()
    {
        serveStreamedAnswers(server);
        app.settings->set(QStringLiteral("hasSeenWelcome"), true);
        app.settings->set(QStringLiteral("selectedModel"), QStringLiteral("gpt-4o"));
        return MainWindow::start(true, {900, 640});
    }
    bool ask(const QString &question)
    {
        chat->setMessageText(question);
        chat->submitInput();
        return QTest::qWaitFor([&] { return server.openStreams() == 1; }, 10000);
    }
    // Asks, and has the whole answer arrive at once.
    bool answerWith(const QString &question, const QString &answer)
    {
        if (!ask(question))
            return false;
        server.sendPiece(openAIPiece(answer));
        server.endStreams();
        // Settled: the list has come to rest at the answer's end, and stays there while its
        // rows finish their layout.
        QQuickItem *list = item(QStringLiteral("messageList"));
        const auto atRest = [&] {
            return chat->pendingSends() == 0 && list->property("distanceFromEnd").toReal() < 1 &&
                   !list->property("moving").toBool();
        };
        // A four-million-character answer takes long to land under the sanitizers.
        for (int calm = 0; calm < 3;) {
            if (!QTest::qWaitFor(atRest, 60000))
                return false;
            const qreal height = list->property("contentHeight").toReal();
            QTest::qWait(30);
            calm = atRest() && list->property("contentHeight").toReal() == height ? calm + 1 : 0;
        }
        return true;
    }
    QString answer() const { return chat->messageList().last().content; }
};
