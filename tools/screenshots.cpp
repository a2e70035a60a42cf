// Renders the main states of the program to PNG files, offscreen, so they can be looked at
// without a display: talvoro_screenshots <output folder>.

#include "account/accountbalance.h"
#include "appgraph.h"
#include "chat/scriptworker.h"
#include "streamingwindow.h"

#include <QApplication>
#include <QDir>
#include <QLinearGradient>
#include <QPainter>
#include <QWheelEvent>
#include <QtQml/QQmlExtensionPlugin>

#include <cstdio>

Q_IMPORT_QML_PLUGIN(TalvoroPlugin)

namespace {

Message picture(const QString &path)
{
    Message m(QString(), false);
    m.kind = MessageKind::Picture;
    m.cachedImagePath = path;
    return m;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QUICK_BACKEND", "software");
    QApplication application(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(out);

    MainWindow program;
    AppGraph &graph = program.app;
    graph.statusBar.geometry = QRect(900, 0, 24, 24);
    const double now = Message::referenceNow();

    // History: three conversations, one with code, one loading, one with pictures.
    const QString code = program.store(
        {at(Message(QStringLiteral("怎样在 C++ 里求一个数组的和？"), true), now - 300),
         at(Message(QStringLiteral(
                        "## 求和\n\n可以用 **std::accumulate** 把一个区间的数加起来：\n\n```cpp\n"
                        "#include <numeric>\n#include <vector>\n\nint sum(const std::vector<int> "
                        "&v)\n{\n    return std::accumulate(v.begin(), v.end(), 0);\n}\n```\n\n"
                        "它的第三个参数是**初始值**，决定了结果的类型。🙂 "
                        "如果要求浮点和，请传入 0.0。"),
                    false),
            now - 290)});
    // An answer that never came (the program ended first): the notice takes its place.
    Message loading(QString(), false);
    loading.kind = MessageKind::Arriving;
    const QString pending = program.store(
        {at(Message(QStringLiteral("💼如何缓解工作压力？"), true), now - 100), loading});
    QImage city(512, 384, QImage::Format_ARGB32);
    QPainter painter(&city);
    QLinearGradient sky(0, 0, 0, 384);
    sky.setColorAt(0, QColor(0x1d, 0x2b, 0x64));
    sky.setColorAt(1, QColor(0xf8, 0xcd, 0xda));
    painter.fillRect(city.rect(), sky);
    painter.end();
    city.save(graph.folder() + QStringLiteral("/future-city.png"));
    const QString pictures =
        program.store({at(Message(QStringLiteral("🌆 绘制一个未来城市"), true), now - 3600),
                       picture(graph.folder() + QStringLiteral("/future-city.png")),
                       at(Message(QStringLiteral("再画一张"), true), now - 3500),
                       picture(graph.folder() + QStringLiteral("/gone.png"))});
    program.store(
        {at(Message(QStringLiteral("⏰如何更好地利用闲暇时间？"), true), now - 86400),
         at(Message(QStringLiteral("可以试试阅读、运动和学习一项新技能。"), false), now - 86390)});
    // An answer regenerated twice, the second of three in view, with what it cost.
    Message asked = at(Message(QStringLiteral("用一句话解释什么是快速排序。"), true), now - 60);
    asked.model = QStringLiteral("gpt-3.5-turbo-0125");
    asked.chargedCharacters = 1000;
    asked.chargedAmount = 0.7;
    MessageList variants{asked};
    for (int i = 0; i < 3; ++i) {
        Message answer = at(
            Message(
                QStringList{
                    QStringLiteral("快速排序选一个基准，把小的放左边、大的放右边，再分别排序。"),
                    QStringLiteral("它用**分治**：以基准划分数组，两边递归排序，平均 O(n log n)。"),
                    QStringLiteral("先分区再递归的排序算法。"),
                }
                    .at(i),
                false),
            now - 50 + i);
        answer.model = asked.model;
        answer.parentId = asked.id;
        answer.chargedCharacters = 500 + 10 * i;
        answer.chargedAmount = 0.0021 * (500 + 10 * i);
        if (i > 0) {
            answer.askedCharacters = 1000;
            answer.askedAmount = 0.7;
        }
        if (i == 1)
            answer.shownAt = now;
        variants.append(answer);
    }
    const QString branched = program.store(variants);
    if (!program.start(false, QSize()))
        return 1;

    // An answer from a stand-in backend that sends it when told.
    FakeHttpServer server;
    const auto stream = [&](const QString &question, const QStringList &pieces) {
        program.chat->setMessageText(question);
        program.chat->sendMessage();
        (void)QTest::qWaitFor([&] { return server.openStreams() == 1; }, 5000);
        for (const QString &piece : pieces) {
            server.sendPiece(openAIPiece(piece));
            QTest::qWait(60);
        }
    };
    const auto shoot = [&](const char *name, QQuickWindow *window = nullptr) {
        QTest::qWait(400);
        const QString path = out + u'/' + QLatin1String(name) + QStringLiteral(".png");
        if ((window ? window : program.window)->grabWindow().save(path))
            std::printf("%s\n", qPrintable(path));
        else
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    };
    // The same views, on a light desktop and then on a dark one.
    const auto conversationHistoryPicker = [&](const char *conversation, const char *history,
                                               const char *picker) {
        program.chat->selectConversation(code);
        shoot(conversation);
        program.chat->setShowHistory(true);
        shoot(history);
        program.chat->setShowHistory(false);
        QTest::qWait(300);
        program.chat->setShowDropdown(true);
        shoot(picker);
        program.chat->setShowDropdown(false);
    };

    // The history's search, a row's menu and renaming in place, in the open sheet.
    const auto organise = [&](const char *search, const char *menu, const char *rename) {
        program.chat->setShowHistory(true);
        QTest::qWait(400);
        QQuickItem *field = program.item(QStringLiteral("historySearchField"));
        if (!field)
            return;
        field->setProperty("text", QStringLiteral("求和"));
        QTest::qWait(400);
        shoot(search);
        field->setProperty("text", QString());
        QTest::qWait(300);
        if (QQuickItem *more = program.item(QStringLiteral("historyRowMenuButton")))
            clickItem(more);
        shoot(menu);
        QTest::keyClick(program.window, Qt::Key_Escape);
        QTest::qWait(200);
        if (QQuickItem *row = program.item(QStringLiteral("historyRow")))
            QMetaObject::invokeMethod(row, "startRenaming");
        shoot(rename);
        QTest::keyClick(program.window, Qt::Key_Escape);
        program.chat->setShowHistory(false);
        QTest::qWait(300);
    };
    // The sign-in sheet over the gate, which takes the sheet's size while it is open.
    const auto signInSheet = [&](const char *name) {
        QQuickItem *gate = findItem(program.window->contentItem(), QStringLiteral("loginView"));
        if (!gate)
            return;
        gate->setProperty("showingPhoneLoginView", true);
        shoot(name);
        gate->setProperty("showingPhoneLoginView", false);
    };

    shoot("01-login");
    signInSheet("15-sign-in-sheet");
    graph.settings->set(QStringLiteral("isLoggedIn"), true);
    program.window->resize(1000, 720);
    QTest::qWait(100);
    shoot("02-welcome");
    ChatController *chat = program.chat = chatOf(program.window);
    if (!chat)
        return 1;
    chat->hideWelcomeView();
    chat->selectConversation(pending);
    shoot("04-unanswered");
    chat->selectConversation(pictures);
    shoot("05-picture");
    // One conversation pinned: the history shows it under its heading, the rest by date.
    graph.conversations->setPinned(QUuid::fromString(pictures), true);
    conversationHistoryPicker("03-conversation-code", "06-history", "07-model-popover");
    organise("30-history-search", "31-history-row-menu", "32-history-rename");
    chat->setShowCard(true);
    shoot("16-card");
    chat->setShowCard(false);

    serveStreamedAnswers(server);
    chat->selectConversation(code);
    chat->setSelectedModel(QStringLiteral("gpt-4o"));
    stream(QStringLiteral("能再举一个求平均值的例子吗？"),
           {QStringLiteral("当然。平均值就是和除以个数，"),
            QStringLiteral("注意先判断数组是否为空：\n\n```cpp\n"),
            QStringLiteral("double average(const std::vector<int> &v)\n{\n"),
            QStringLiteral("    if (v.empty())\n        return 0;\n")});
    shoot("10-streaming");
    // The reader scrolls up while the answer goes on: the list stays, a button leads back.
    QQuickItem *list = program.item(QStringLiteral("messageList"));
    const QPointF inside = list->mapToScene({list->width() / 2, list->height() / 2});
    QWheelEvent wheel(inside, program.window->mapToGlobal(inside), QPoint(), QPoint(0, 360),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(program.window, &wheel);
    QTest::qWait(600);
    server.sendPiece(openAIPiece(QStringLiteral(
        "    return std::accumulate(v.begin(), v.end(), 0.0) / v.size();\n}\n```\n")));
    shoot("11-scrolled-up-while-streaming");
    chat->stopGenerating();
    shoot("12-stopped");

    // Variants, their cost, a question edited in place and the balance in the toolbar: first
    // with plenty left, then with fewer than ten questions' worth (warning colour and toast).
    const auto branches = [&](const char *variantsShot, const char *editShot,
                              const char *balanceShot, double quota) {
        server.on("/api/macos_account_info",
                  FakeHttpServer::Response{200, QByteArray("{\"chat_quota\": ") +
                                                    QByteArray::number(quota) +
                                                    ", \"state\": \"免费\"}"});
        AccountBalance::instance()->refresh();
        chat->selectConversation(branched);
        QTest::qWait(300);
        const auto shown = findAll(program.window->contentItem(), [](QQuickItem *item) {
            return item->objectName() == QLatin1String("answerVariants") && item->isVisible();
        });
        if (!shown.isEmpty()) {
            QQuickItem *row = shown.first()->parentItem();
            // Away first: a pointer that does not move gives no hover.
            QTest::mouseMove(program.window, QPoint(1, 300));
            QTest::mouseMove(program.window,
                             row->mapToScene({row->width() / 2, row->height() / 2}).toPoint());
        }
        shoot(variantsShot);
        QQuickItem *messages = program.item(QStringLiteral("messageList"));
        if (editShot && messages) {
            messages->setProperty("editingMessageID", Message::idText(asked.id));
            shoot(editShot);
            messages->setProperty("editingMessageID", QString());
        }
        if (balanceShot)
            shoot(balanceShot);
    };
    branches("17-answer-variants-cost", "18-edit-in-place", "19-balance", 1234.5);
    branches("19-answer-variants-low", nullptr, "19-balance-low", 5);

    // A rendered answer: lists, a table, quotes, links and a labelled code block.
    chat->newConversation();
    chat->hideWelcomeView();
    stream(QStringLiteral("帮我规划一次三天的京都旅行，并写个脚本算预算。"),
           {QStringLiteral(
               "# 京都三日行程\n\n建议按区域安排，少走回头路：\n\n"
               "1. **第一天**：东山区\n   - 清水寺，早上 8 点前人少\n   - 二年坂、三年坂\n"
               "2. 第二天：岚山与嵯峨野\n3. 第三天：伏见稻荷与 `JR 奈良线`\n\n"
               "| 项目 | 天数 | 每天（日元） |\n|:--|:--:|--:|\n| 住宿 | 3 | 12,000 |\n"
               "| 交通 | 3 | 1,500 |\n| 餐饮 | 3 | 4,000 |\n\n"
               "> 提示：寺庙多在 17 点关门。\n\n"
               "详情见 [京都市观光协会](https://ja.kyoto.travel/) 官网。\n\n---\n\n"
               "```python\ndays = 3\ncost = {\"住宿\": 12000, \"交通\": 1500, \"餐饮\": 4000}\n"
               "total = days * sum(cost.values())\nprint(f\"预算：{total:,} 日元\")  "
               "# 输出每一项的明细，并按金额从高到低排好序，方便和同行的人分摊\n```\n")});
    server.endStreams();
    (void)QTest::qWaitFor([&] { return !chat->isGenerating(); }, 5000);
    shoot("13-rendered-answer");
    // The code block's long line, scrolled sideways.
    if (QQuickItem *scroller = program.item(QStringLiteral("codeScroller")))
        scroller->setProperty("contentX", 260);
    shoot("14-code-scrolled");

    // Code in three languages, coloured by the worker; then math in a Chinese paragraph, and a
    // formula still arriving (shown as its source until its closing sign comes).
    const auto coloursAndFormulasDone = [&] {
        const QList<QQuickItem *> waiting =
            findAll(program.window->contentItem(),
                    [](QQuickItem *item) { return item->property("waiting").toBool(); });
        return ScriptWorker::started() && waiting.isEmpty();
    };
    const auto settle = [&] {
        (void)QTest::qWaitFor(coloursAndFormulasDone, 30000);
        QTest::qWait(1500);
    };
    chat->newConversation();
    chat->hideWelcomeView();
    stream(
        QStringLiteral("用三种语言各写一个求平方和的函数。"),
        {QStringLiteral(
            "Python：\n\n```python\ndef sum_of_squares(xs: list[int]) -> int:\n"
            "    \"\"\"返回平方和。\"\"\"\n    return sum(x ** 2 for x in xs)  # 生成器\n```\n\n"
            "C++：\n\n```cpp\n#include <numeric>\n#include <vector>\n\n"
            "long sumOfSquares(const std::vector<int> &v)\n{\n"
            "    return std::accumulate(v.begin(), v.end(), 0L,\n"
            "                           [](long s, int x) { return s + long(x) * x; });\n}\n```\n\n"
            "Rust：\n\n```rs\nfn sum_of_squares(v: &[i64]) -> i64 {\n"
            "    v.iter().map(|x| x * x).sum() // 迭代器\n}\n```\n")});
    server.endStreams();
    (void)QTest::qWaitFor([&] { return !chat->isGenerating(); }, 5000);
    settle();
    shoot("30-highlighted-code");
    const QString codeConversation = chat->currentConversationID();

    chat->newConversation();
    chat->hideWelcomeView();
    stream(QStringLiteral("解释一下质能方程和高斯积分。"),
           {QStringLiteral(
               "质能方程 $E=mc^2$ 说明质量 $m$ 与能量 $E$ 等价，其中 \\(c\\) 是光速，约为 "
               "$3\\times10^8$ 米每秒。价格写作 $5 和 $10 时不是公式。\n\n高斯积分的值是\n\n"
               "$$\\int_{-\\infty}^{\\infty} e^{-x^2}\\,dx = \\sqrt{\\pi}$$\n\n"
               "矩阵 \\(A = \\begin{pmatrix}1&2\\\\3&4\\end{pmatrix}\\) 的行列式为 "
               "$\\det A = -2$，而 $\\left(\\frac{a}{b}\\right)^2$ 用了伸缩括号。\n")});
    server.endStreams();
    (void)QTest::qWaitFor([&] { return !chat->isGenerating(); }, 5000);
    settle();
    shoot("32-math");
    const QString mathConversation = chat->currentConversationID();

    chat->newConversation();
    chat->hideWelcomeView();
    stream(QStringLiteral("写出正态分布的密度函数。"),
           {QStringLiteral("正态分布的密度函数是\n\n$$f(x) = \\frac{1}{\\sigma\\sqrt{2\\pi}}"
                           " e^{-\\frac{(x-\\mu)^2}")});
    QTest::qWait(800);
    shoot("34-math-arriving");
    chat->stopGenerating();

    graph.delegate->togglePopover();
    QQuickWindow *popover = graph.delegate->popover();
    (void)QTest::qWaitForWindowExposed(popover);
    shoot("08-popover", popover);
    if (ChatController *small = chatOf(popover, QStringLiteral("popoverContent"))) {
        small->hideWelcomeView();
        small->selectConversation(code);
        shoot("09-popover-conversation", popover);
    }
    graph.delegate->togglePopover();

    // The same program on a dark desktop: the palette changes while it runs.
    QGuiApplication::setPalette(desktopPalette(true));
    shoot("20-dark-rendered-answer");
    conversationHistoryPicker("21-dark-conversation-code", "22-dark-history",
                              "23-dark-model-popover");
    chat->selectConversation(codeConversation);
    settle();
    shoot("31-dark-highlighted-code");
    chat->selectConversation(mathConversation);
    settle();
    shoot("33-dark-math");
    organise("40-dark-history-search", "41-dark-history-row-menu", "42-dark-history-rename");
    branches("28-dark-answer-variants-cost", "29-dark-edit-in-place", "30-dark-balance-low", 5);
    chat->setShowCard(true);
    shoot("24-dark-card");
    chat->setShowCard(false);
    chat->newConversation();
    shoot("25-dark-welcome");
    graph.settings->set(QStringLiteral("isLoggedIn"), false);
    shoot("26-dark-login");
    signInSheet("27-dark-sign-in-sheet");
    return 0;
}
