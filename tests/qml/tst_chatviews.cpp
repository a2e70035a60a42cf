// The chat window's views. Answers, rendered from their Markdown: what the formatted text holds,
// what must never happen (a fetch, a link that runs something), and the window staying usable with
// a huge answer; while one streams in, the stop button and Escape, and a list that follows the
// answer only while the reader is at its end. Then reply blocks, rows and their actions, history,
// welcome questions and the model picker; the message editor's Return key and height.

#include "chat/answerlinks.h"
#include "chat/chatcontroller.h"
#include "chat/conversationlistmodel.h"
#include "chat/markdownrenderer.h"
#include "chat/messageblocks.h"
#include "chat/welcomequestions.h"
#include "logcapture.h"
#include "streamingwindow.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QImage>
#include <QInputMethodEvent>
#include <QTcpServer>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextList>
#include <QTextTable>
#include <QtQml/QQmlExtensionPlugin>

Q_IMPORT_QML_PLUGIN(TalvoroPlugin)

using namespace Qt::StringLiterals;

namespace {

// The rendered structure, one line per text block: "L<depth> " for a list item, "Q " in a
// quote, "T<row>,<column> " in a table cell (with "<" or ">" for a left or right alignment),
// and each link as [text](target). Line breaks inside a block show as "⏎".
QString outline(const QString &source)
{
    QTextDocument document;
    QTextCursor(&document).insertFragment(MarkdownRenderer::render(source));
    QStringList lines;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        QString line;
        QTextCursor at(block);
        if (QTextTable *table = at.currentTable()) {
            const QTextTableCell cell = table->cellAt(at);
            line += u"T%1,%2"_s.arg(cell.row()).arg(cell.column());
            const Qt::Alignment align = block.blockFormat().alignment();
            line += align & Qt::AlignRight ? u">" : align & Qt::AlignHCenter ? u"^" : u"";
            line += u' ';
        }
        if (QTextList *list = block.textList())
            line += u"L%1 "_s.arg(list->format().indent());
        if (block.blockFormat().intProperty(QTextFormat::BlockQuoteLevel) > 0)
            line += u"Q "_s;
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            QString text = fragment.text();
            text.replace(QChar::LineSeparator, u'⏎');
            if (fragment.charFormat().isImageFormat())
                text = u"<image>"_s;
            if (fragment.charFormat().isAnchor())
                text = u'[' + text + u"]("_s + fragment.charFormat().anchorHref() + u')';
            line += text;
        }
        if (!line.isEmpty())
            lines.append(line);
    }
    return lines.join(u" | "_s);
}

// The items under `root` whose `property` reads as `value`, the hidden ones too unless told.
QList<QQuickItem *> having(QQuickItem *root, const char *property, const QString &value,
                           bool visibleOnly = false)
{
    return findAll(root, [&](QQuickItem *item) {
        return item->property(property).toString() == value && (item->isVisible() || !visibleOnly);
    });
}

// Two editors of different widths; each counts its sends and clears its text as the chat does.
const QByteArray kScene = R"(
Window {
    width: 500; height: 700; visible: true
    component Editor: ResizableTextEditor {
        property int sends: 0; property string typed: ""
        text: typed; onTextEdited: t => typed = t; onSend: { sends += 1; typed = "" }
    }
    Editor { objectName: "a"; width: 400 }
    Editor { objectName: "b"; width: 200; y: 350 }
}
)";

struct Editors {
    QQmlApplicationEngine engine;
    QQuickWindow *window = nullptr;

    bool start() { return (window = showWindow(engine, kScene)); }
    QQuickItem *editor(const char *n) const { return findItem(window->contentItem(), n); }
    QVariant get(const char *n, const char *name) const { return editor(n)->property(name); }
    QQuickItem *area(const char *n) const { return get(n, "editor").value<QQuickItem *>(); }
    void setText(const char *n, const QString &text) { editor(n)->setProperty("typed", text); }
    qreal height(const char *n) const { return get(n, "dynamicHeight").toReal(); }
    int sends(const char *n) const { return get(n, "sends").toInt(); }
    QString text(const char *n) const { return get(n, "typed").toString(); }
};

// A key press in one editor: the focused one holds `before` (with `composing` not yet
// committed), the other "甲"; then what it sent, the text left and the lines logged.
struct KeyPress {
    const char *focused = "a";
    QString before, composing;
    QKeyCombination keys;
    int sent = 0;
    QString after;
    QStringList log;
};

} // namespace

Q_DECLARE_METATYPE(KeyPress)

class TestChatViews : public QObject {
    Q_OBJECT

    // The reader drags the list down with the mouse (towards its start) in its margin, where
    // no text is (on text, dragging selects it), and lets go.
    static void scrollUp(StreamingWindow &open, QQuickItem *list)
    {
        const QPoint from = list->mapToScene(QPointF(4, list->height() / 4)).toPoint();
        QTest::mousePress(open.window, Qt::LeftButton, Qt::NoModifier, from);
        for (int dy = 10; dy <= 300; dy += 10)
            QTest::mouseMove(open.window, from + QPoint(0, dy), 10);
        QTest::mouseRelease(open.window, Qt::LeftButton, Qt::NoModifier, from + QPoint(0, 300), 10);
        QTRY_VERIFY(!list->property("moving").toBool());
    }

    // The addresses the desktop is asked to open, recorded instead of opened.
    QList<QUrl> m_opened;

public slots:
    void openUrl(const QUrl &url) { m_opened.append(url); }

private slots:
    void initTestCase()
    {
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
        QGuiApplication::setQuitOnLastWindowClosed(false);
        for (const char *scheme : {"http", "https", "mailto", "file", "javascript", "data"})
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "openUrl");
    }
    void init() { m_opened.clear(); }

    void structure_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("expected");
        QTest::newRow("nested lists keep their depth and numbers")
            << u"1. 一\n   - 甲\n   - 乙\n2. 二"_s << u"L1 一 | L2 甲 | L2 乙 | L1 二"_s;
        QTest::newRow("a table keeps its cells and alignment")
            << u"| 项 | 价 |\n|:--|--:|\n| 茶 | 12 |"_s
            << u"T0,0 项 | T0,1> 价 | T1,0 茶 | T1,1> 12"_s;
        QTest::newRow("every line end is a line break")
            << u"第一行\n第二行\n\n新段"_s << u"第一行⏎第二行 | 新段"_s;
        QTest::newRow("a quote") << u"> 引文"_s << u"Q 引文"_s;
        QTest::newRow("links: only web and mail stay links")
            << u"[网](https://a.example/x) [信](mailto:a@b.example) "
               "[本地](file:///etc/passwd) [脚本](javascript:alert(1)) "
               "[数据](data:text/html,x) [应用](talvoro://open)"_s
            << u"[网](https://a.example/x) [信](mailto:a@b.example) 本地 脚本 "
               "数据 应用"_s;
        QTest::newRow("pictures become their alt text")
            << u"![城市](http://127.0.0.1:9/y.png) ![](ftp://h/z.png) "
               "![参考][图]\n\n[图]: file:///tmp/p.png"_s
            << u"[城市](http://127.0.0.1:9/y.png)  参考"_s; // no alt text: nothing
        QTest::newRow("raw HTML stays text")
            << u"<img src=http://h/x> <b>粗</b> <script>x</script>"_s
            << u"<img src=http://h/x> <b>粗</b> <script>x</script>"_s;
        QTest::newRow("a line too long for the parser stays plain")
            << u"- "_s.repeated(5000) << u"- "_s.repeated(5000);
    }

    void structure()
    {
        QFETCH(QString, source);
        QFETCH(QString, expected);
        QCOMPARE(outline(source), expected);
    }

    void linksOpenOnlyForTheWebAndMail_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<bool>("opens");
        QTest::newRow("https") << u"https://a.example/路径?q=1"_s << true;
        QTest::newRow("http") << u"http://a.example"_s << true;
        QTest::newRow("mailto") << u"mailto:a@b.example"_s << true;
        QTest::newRow("upper-case scheme") << u"HTTPS://a.example"_s << true;
        QTest::newRow("file") << u"file:///etc/passwd"_s << false;
        QTest::newRow("custom") << u"talvoro://open"_s << false;
        QTest::newRow("web without host") << u"http:///x"_s << false;
    }

    void linksOpenOnlyForTheWebAndMail()
    {
        QFETCH(QString, link);
        QFETCH(bool, opens);
        QCOMPARE(AnswerLinks::open(link), opens);
        QCOMPARE(m_opened.size(), opens ? 1 : 0);
    }

    // Long answers are cut where the Markdown on both sides stays what it was, code is kept
    // exactly, and no piece is longer than one layout should take.
    void piecesKeepTheAnswer_data()
    {
        QTest::addColumn<QString>("content");
        QString paragraphs;
        for (int i = 0; paragraphs.size() < 20000; ++i)
            paragraphs += u"第%1段，说明一件事。\n\n- 要点\n\n  续行\n\n"_s.arg(i);
        QTest::newRow("paragraphs and loose lists") << paragraphs;
        QTest::newRow("one line of a megabyte") << u"|a"_s.repeated(500000);
        QString code;
        for (int i = 0; code.size() < 30000; ++i)
            code += u"int v%1 = %1; // 🙂\n"_s.arg(i);
        QTest::newRow("a long code block") << u"看：<code>"_s + code + u"</code>完"_s;
        QTest::newRow("a code line of 40,000 characters")
            << u"<code>"_s + u"x🙂"_s.repeated(20000) + u"</code>"_s;
    }

    void piecesKeepTheAnswer()
    {
        QFETCH(QString, content);
        const QList<MessageBlock> whole = MessageBlocks::split(content);
        const QList<MessageBlock> pieces = MessageBlocks::pieces(content, {u"c"_s});
        QVERIFY(pieces.size() > whole.size());
        qsizetype block = -1;
        QString joined;
        for (const MessageBlock &piece : pieces) {
            QVERIFY(piece.text.size() <= MessageBlocks::kPieceHardLimit + 1);
            QVERIFY(!piece.text.isEmpty() && !piece.text.front().isLowSurrogate());
            if (piece.first) {
                ++block;
                joined.clear();
            } else {
                joined += piece.isCode && piece.text.front() != u'x' ? u"\n" : u"";
                // A piece after a cut starts a top-level block: not a list item's continuation.
                if (!piece.isCode)
                    QVERIFY(!piece.text.startsWith(u"续行"_s));
            }
            joined += piece.isCode ? piece.text : QString();
            if (piece.isCode && piece.first) {
                QCOMPARE(piece.code, whole.at(block).text);
                QCOMPARE(piece.language, u"c"_s);
            }
            if (piece.isCode && piece.last)
                QCOMPARE(joined, whole.at(block).text);
        }
        QCOMPARE(block + 1, whole.size());
    }

    // Hostile answers render (split and every piece parsed) without crashing; how long they
    // take is measured in the benchmarks.
    void hostileAnswersRender_data()
    {
        QTest::addColumn<QString>("content");
        QTest::newRow("10,000 nested lists") << u"- "_s.repeated(10000) + u'x';
        QTest::newRow("10,000 nested quotes") << u">"_s.repeated(10000) + u'x';
        QString nested;
        for (int i = 0; i < 2000; ++i)
            nested += u" "_s.repeated(i * 2) + u"- x\n"_s;
        QTest::newRow("2,000 nested list lines") << nested;
        QTest::newRow("a 1 MB table row")
            << u"| a | b |\n|---|---|\n"_s + u"| c "_s.repeated(250000);
        QTest::newRow("100,000 backticks") << u"`"_s.repeated(100000);
        QTest::newRow("unbalanced fences and markers")
            << u"```\n<code>x\n```\n</code></code>~~~\n"_s.repeated(2000);
    }

    void hostileAnswersRender()
    {
        QFETCH(QString, content);
        const QList<MessageBlock> pieces = MessageBlocks::pieces(content);
        QVERIFY(!pieces.isEmpty());
        for (const MessageBlock &piece : pieces) {
            if (!piece.isCode)
                (void)MarkdownRenderer::render(piece.text);
        }
    }

    // The code block's label, from the fence the answer arrived with; its button copies the
    // block exactly and says so; dragged text copies with Ctrl+C; a click on a link opens it.
    // Nothing in the answer reaches out: not raw HTML, not a picture, not a reference-style
    // picture; a listening socket counts every connection the window might open.
    void answersInTheWindow()
    {
        QTcpServer trap;
        QVERIFY(trap.listen(QHostAddress::LocalHost));
        StreamingWindow open;
        QVERIFY(open.start());
        const QString code = u"def f(x):\n    return x  # 注释\n\n\nprint(f(1))"_s;
        const QString pictures =
            u"\n\n<img src=%1/a.png>\n\n![x](%1/b.png)\n\n![参考][p]\n\n[p]: %1/c.png\n\n"
            "<iframe src=\"%1/d\"></iframe>"_s.arg(u"http://127.0.0.1:%1"_s.arg(trap.serverPort()));
        QVERIFY(open.answerWith(
            u"代码"_s, u"见 [文档](https://docs.example/f)：\n```python\n"_s + code +
                           u"\n```\n| 项 | 价 |\n|---|--:|\n| 茶 | 12 |\n\n完"_s + pictures));

        QQuickItem *label = open.item(u"codeLanguage"_s);
        QVERIFY(label);
        QTRY_COMPARE(label->property("text").toString(), u"python"_s);
        // A screen reader reads what the answer is made of: the prose, the code, the table's
        // cells, the copy button's name.
        QQuickItem *copy = open.item(u"copyCodeButton"_s);
        QCOMPARE(QAccessible::queryAccessibleInterface(copy)->text(QAccessible::Name),
                 u"复制代码"_s);
        QQuickItem *row = copy;
        while (row && !row->property("messageId").isValid())
            row = row->parentItem();
        QVERIFY(row);
        QStringList read;
        for (QQuickItem *text : visibleTexts(row))
            read.append(QAccessible::queryAccessibleInterface(text)->text(QAccessible::Name));
        for (const char *part : {"见 文档", "项", "价", "茶", "12", "print(f(1))", "完"})
            QVERIFY2(read.join(u'|').contains(QString::fromUtf8(part)),
                     qPrintable(read.join(u'|')));

        QGuiApplication::clipboard()->clear();
        clickItem(copy);
        QTRY_COMPARE(QGuiApplication::clipboard()->text(), code);
        QTRY_VERIFY(!having(open.window->contentItem(), "text", u"复制成功！"_s, true).isEmpty());

        // The prose: selected and copied with the keyboard; its link opened by a click.
        const auto proses = having(open.window->contentItem(), "text", u"见 文档："_s, true);
        QVERIFY(!proses.isEmpty());
        QQuickItem *prose = proses.last();
        prose->forceActiveFocus();
        QMetaObject::invokeMethod(prose, "selectAll");
        QTest::keySequence(open.window, QKeySequence::Copy);
        QTRY_COMPARE(QGuiApplication::clipboard()->text(), u"见 文档："_s);

        QRectF word;
        QMetaObject::invokeMethod(prose, "positionToRectangle", Q_RETURN_ARG(QRectF, word),
                                  Q_ARG(int, 3));
        const QPoint on = prose->mapToScene(word.center()).toPoint();
        QTest::mouseMove(open.window, on);
        QTRY_COMPARE(prose->property("hoveredLink").toString(), u"https://docs.example/f"_s);
        QTest::mouseClick(open.window, Qt::LeftButton, Qt::NoModifier, on);
        QTRY_COMPARE(m_opened, QList<QUrl>{QUrl(u"https://docs.example/f"_s)});
        QVERIFY(!trap.hasPendingConnections());
        QVERIFY(!trap.waitForNewConnection(200));

        // Then an answer of four million characters: no text item holds more than a piece, only
        // the pieces near the screen are laid out, and the editor takes typing within a few
        // turns of the event loop.
        QString huge;
        huge.reserve(4'100'000);
        for (int i = 0; huge.size() < 4'000'000; ++i)
            huge += u"第%1行：一段很长的回答，不停地写下去。\n"_s.arg(i);
        QVERIFY(open.answerWith(u"长"_s, huge));
        QCOMPARE(open.answer().size(), huge.size());

        QQuickItem *editor = open.item(u"messageEditor"_s);
        QVERIFY(editor);
        editor->forceActiveFocus();
        for (const QChar c : u"还在"_s)
            QCoreApplication::postEvent(
                editor, new QKeyEvent(QEvent::KeyPress, 0, Qt::NoModifier, QString(c)));
        for (int turn = 0; turn < 20 && editor->property("text").toString().isEmpty(); ++turn)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QCOMPARE(editor->property("text").toString(), u"还在"_s);

        QQuickItem *list = open.item(u"messageList"_s);
        qsizetype laidOut = 0;
        for (QQuickItem *text : visibleTexts(list)) {
            const qsizetype size = text->property("length").toInt();
            QVERIFY(size <= MessageBlocks::kPieceHardLimit);
            laidOut += size;
        }
        QVERIFY2(laidOut < 200'000, qPrintable(QString::number(laidOut)));
    }

    // What stopping keeps and logs is checked with the controller; here, the two doors to it,
    // one answer each: the stop button, then Escape in the editor.
    void stopEndsTheAnswer()
    {
        StreamingWindow open;
        QVERIFY(open.start());
        QQuickItem *send = open.item(u"sendButton"_s), *stop = open.item(u"stopButton"_s);
        QQuickItem *editor = open.item(u"messageEditor"_s);
        QVERIFY(send && stop && editor);
        QVERIFY(send->isVisible() && !stop->isVisible());
        for (const bool byEscape : {false, true}) {
            QVERIFY(open.ask(u"讲个故事"_s));
            // While the answer comes, the send button is the stop button.
            QTRY_VERIFY(stop->isVisible());
            QVERIFY(!send->isVisible());
            if (byEscape) {
                editor->forceActiveFocus();
                QTRY_VERIFY(editor->hasActiveFocus());
                QTest::keyClick(open.window, Qt::Key_Escape);
            } else {
                clickItem(stop);
            }
            QTRY_COMPARE(open.chat->pendingSends(), 0);
            QTRY_VERIFY(send->isVisible());
            QVERIFY(!stop->isVisible());
        }
    }

    void listFollowsTheAnswerOnlyAtTheEnd()
    {
        StreamingWindow open;
        MessageList earlier;
        for (int i = 0; i < 30; ++i)
            earlier.append(Message(u"第%1段。"_s.arg(i).repeated(20), i % 2 == 0));
        const QString id = open.store(earlier);
        QVERIFY(open.start());
        open.chat->selectConversation(id);
        QQuickItem *list = open.item(u"messageList"_s);
        QQuickItem *back = open.item(u"backToBottomButton"_s);
        QVERIFY(list && back);
        const auto distance = [&] {
            return list->property("distanceFromEnd").toReal();
        };

        QString sent;
        const auto feed = [&](const QString &piece) {
            sent += piece;
            open.server.sendPiece(openAIPiece(piece));
            return QTest::qWaitFor([&] { return open.answer() == sent; });
        };
        QVERIFY(open.ask(u"长一点"_s));
        for (int i = 0; i < 6; ++i) {
            QVERIFY(feed(u"新的一行 %1\n"_s.arg(i)));
            // At the end, the list keeps the growing answer in view.
            QTRY_VERIFY2(distance() < 4, qPrintable(QString::number(distance())));
        }
        QVERIFY(!back->isVisible());

        // The reader scrolls up: the list stays where they put it while text arrives.
        scrollUp(open, list);
        QTRY_VERIFY(back->isVisible());
        QVERIFY(distance() > 100);
        const qreal contentY = list->property("contentY").toReal();
        for (int i = 6; i < 10; ++i) {
            QVERIFY(feed(u"新的一行 %1\n"_s.arg(i)));
            QTest::qWait(40);
            QCOMPARE(list->property("contentY").toReal(), contentY);
        }
        QCOMPARE(QAccessible::queryAccessibleInterface(back)->text(QAccessible::Name),
                 u"回到底部"_s);
        // What is drawn (the text items of the last row's blocks) is the answer so far, grown
        // piece by piece.
        const auto last = findAll(list, [](QQuickItem *row) {
            return row->property("isLast").toBool() && row->isVisible();
        });
        QStringList drawn;
        for (QQuickItem *text : last.isEmpty() ? last : visibleTexts(last.last()))
            drawn.append(text->property("text").toString());
        QCOMPARE(drawn.join(u'\n').trimmed(), sent.trimmed());

        // Back to the end: the list follows again.
        clickItem(back);
        QTRY_VERIFY(!back->isVisible());
        QTRY_VERIFY(distance() < 4);
        QVERIFY(feed(u"最后一行"_s));
        QTRY_VERIFY(distance() < 4);

        // Nor does the answer's end move a reader who scrolled away.
        scrollUp(open, list);
        QTRY_VERIFY(back->isVisible());
        const qreal readingAt = list->property("contentY").toReal();
        open.server.endStreams();
        QTRY_COMPARE(open.chat->pendingSends(), 0);
        QTest::qWait(100);
        QCOMPARE(list->property("contentY").toReal(), readingAt);
    }
    // The upgrade alert, shown twice: Return chooses 升级会员 and opens the page, Escape chooses
    // 取消 and opens nothing.
    void upgradeAlertKeys()
    {
        MainWindow open;
        QVERIFY(open.start());
        LogCapture log;
        for (const bool upgrades : {true, false}) {
            QVERIFY(QMetaObject::invokeMethod(open.chat, "upgradeAlertRequested"));
            QQuickItem *button = nullptr;
            QTRY_VERIFY((button = open.item(u"upgradeButton"_s)) && button->isVisible());
            QTRY_VERIFY(button->hasActiveFocus());
            QTest::keyClick(open.window, upgrades ? Qt::Key_Return : Qt::Key_Escape);
            QTRY_VERIFY(!button->isVisible());
            QCOMPARE(m_opened.size(), 1);
            QCOMPARE(log.count(u"用户选择取消"_s), upgrades ? 0 : 1);
        }
    }

    void replyBlocks_data()
    {
        QTest::addColumn<QString>("content");
        QTest::addColumn<QStringList>("blocks"); // code blocks start with "code:"
        QTest::newRow("prose, code, prose")
            << u"看 <code>int x;\n</code> 好"_s << QStringList{"看", "code:int x;\n", "好"};
        QTest::newRow("no closing marker")
            << u"前 <code>  未闭合  "_s << QStringList{"前", "未闭合"};
        QTest::newRow("two closing markers drop the third part")
            << u"<code>c</code> p1 </code> p2"_s << QStringList{"code:c", "p1"};
        QTest::newRow("code keeps its white space")
            << u"<code>  x  \n</code>"_s << QStringList{"code:  x  \n"};
        QTest::newRow("white space only") << u" \n\t "_s << QStringList{};
        QTest::newRow("empty code block") << u"a<code></code>b"_s << QStringList{"a", "b"};
    }

    void replyBlocks()
    {
        QFETCH(QString, content);
        QFETCH(QStringList, blocks);
        QStringList split;
        for (const MessageBlock &block : MessageBlocks::split(content))
            split.append((block.isCode ? u"code:"_s : QString()) + block.text);
        QCOMPARE(split, blocks);
    }

    // Every answer to a question can be regenerated, not only the last: the new variant takes
    // the old one's place and what followed it; "‹ 2/2 ›" switches back to all of it.
    void regenerateAnyAnswerAndSwitchBack()
    {
        MainWindow open;
        const MessageList stored{Message(u"一"_s, true), Message(u"答一"_s, false),
                                 Message(u"二"_s, true), Message(u"答二"_s, false),
                                 Message(u"<code>x</code>尾"_s, false)};
        const QString id = open.store(stored);
        QVERIFY(open.start());
        open.chat->hideWelcomeView();
        open.chat->selectConversation(id);
        // Every row is built (user rows keep their assistant part hidden); the two answers that
        // follow a question offer it.
        QQuickItem *root = open.window->contentItem();
        QTRY_COMPARE(having(root, "objectName", u"regenerateButton"_s).size(), 5);
        const auto shown = having(root, "objectName", u"regenerateButton"_s, true);
        QCOMPARE(shown.size(), 2);
        // Hover the first answer: its actions appear; regenerate asks its question again.
        QQuickItem *row = shown.first()->parentItem();
        QTest::mouseMove(open.window, row->mapToScene(QPointF(2, 2)).toPoint());
        QTRY_COMPARE(row->opacity(), 1.0);
        clickItem(shown.first());
        QTRY_COMPARE(open.chat->messageList().size(), 2);
        QCOMPARE(open.chat->messageList().first().content, u"一"_s);
        // Nothing listens at the service's address: the new variant ends as the network notice.
        QTRY_COMPARE(open.chat->pendingSends(), 0);

        const auto visible = [&](const QString &name) {
            const auto found = having(root, "objectName", name, true);
            return found.isEmpty() ? nullptr : found.last();
        };
        QTRY_VERIFY(visible(u"answerVariants"_s));
        QQuickItem *label = findItem(visible(u"answerVariants"_s), u"variantLabel"_s);
        QCOMPARE(label->property("text").toString(), u"2/2"_s);
        clickItem(findItem(visible(u"answerVariants"_s), u"previousVariantButton"_s));
        QTRY_COMPARE(open.chat->messageList().size(), 5);
        QCOMPARE(open.chat->messageList().last().content, stored.last().content);
    }

    // "编辑" turns a question into an editor in place that keys as the main editor does:
    // Shift+Return breaks the line, Escape cancels, Return sends a new version beside the old.
    void editAQuestionInPlace()
    {
        MainWindow open;
        const QString id = open.store({Message(u"一"_s, true), Message(u"答一"_s, false),
                                       Message(u"二"_s, true), Message(u"答二"_s, false)});
        QVERIFY(open.start());
        open.chat->hideWelcomeView();
        open.chat->selectConversation(id);
        QQuickItem *root = open.window->contentItem();
        const auto visible = [&](const QString &name) {
            const auto found = having(root, "objectName", name, true);
            return found.isEmpty() ? nullptr : found.last();
        };
        // The editor, once it has the keyboard; null when it never does.
        const auto startEditing = [&]() -> QQuickItem * {
            QQuickItem *edit = nullptr;
            if (!QTest::qWaitFor([&] { return (edit = visible(u"editButton"_s)); }))
                return nullptr;
            QTest::mouseMove(open.window, edit->mapToScene(QPointF(2, 2)).toPoint());
            if (!QTest::qWaitFor([&] { return edit->isEnabled(); }))
                return nullptr;
            clickItem(edit);
            QQuickItem *editor = nullptr;
            const bool focused = QTest::qWaitFor([&] {
                editor = visible(u"questionEditor"_s);
                return editor && editor->hasActiveFocus();
            });
            return focused ? editor : nullptr;
        };

        QQuickItem *editor = startEditing();
        QVERIFY(editor);
        QCOMPARE(editor->property("text").toString(), u"二"_s);
        QTest::keyClick(open.window, Qt::Key_Return, Qt::ShiftModifier);
        QCOMPARE(editor->property("text").toString(), u"二\n"_s);
        QTest::keyClick(open.window, Qt::Key_Escape);
        QTRY_VERIFY(!visible(u"questionEditor"_s));
        QCOMPARE(open.chat->messageList().size(), 4);

        editor = startEditing();
        QVERIFY(editor);
        QCOMPARE(editor->property("text").toString(), u"二"_s); // the cancelled edit is gone
        editor->setProperty("text", u"新的二"_s);
        QTest::keyClick(open.window, Qt::Key_Return);
        QTRY_VERIFY(!visible(u"questionEditor"_s));
        QTRY_COMPARE(open.chat->messageList().size(), 4);
        QCOMPARE(open.chat->messageList().at(2).content, u"新的二"_s);
        QTRY_VERIFY(visible(u"questionVersions"_s));
        QCOMPARE(findItem(visible(u"questionVersions"_s), u"variantLabel"_s)
                     ->property("text")
                     .toString(),
                 u"2/2"_s);
        QTRY_COMPARE(open.chat->pendingSends(), 0);
        clickItem(findItem(visible(u"questionVersions"_s), u"previousVariantButton"_s));
        QTRY_COMPARE(open.chat->messageList().at(2).content, u"二"_s);
        QCOMPARE(open.chat->messageList().at(3).content, u"答二"_s);
    }

    // A stored picture shows fitted into 200 x 200, its aspect kept; one whose file is gone
    // says so instead.
    void pictureRows()
    {
        MainWindow open;
        const QString path = open.app.folder() + u"/p.png"_s;
        QImage image(60, 40, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        QVERIFY(image.save(path));
        Message stored(QString(), false), gone(QString(), false);
        stored.cachedImagePath = path;
        gone.cachedImagePath = open.app.folder() + u"/gone.png"_s;
        const QString id =
            open.store({Message(u"画"_s, true), stored, Message(u"再画"_s, true), gone});
        QVERIFY(open.start());
        open.chat->hideWelcomeView();
        open.chat->selectConversation(id);

        QList<QQuickItem *> shown;
        QTRY_COMPARE(
            (shown = having(open.window->contentItem(), "objectName", u"picture"_s)).size(), 2);
        for (QQuickItem *picture : shown) {
            const bool exists = picture->property("path").toString() == path;
            // Decoding runs off the main thread; wait for its verdict.
            QTRY_VERIFY(picture->property("status").toInt() >= 2);
            const auto failed = having(picture->parentItem(), "text", u"无法加载图片"_s);
            QCOMPARE(failed.size(), 1);
            QCOMPARE(failed.first()->isVisible(), !exists);
            QCOMPARE(QSizeF(picture->width(), picture->height()),
                     exists ? QSizeF(200, 400.0 / 3) : QSizeF(picture->width(), 0));
        }
    }

    // Listed by when each conversation started, titled by its last message; the trash empties
    // the list and the stored history at once.
    void historyListAndTrash()
    {
        MainWindow open;
        Message picture(QString(), false);
        picture.cachedImagePath = u"/nowhere/x.png"_s;
        const QList<MessageList> stored{
            // Started at 09:00 but answered last: still listed by when it started.
            {at(Message(u"九点"_s, true), 1000), at(Message(u"最新的回答"_s, false), 3500)},
            {at(Message(u"十点"_s, true), 2000), picture},
            {at(Message(u"十一点"_s, true), 3000), at(Message(QString(), false), 3001)},
            {at(Message(u"十点半"_s, true), 2500)}};
        QStringList ids;
        for (const MessageList &messages : stored)
            ids.append(open.store(messages));
        ConversationListModel model;
        QStringList order, titles;
        for (int row = 0; row < model.rowCount(); ++row) {
            order.append(
                model.index(row).data(ConversationListModel::ConversationIdRole).toString());
            titles.append(model.index(row).data(ConversationListModel::TitleRole).toString());
        }
        QCOMPARE(order, (QStringList{ids[2], ids[3], ids[1], ids[0]}));
        // An empty last message gives an empty title, not "无标题".
        QCOMPARE(titles, (QStringList{"", "十点半", "【图片】", "最新的回答"}));

        LogCapture capture;
        model.clearHistory();
        QCOMPARE(model.rowCount(), 0);
        QVERIFY(!open.app.settings->getData(u"conversations"_s));
        model.clearHistory(); // nothing stored: still logs, still empty
        QCOMPARE(capture.count(u"历史记录已清除"_s), 2);
    }

    // A history row shows its title as plain text (rich text would fetch the picture a reply
    // points at and hide the tags) in two lines at most, a screen reader hears the whole title,
    // and a click on the row reopens the conversation.
    void historyRow()
    {
        const QString title = u"<b>粗</b><img src=\"http://127.0.0.1:9/x.png\"> <code>"_s +
                              u"这是一条很长的回答，"_s.repeated(20);
        MainWindow open;
        const QString id = open.store({Message(u"问"_s, true), Message(title, false)});
        QVERIFY(open.start());
        QVERIFY(open.chat->showWelcomeView());
        clickItem(open.item(u"historyButton"_s));
        QQuickItem *row = nullptr;
        QTRY_VERIFY((row = open.item(u"historyRow"_s)) != nullptr);
        auto *shown = row->property("contentItem").value<QQuickItem *>();
        QVERIFY(shown);
        QCOMPARE(shown->property("text").toString(), title);
        QCOMPARE(shown->property("textFormat").toInt(), 0); // Text.PlainText
        QTRY_COMPARE(shown->property("lineCount").toInt(), 2);
        QVERIFY(shown->property("truncated").toBool());
        QAccessibleInterface *node = QAccessible::queryAccessibleInterface(row);
        QCOMPARE(node->role(), QAccessible::Button);
        QCOMPARE(node->text(QAccessible::Name), title);

        QTest::qWait(300); // the sheet slides in
        clickItem(row);
        QTRY_VERIFY(!open.chat->showHistory());
        QVERIFY(!open.chat->showWelcomeView());
        QVERIFY(open.app.settings->getBool(u"hasSeenWelcome"_s, false));
        QCOMPARE(open.chat->currentConversationID(), id);
        QCOMPARE(open.chat->messages()->count(), 2);
    }

    void welcomeClickSends()
    {
        // Only the image model, named exactly, has the picture questions.
        QCOMPARE(WelcomeQuestions::forModel(u"dall-e-3"_s).first(), u"🌆 绘制一个未来城市"_s);
        QCOMPARE(WelcomeQuestions::forModel(u"DALL-E-3"_s),
                 WelcomeQuestions::forModel(u"gpt-4o"_s));
        MainWindow open;
        QVERIFY(open.start());
        const QString question = u"💡有哪些方法可以提高记忆力？"_s;
        QTRY_VERIFY(open.item(u"question_"_s + question));
        clickItem(open.item(u"question_"_s + question));
        QTRY_VERIFY(!open.chat->showWelcomeView());
        QVERIFY(open.app.settings->getBool(u"hasSeenWelcome"_s, false));
        QVERIFY(open.chat->messages()->count() >= 2);
        QCOMPARE(open.chat->messageList().first().content, question);
        QVERIFY(open.chat->messageList().first().isUserMessage);
    }

    // The picker marks the chosen model only (nothing for an identifier it does not list), and
    // a choice is still there after a restart.
    void dropdownChoiceSurvivesRestart()
    {
        QTemporaryDir folder;
        const QString claude = u"claude-3-5-sonnet-20240620"_s;
        const auto marked = [](MainWindow &open) {
            QStringList rows;
            for (QQuickItem *mark :
                 having(open.item(u"dropdownView"_s), "objectName", u"checkmark"_s, true))
                rows.append(mark->parentItem()->objectName());
            return rows;
        };
        {
            MainWindow open(folder.path());
            QVERIFY(open.start());
            open.chat->setSelectedModel(u"gpt-5"_s);
            open.chat->setShowDropdown(true);
            QTRY_VERIFY(open.item(u"modelRow_"_s + claude));
            QCOMPARE(marked(open), QStringList());
            open.chat->setSelectedModel(claude); // a click on a row is the end-to-end run's
        }
        MainWindow again(folder.path());
        QVERIFY(again.start());
        QCOMPARE(again.chat->selectedModel(), claude);
        QCOMPARE(again.chat->selectedModelDisplayName(), u"Claude-3.5"_s);
        again.chat->setShowDropdown(true);
        QTRY_COMPARE(marked(again), QStringList{u"modelRow_"_s + claude});
    }
    void returnKey_data()
    {
        QTest::addColumn<KeyPress>("press");
        // Sending logs the text as it is after sending.
        const QStringList sends{u"TextEditor 中的内容: "_s, u"Enter 按下"_s};
        const QKeyCombination shiftReturn = Qt::ShiftModifier | Qt::Key_Return;
        QTest::newRow("Return sends") << KeyPress{"a", u"你好"_s, {}, Qt::Key_Return, 1, {}, sends};
        QTest::newRow("Return with blank text sends nothing") << KeyPress{
            "a", u"  \n "_s, {}, Qt::Key_Return, 0, u"  \n "_s, {u"无法发送空白消息"_s}};
        QTest::newRow("Shift+Return breaks the line") << KeyPress{
            "a", u"第一行"_s, {}, shiftReturn, 0, u"第一行\n"_s, {u"Shift + Enter 按下"_s}};
        QTest::newRow("keypad Enter is not Return")
            << KeyPress{"a", u"ab"_s, {}, Qt::KeypadModifier | Qt::Key_Enter, 0, u"ab\n"_s, {}};
        QTest::newRow("Return while composing only commits")
            << KeyPress{"a", u"拼音"_s, u"ni"_s, Qt::Key_Return, 0, u"拼音"_s, {}};
        QTest::newRow("keys reach only the focused editor")
            << KeyPress{"b", u"乙"_s, {}, Qt::Key_Return, 1, {}, sends};
    }

    void returnKey()
    {
        QFETCH(KeyPress, press);
        Editors e;
        QVERIFY(e.start());
        const char *other = press.focused == QByteArray("a") ? "b" : "a";
        e.setText(other, u"甲"_s);
        e.setText(press.focused, press.before);
        QQuickItem *area = e.area(press.focused);
        area->forceActiveFocus();
        if (!press.composing.isEmpty()) {
            QInputMethodEvent event(press.composing, {});
            QCoreApplication::sendEvent(area, &event);
            QCOMPARE(area->property("preeditText").toString(), press.composing);
        }
        LogCapture capture;
        QTest::keyClick(e.window, press.keys.key(), press.keys.keyboardModifiers());
        QCOMPARE(e.sends(press.focused), press.sent);
        QCOMPARE(e.text(press.focused), press.after);
        QCOMPARE(e.sends(other), 0);
        QCOMPARE(e.text(other), u"甲"_s);
        QCOMPARE(capture.all(), press.log);
    }

    void heightFollowsText()
    {
        Editors e;
        QVERIFY(e.start());
        QCOMPARE(e.height("a"), 60.0); // empty: the minimum
        e.setText("a", u"一\n二"_s);
        const qreal two = e.height("a");
        // A trailing line break already takes a line.
        e.setText("a", u"一\n二\n"_s);
        const qreal three = e.height("a");
        QVERIFY2(three > two && three < 300, qPrintable(QString::number(three)));
        // Shift+Return re-measures at once.
        e.area("a")->forceActiveFocus();
        QTest::keyClick(e.window, Qt::Key_Return, Qt::ShiftModifier);
        QVERIFY(e.height("a") > three);
        e.setText("a", u"行\n"_s.repeated(40));
        QCOMPARE(e.height("a"), 300.0);

        // The same text wraps into more lines in the narrower editor.
        const QString paragraph = u"这是一段很长的文字，用来检查换行后的高度。"_s;
        e.setText("a", paragraph.repeated(3));
        e.setText("b", paragraph.repeated(3));
        QVERIFY(e.height("b") > e.height("a"));
    }
};

QTEST_MAIN(TestChatViews)
#include "tst_chatviews.moc"
