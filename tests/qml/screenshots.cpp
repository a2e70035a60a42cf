// Renders the main states of the program to PNG files, offscreen, so they can be looked at
// without a display: talvoro_screenshots <output folder>.

#include "appgraph.h"
#include "chat/chatcontroller.h"
#include "fakehttpserver.h"
#include "streamingwindow.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLinearGradient>
#include <QPainter>
#include <QPalette>
#include <QQmlComponent>
#include <QQuickItem>
#include <QTest>
#include <QWheelEvent>
#include <QtQml/QQmlExtensionPlugin>

#include <cstdio>

Q_IMPORT_QML_PLUGIN(TalvoroPlugin)

namespace {

QString g_out;

void save(QQuickWindow *window, const QString &name)
{
    QTest::qWait(400);
    const QImage image = window->grabWindow();
    const QString path = g_out + QLatin1Char('/') + name + QStringLiteral(".png");
    if (!image.save(path))
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    else
        std::printf("%s\n", qPrintable(path));
}

QString makePicture(const QString &folder)
{
    QImage image(512, 384, QImage::Format_ARGB32);
    QPainter p(&image);
    QLinearGradient sky(0, 0, 0, 384);
    sky.setColorAt(0, QColor(0x1d, 0x2b, 0x64));
    sky.setColorAt(1, QColor(0xf8, 0xcd, 0xda));
    p.fillRect(image.rect(), sky);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x22, 0x22, 0x3a));
    for (int i = 0; i < 12; ++i)
        p.drawRect(20 + i * 40, 384 - 60 - (i * 37 % 160), 30, 60 + (i * 37 % 160));
    p.setBrush(QColor(255, 240, 200));
    p.drawEllipse(QPointF(400, 90), 30, 30);
    p.end();
    const QString path = folder + QStringLiteral("/future-city.png");
    image.save(path);
    return path;
}

QUuid store(AppGraph &app, const MessageList &list)
{
    const QUuid id = QUuid::createUuid();
    app.conversations->saveCurrentConversation(id, list);
    return id;
}

// A desktop's dark palette, as a dark theme sets it.
QPalette darkPalette()
{
    QPalette dark;
    const QColor window(0x24, 0x24, 0x26), text(0xEE, 0xEE, 0xF0);
    dark.setColor(QPalette::Window, window);
    dark.setColor(QPalette::WindowText, text);
    dark.setColor(QPalette::Base, QColor(0x1C, 0x1C, 0x1E));
    dark.setColor(QPalette::AlternateBase, window);
    dark.setColor(QPalette::Text, text);
    dark.setColor(QPalette::Button, QColor(0x3A, 0x3A, 0x3C));
    dark.setColor(QPalette::ButtonText, text);
    dark.setColor(QPalette::ToolTipBase, QColor(0x3A, 0x3A, 0x3C));
    dark.setColor(QPalette::ToolTipText, text);
    dark.setColor(QPalette::Highlight, QColor(0x0A, 0x64, 0xD6));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    dark.setColor(QPalette::PlaceholderText, QColor(0x8E, 0x8E, 0x93));
    return dark;
}

Message at(Message m, double t)
{
    m.timestamp = t;
    return m;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QUICK_BACKEND", "software");
    QApplication app(argc, argv);
    g_out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(g_out);

    AppGraph graph;
    graph.statusBar.geometry = QRect(900, 0, 24, 24);
    const double now = Message::referenceNow();

    // History: three conversations, one with code, one loading, one with pictures.
    const QString reply =
        QStringLiteral("可以用 std::accumulate 把一个区间的数加起来：<code>#include <numeric>\n"
                       "#include <vector>\n\nint sum(const std::vector<int> &v)\n{\n"
                       "    return std::accumulate(v.begin(), v.end(), 0);\n}</code>"
                       "它的第三个参数是初始值，决定了结果的类型。🙂 "
                       "如果要求浮点和，请传入 "
                       "0.0。");
    const QUuid code =
        store(graph, {at(Message(QStringLiteral("怎样在 C++ 里求一个数组的和？"), true), now - 300),
                      at(Message(reply, false), now - 290)});
    Message loading(QString(), false);
    loading.isLoading = true;
    const QUuid pending = store(
        graph, {at(Message(QStringLiteral("💼如何缓解工作压力？"), true), now - 100), loading});
    Message picture(QString(), false);
    picture.cachedImagePath = makePicture(graph.folder());
    Message missing(QString(), false);
    missing.cachedImagePath = graph.folder() + QStringLiteral("/gone.png");
    const QUuid pictures =
        store(graph, {at(Message(QStringLiteral("🌆 绘制一个未来城市"), true), now - 3600), picture,
                      at(Message(QStringLiteral("再画一张"), true), now - 3500), missing});
    store(graph, {at(Message(QStringLiteral("⏰如何更好地利用闲暇时间？"), true), now - 86400),
                  at(Message(QStringLiteral("可以试试阅读、运动和学习一项新技能。"), false),
                     now - 86390)});

    if (!graph.launch())
        return 1;
    QQuickWindow *window = graph.delegate->mainWindow();
    (void)QTest::qWaitForWindowExposed(window);
    save(window, QStringLiteral("01-login"));

    graph.settings->set(QStringLiteral("isLoggedIn"), true);
    window->resize(1000, 720);
    QTest::qWait(100);
    save(window, QStringLiteral("02-welcome"));

    ChatController *chat = chatOf(window);
    if (!chat)
        return 1;
    chat->hideWelcomeView();
    chat->selectConversation(code);
    save(window, QStringLiteral("03-conversation-code"));

    chat->selectConversation(pending);
    save(window, QStringLiteral("04-loading"));

    chat->selectConversation(pictures);
    save(window, QStringLiteral("05-picture"));

    chat->setShowHistory(true);
    save(window, QStringLiteral("06-history"));
    chat->setShowHistory(false);
    QTest::qWait(300);

    chat->setShowDropdown(true);
    save(window, QStringLiteral("07-model-popover"));
    chat->setShowDropdown(false);

    // An answer half way in, from a stand-in backend that sends it when told.
    FakeHttpServer server;
    server.on("/api/check_quota", FakeHttpServer::Response{200, "{\"hasQuota\":true}"});
    server.on("/api/deduct_quota", FakeHttpServer::Response{200, "{\"ok\":true}"});
    server.on("/api/proxy_openai2",
              FakeHttpServer::Response::with(FakeHttpServer::Behaviour::Stream));
    ServiceOrigin::setCurrent(server.origin());
    chat->selectConversation(code);
    chat->setSelectedModel(QStringLiteral("gpt-4o"));
    chat->setMessageText(QStringLiteral("能再举一个求平均值的例子吗？"));
    chat->sendMessage();
    (void)QTest::qWaitFor([&] { return server.openStreams() == 1; }, 5000);
    for (const char *text : {"当然。平均值就是和除以个数，", "注意先判断数组是否为空：\n\n```cpp\n",
                             "double average(const std::vector<int> &v)\n{\n",
                             "    if (v.empty())\n        return 0;\n"}) {
        server.sendPiece(openAIPiece(QString::fromUtf8(text)));
        QTest::qWait(60);
    }
    save(window, QStringLiteral("10-streaming"));

    // The reader scrolls up while the answer goes on: the list stays, a button leads back.
    if (QQuickItem *list = findItem(window->contentItem(), QStringLiteral("messageList"))) {
        const QPointF inside = list->mapToScene(QPointF(list->width() / 2, list->height() / 2));
        QWheelEvent wheel(inside, window->mapToGlobal(inside), QPoint(), QPoint(0, 360),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(window, &wheel);
        QTest::qWait(600);
    }
    server.sendPiece(openAIPiece(QStringLiteral(
        "    return std::accumulate(v.begin(), v.end(), 0.0) / v.size();\n}\n```\n")));
    save(window, QStringLiteral("11-scrolled-up-while-streaming"));
    chat->stopGenerating();
    save(window, QStringLiteral("12-stopped"));

    // A rendered answer: lists, a table, quotes, links and a labelled code block.
    chat->newConversation();
    chat->hideWelcomeView();
    chat->setMessageText(QStringLiteral("帮我规划一次三天的京都旅行，并写个脚本算预算。"));
    chat->sendMessage();
    (void)QTest::qWaitFor([&] { return server.openStreams() == 1; }, 5000);
    server.sendPiece(openAIPiece(QStringLiteral(
        "# 京都三日行程\n\n建议按区域安排，少走回头路：\n\n"
        "1. **第一天**：东山区\n   - 清水寺，早上 8 点前人少\n   - 二年坂、三年坂\n"
        "2. 第二天：岚山与嵯峨野\n3. 第三天：伏见稻荷与 `JR 奈良线`\n\n"
        "| 项目 | 天数 | 每天（日元） |\n|:--|:--:|--:|\n| 住宿 | 3 | 12,000 |\n"
        "| 交通 | 3 | 1,500 |\n| 餐饮 | 3 | 4,000 |\n\n"
        "> 提示：寺庙多在 17 点关门。\n\n"
        "详情见 [京都市观光协会](https://ja.kyoto.travel/) 官网。\n\n---\n\n"
        "```python\ndays = 3\ncost = {\"住宿\": 12000, \"交通\": 1500, \"餐饮\": 4000}\n"
        "total = days * sum(cost.values())\nprint(f\"预算：{total:,} 日元\")  "
        "# 输出每一项的明细，并按金额从高到低排好序，方便和同行的人分摊\n```\n")));
    server.endStreams();
    (void)QTest::qWaitFor([&] { return !chat->isGenerating(); }, 5000);
    save(window, QStringLiteral("13-rendered-answer"));

    // The code block's long line, scrolled sideways.
    if (QQuickItem *scroller = findItem(window->contentItem(), QStringLiteral("codeScroller")))
        scroller->setProperty("contentX", 260);
    save(window, QStringLiteral("14-code-scrolled"));

    graph.delegate->togglePopover();
    QQuickWindow *popover = graph.delegate->popover();
    (void)QTest::qWaitForWindowExposed(popover);
    save(popover, QStringLiteral("08-popover"));
    if (ChatController *small = chatOf(popover, QStringLiteral("popoverContent"))) {
        small->hideWelcomeView();
        small->selectConversation(code);
        save(popover, QStringLiteral("09-popover-conversation"));
    }
    graph.delegate->togglePopover();

    // The same program on a dark desktop: the palette changes while it runs.
    QGuiApplication::setPalette(darkPalette());
    const QString rendered = chat->currentConversationID();
    save(window, QStringLiteral("20-dark-rendered-answer"));
    chat->selectConversation(code);
    save(window, QStringLiteral("21-dark-conversation-code"));
    chat->setShowHistory(true);
    save(window, QStringLiteral("22-dark-history"));
    chat->setShowHistory(false);
    QTest::qWait(300);
    chat->setShowDropdown(true);
    save(window, QStringLiteral("23-dark-model-popover"));
    chat->setShowDropdown(false);
    chat->setShowCard(true);
    save(window, QStringLiteral("24-dark-card"));
    chat->setShowCard(false);
    chat->newConversation();
    save(window, QStringLiteral("25-dark-welcome"));
    graph.settings->set(QStringLiteral("isLoggedIn"), false);
    save(window, QStringLiteral("26-dark-login"));
    return 0;
}
