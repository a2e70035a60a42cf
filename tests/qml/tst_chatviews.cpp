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
#include <QQmlComponent>
#include <QTcpServer>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextList>
#include <QTextTable>
#include <QtQml/QQmlExtensionPlugin>

Q_IMPORT_QML_PLUGIN(TalvoroPlugin)

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
            line += QStringLiteral("T%1,%2").arg(cell.row()).arg(cell.column());
            const Qt::Alignment align = block.blockFormat().alignment();
            line += align & Qt::AlignRight ? u">" : align & Qt::AlignHCenter ? u"^" : u"";
            line += u' ';
        }
        if (QTextList *list = block.textList())
            line += QStringLiteral("L%1 ").arg(list->format().indent());
        if (block.blockFormat().intProperty(QTextFormat::BlockQuoteLevel) > 0)
            line += QStringLiteral("Q ");
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            QString text = fragment.text();
            text.replace(QChar::LineSeparator, u'⏎');
            if (fragment.charFormat().isImageFormat())
                text = QStringLiteral("<image>");
            if (fragment.charFormat().isAnchor())
                text =
                    u'[' + text + QStringLiteral("](") + fragment.charFormat().anchorHref() + u')';
            line += text;
        }
        if (!line.isEmpty())
            lines.append(line);
    }
    return lines.join(QStringLiteral(" | "));
}

QList<QQuickItem *> named(QQuickItem *root, const QString &name)
{
    return findAll(root, [&](QQuickItem *item) { return item->objectName() == name; });
}

// Records the addresses the desktop is asked to open for `schemes`, instead of opening them.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    explicit UrlRecorder(const QStringList &schemes = {"http"}) : m_schemes(schemes)
    {
        for (const QString &scheme : schemes)
            QDesktopServices::setUrlHandler(scheme, this, "open");
    }
    ~UrlRecorder() override
    {
        for (const QString &scheme : std::as_const(m_schemes))
            QDesktopServices::unsetUrlHandler(scheme);
    }
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened.append(url); }

private:
    QStringList m_schemes;
};

// Two editors of different widths; each counts its sends and clears its text as the chat does.
const QByteArray kScene = R"(
import QtQuick
import Talvoro
Item {
    component Editor: ResizableTextEditor {
        property int sends: 0
        property string typed: ""
        text: typed
        onTextEdited: t => typed = t
        onSend: { sends += 1; typed = "" }
    }
    Editor { objectName: "a"; width: 400 }
    Editor { objectName: "b"; width: 200; y: 350 }
}
)";

struct Editors {
    QQmlEngine engine;
    QQuickWindow window;
    std::unique_ptr<QQuickItem> scene;

    bool start()
    {
        FontSetup::install();
        engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
        QQmlComponent component(&engine);
        component.setData(kScene, QUrl(QStringLiteral("qrc:/test/Scene.qml")));
        scene.reset(qobject_cast<QQuickItem *>(component.create()));
        if (!scene) {
            qWarning() << component.errorString();
            return false;
        }
        window.resize(500, 700);
        scene->setParentItem(window.contentItem());
        window.show();
        return QTest::qWaitForWindowExposed(&window);
    }
    QQuickItem *editor(const char *name) const
    {
        return findItem(scene.get(), QLatin1String(name));
    }
    QQuickItem *area(const char *name) const
    {
        return editor(name)->property("editor").value<QQuickItem *>();
    }
    void setText(const char *name, const QString &text)
    {
        editor(name)->setProperty("typed", text);
    }
    qreal height(const char *name) const
    {
        return editor(name)->property("dynamicHeight").toReal();
    }
    int sends(const char *name) const { return editor(name)->property("sends").toInt(); }
    QString text(const char *name) const { return editor(name)->property("typed").toString(); }
};

} // namespace

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

    // The text of the last row's blocks, as its text items hold it.
    static QString drawnText(QQuickItem *list)
    {
        auto *content = list->property("contentItem").value<QQuickItem *>();
        QQuickItem *last = nullptr;
        for (QQuickItem *row : content->childItems()) {
            if (row->property("isLast").toBool() && row->isVisible())
                last = row;
        }
        QStringList texts;
        for (QQuickItem *text : last ? visibleTexts(last) : QList<QQuickItem *>{})
            texts.append(text->property("text").toString());
        return texts.join(u'\n');
    }

private slots:
    void structure_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("expected");
        QTest::newRow("nested lists keep their depth and numbers")
            << QStringLiteral("1. 一\n   - 甲\n   - 乙\n2. 二")
            << QStringLiteral("L1 一 | L2 甲 | L2 乙 | L1 二");
        QTest::newRow("a table keeps its cells and alignment")
            << QStringLiteral("| 项 | 价 |\n|:--|--:|\n| 茶 | 12 |")
            << QStringLiteral("T0,0 项 | T0,1> 价 | T1,0 茶 | T1,1> 12");
        QTest::newRow("every line end is a line break")
            << QStringLiteral("第一行\n第二行\n\n新段") << QStringLiteral("第一行⏎第二行 | 新段");
        QTest::newRow("a quote") << QStringLiteral("> 引文") << QStringLiteral("Q 引文");
        QTest::newRow("links: only web and mail stay links")
            << QStringLiteral("[网](https://a.example/x) [信](mailto:a@b.example) "
                              "[本地](file:///etc/passwd) [脚本](javascript:alert(1)) "
                              "[数据](data:text/html,x) [应用](talvoro://open)")
            << QStringLiteral("[网](https://a.example/x) [信](mailto:a@b.example) 本地 脚本 "
                              "数据 应用");
        QTest::newRow("pictures become their alt text")
            << QStringLiteral("![城市](http://127.0.0.1:9/y.png) ![](ftp://h/z.png) "
                              "![参考][图]\n\n[图]: file:///tmp/p.png")
            << QStringLiteral("[城市](http://127.0.0.1:9/y.png)  参考"); // no alt text: nothing
        QTest::newRow("raw HTML stays text")
            << QStringLiteral("<img src=http://h/x> <b>粗</b> <script>x</script>")
            << QStringLiteral("<img src=http://h/x> <b>粗</b> <script>x</script>");
        QTest::newRow("a line too long for the parser stays plain")
            << QStringLiteral("- ").repeated(5000) << QStringLiteral("- ").repeated(5000);
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
        QTest::newRow("https") << QStringLiteral("https://a.example/路径?q=1") << true;
        QTest::newRow("http") << QStringLiteral("http://a.example") << true;
        QTest::newRow("mailto") << QStringLiteral("mailto:a@b.example") << true;
        QTest::newRow("upper-case scheme") << QStringLiteral("HTTPS://a.example") << true;
        QTest::newRow("file") << QStringLiteral("file:///etc/passwd") << false;
        QTest::newRow("javascript") << QStringLiteral("javascript:alert(1)") << false;
        QTest::newRow("data") << QStringLiteral("data:text/html,<b>x</b>") << false;
        QTest::newRow("custom") << QStringLiteral("talvoro://open") << false;
        QTest::newRow("relative") << QStringLiteral("/etc/passwd") << false;
        QTest::newRow("web without host") << QStringLiteral("http:///x") << false;
    }

    void linksOpenOnlyForTheWebAndMail()
    {
        QFETCH(QString, link);
        QFETCH(bool, opens);
        UrlRecorder recorder({"http", "https", "mailto", "file", "javascript", "data"});
        QCOMPARE(AnswerLinks::open(link), opens);
        QCOMPARE(recorder.opened.size(), opens ? 1 : 0);
    }

    // Long answers are cut where the Markdown on both sides stays what it was, code is kept
    // exactly, and no piece is longer than one layout should take.
    void piecesKeepTheAnswer_data()
    {
        QTest::addColumn<QString>("content");
        QString paragraphs;
        for (int i = 0; paragraphs.size() < 20000; ++i)
            paragraphs += QStringLiteral("第%1段，说明一件事。\n\n- 要点\n\n  续行\n\n").arg(i);
        QTest::newRow("paragraphs and loose lists") << paragraphs;
        QTest::newRow("one line of a megabyte") << QStringLiteral("|a").repeated(500000);
        QString code;
        for (int i = 0; code.size() < 30000; ++i)
            code += QStringLiteral("int v%1 = %1; // 🙂\n").arg(i);
        QTest::newRow("a long code block")
            << QStringLiteral("看：<code>") + code + QStringLiteral("</code>完");
        QTest::newRow("a code line of 40,000 characters")
            << QStringLiteral("<code>") + QStringLiteral("x🙂").repeated(20000) +
                   QStringLiteral("</code>");
    }

    void piecesKeepTheAnswer()
    {
        QFETCH(QString, content);
        const QList<MessageBlock> whole = MessageBlocks::split(content);
        const QList<MessageBlock> pieces = MessageBlocks::pieces(content, {QStringLiteral("c")});
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
                    QVERIFY(!piece.text.startsWith(QStringLiteral("续行")));
            }
            joined += piece.isCode ? piece.text : QString();
            if (piece.isCode && piece.first) {
                QCOMPARE(piece.code, whole.at(block).text);
                QCOMPARE(piece.language, QStringLiteral("c"));
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
        QTest::newRow("10,000 nested lists") << QStringLiteral("- ").repeated(10000) + u'x';
        QTest::newRow("10,000 nested quotes") << QStringLiteral(">").repeated(10000) + u'x';
        QString nested;
        for (int i = 0; i < 2000; ++i)
            nested += QStringLiteral(" ").repeated(i * 2) + QStringLiteral("- x\n");
        QTest::newRow("2,000 nested list lines") << nested;
        QTest::newRow("a 1 MB table row")
            << QStringLiteral("| a | b |\n|---|---|\n") + QStringLiteral("| c ").repeated(250000);
        QTest::newRow("100,000 backticks") << QStringLiteral("`").repeated(100000);
        QTest::newRow("unbalanced fences and markers")
            << QStringLiteral("```\n<code>x\n```\n</code></code>~~~\n").repeated(2000);
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

    // Nothing in an answer reaches out: not raw HTML, not a picture, not a reference-style
    // picture. A listening socket counts every connection the window might open.
    void answersFetchNothing()
    {
        QTcpServer trap;
        QVERIFY(trap.listen(QHostAddress::LocalHost));
        const QString at = QStringLiteral("http://127.0.0.1:%1").arg(trap.serverPort());
        StreamingWindow open;
        QVERIFY(open.start());
        QVERIFY(open.answerWith(
            QStringLiteral("图"),
            QStringLiteral("<img src=%1/a.png>\n\n![x](%1/b.png)\n\n![参考][p]\n\n[p]: %1/c.png\n"
                           "\n<iframe src=\"%1/d\"></iframe>")
                .arg(at)));
        QTest::qWait(300);
        QVERIFY(!trap.hasPendingConnections());
        QVERIFY(!trap.waitForNewConnection(200));
    }

    // The code block's label, from the fence the answer arrived with; its button copies the
    // block exactly and says so; dragged text copies with Ctrl+C; a click on a link opens it.
    void codeBlocksAndText()
    {
        StreamingWindow open;
        QVERIFY(open.start());
        const QString code = QStringLiteral("def f(x):\n    return x  # 注释\n\n\nprint(f(1))");
        QVERIFY(open.answerWith(
            QStringLiteral("代码"),
            QStringLiteral("见 [文档](https://docs.example/f)：\n```python\n") + code +
                QStringLiteral("\n```\n| 项 | 价 |\n|---|--:|\n| 茶 | 12 |\n\n完")));

        QQuickItem *label = open.item(QStringLiteral("codeLanguage"));
        QVERIFY(label);
        QTRY_COMPARE(label->property("text").toString(), QStringLiteral("python"));
        // A screen reader reads what the answer is made of: the prose, the code, the table's
        // cells, the copy button's name.
        QQuickItem *copy = open.item(QStringLiteral("copyCodeButton"));
        QCOMPARE(QAccessible::queryAccessibleInterface(copy)->text(QAccessible::Name),
                 QStringLiteral("复制代码"));
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
        QTRY_VERIFY(!findAll(open.window->contentItem(), [](QQuickItem *item) {
                         return item->isVisible() &&
                                item->property("text").toString() == u"复制成功！";
                     }).isEmpty());

        // The prose: selected and copied with the keyboard; its link opened by a click.
        QQuickItem *prose = nullptr;
        for (QQuickItem *text : visibleTexts(open.window->contentItem())) {
            if (text->property("text").toString().startsWith(QStringLiteral("见 文档")))
                prose = text;
        }
        QVERIFY(prose);
        prose->forceActiveFocus();
        QMetaObject::invokeMethod(prose, "selectAll");
        QTest::keySequence(open.window, QKeySequence::Copy);
        QTRY_COMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("见 文档："));

        UrlRecorder recorder({"https"});
        QRectF word;
        QMetaObject::invokeMethod(prose, "positionToRectangle", Q_RETURN_ARG(QRectF, word),
                                  Q_ARG(int, 3));
        const QPoint on = prose->mapToScene(word.center()).toPoint();
        QTest::mouseMove(open.window, on);
        QTRY_COMPARE(prose->property("hoveredLink").toString(),
                     QStringLiteral("https://docs.example/f"));
        QTest::mouseClick(open.window, Qt::LeftButton, Qt::NoModifier, on);
        QTRY_COMPARE(recorder.opened, QList<QUrl>{QUrl(QStringLiteral("https://docs.example/f"))});
    }

    // An answer of four million characters: no text item holds more than a piece, only the
    // pieces near the screen are laid out, and the editor takes typing within a few turns of
    // the event loop.
    void hugeAnswerKeepsTheWindowResponsive()
    {
        StreamingWindow open;
        QVERIFY(open.start());
        QString huge;
        huge.reserve(4'100'000);
        for (int i = 0; huge.size() < 4'000'000; ++i)
            huge += QStringLiteral("第%1行：一段很长的回答，不停地写下去。\n").arg(i);
        QVERIFY(open.answerWith(QStringLiteral("长"), huge));
        QCOMPARE(open.answer().size(), huge.size());

        QQuickItem *editor = open.item(QStringLiteral("messageEditor"));
        QVERIFY(editor);
        editor->forceActiveFocus();
        for (const QChar c : QStringLiteral("还在"))
            QCoreApplication::postEvent(
                editor, new QKeyEvent(QEvent::KeyPress, 0, Qt::NoModifier, QString(c)));
        for (int turn = 0; turn < 20 && editor->property("text").toString().isEmpty(); ++turn)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QCOMPARE(editor->property("text").toString(), QStringLiteral("还在"));

        QQuickItem *list = open.item(QStringLiteral("messageList"));
        qsizetype laidOut = 0;
        for (QQuickItem *text : visibleTexts(list)) {
            const qsizetype size = text->property("length").toInt();
            QVERIFY(size <= MessageBlocks::kPieceHardLimit);
            laidOut += size;
        }
        QVERIFY2(laidOut < 200'000, qPrintable(QString::number(laidOut)));
    }

    void stopEndsTheAnswer_data()
    {
        QTest::addColumn<bool>("byEscape");
        QTest::newRow("stop button") << false;
        QTest::newRow("Escape in the editor") << true;
    }

    // What stopping keeps and logs is checked with the controller; here, the two doors to it.
    void stopEndsTheAnswer()
    {
        QFETCH(bool, byEscape);
        StreamingWindow open;
        QVERIFY(open.start());
        QQuickItem *send = open.item(QStringLiteral("sendButton"));
        QQuickItem *stop = open.item(QStringLiteral("stopButton"));
        QVERIFY(send && stop);
        QVERIFY(send->isVisible() && !stop->isVisible());

        QVERIFY(open.ask(QStringLiteral("讲个故事")));
        // While the answer comes, the send button is the stop button.
        QTRY_VERIFY(stop->isVisible());
        QVERIFY(!send->isVisible());
        if (byEscape) {
            QQuickItem *editor = open.item(QStringLiteral("messageEditor"));
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

    void listFollowsTheAnswerOnlyAtTheEnd()
    {
        StreamingWindow open;
        MessageList earlier;
        for (int i = 0; i < 30; ++i)
            earlier.append(Message(QStringLiteral("第%1段。").arg(i).repeated(20), i % 2 == 0));
        const QString id = open.store(earlier);
        QVERIFY(open.start());
        open.chat->selectConversation(id);
        QQuickItem *list = open.item(QStringLiteral("messageList"));
        QQuickItem *back = open.item(QStringLiteral("backToBottomButton"));
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
        QVERIFY(open.ask(QStringLiteral("长一点")));
        for (int i = 0; i < 6; ++i) {
            QVERIFY(feed(QStringLiteral("新的一行 %1\n").arg(i)));
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
            QVERIFY(feed(QStringLiteral("新的一行 %1\n").arg(i)));
            QTest::qWait(40);
            QCOMPARE(list->property("contentY").toReal(), contentY);
        }
        QCOMPARE(QAccessible::queryAccessibleInterface(back)->text(QAccessible::Name),
                 QStringLiteral("回到底部"));
        // What is drawn is the answer so far, grown piece by piece.
        QCOMPARE(drawnText(list).trimmed(), sent.trimmed());

        // Back to the end: the list follows again.
        clickItem(back);
        QTRY_VERIFY(!back->isVisible());
        QTRY_VERIFY(distance() < 4);
        QVERIFY(feed(QStringLiteral("最后一行")));
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
    void upgradeAlertKeys_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("upgrades");
        QTest::newRow("Return chooses 升级会员") << int(Qt::Key_Return) << true;
        QTest::newRow("Escape chooses 取消") << int(Qt::Key_Escape) << false;
    }

    void upgradeAlertKeys()
    {
        QFETCH(int, key);
        QFETCH(bool, upgrades);
        MainWindow open;
        QVERIFY(open.start());
        UrlRecorder pages;
        LogCapture log;
        QVERIFY(QMetaObject::invokeMethod(open.chat, "upgradeAlertRequested"));
        QQuickItem *button = nullptr;
        QTRY_VERIFY((button = open.item(QStringLiteral("upgradeButton"))) && button->isVisible());
        QTRY_VERIFY(button->hasActiveFocus());
        QTest::keyClick(open.window, Qt::Key(key));
        QTRY_VERIFY(!button->isVisible());
        QCOMPARE(pages.opened.size(), upgrades ? 1 : 0);
        QCOMPARE(log.count(QStringLiteral("用户选择取消")), upgrades ? 0 : 1);
    }

    void replyBlocks_data()
    {
        QTest::addColumn<QString>("content");
        QTest::addColumn<QStringList>("blocks"); // code blocks start with "code:"
        QTest::newRow("prose, code, prose") << QStringLiteral("看 <code>int x;\n</code> 好")
                                            << QStringList{"看", "code:int x;\n", "好"};
        QTest::newRow("no closing marker")
            << QStringLiteral("前 <code>  未闭合  ") << QStringList{"前", "未闭合"};
        QTest::newRow("two closing markers drop the third part")
            << QStringLiteral("<code>c</code> p1 </code> p2") << QStringList{"code:c", "p1"};
        QTest::newRow("code keeps its white space")
            << QStringLiteral("<code>  x  \n</code>") << QStringList{"code:  x  \n"};
        QTest::newRow("white space only") << QStringLiteral(" \n\t ") << QStringList{};
        QTest::newRow("empty code block")
            << QStringLiteral("a<code></code>b") << QStringList{"a", "b"};
    }

    void replyBlocks()
    {
        QFETCH(QString, content);
        QFETCH(QStringList, blocks);
        QStringList split;
        for (const MessageBlock &block : MessageBlocks::split(content))
            split.append((block.isCode ? QStringLiteral("code:") : QString()) + block.text);
        QCOMPARE(split, blocks);
    }

    void regenerateOnlyOnTheLastMessage()
    {
        MainWindow open;
        const QString id =
            open.store({Message(QStringLiteral("一"), true), Message(QStringLiteral("答一"), false),
                        Message(QStringLiteral("二"), true), Message(QStringLiteral("答二"), false),
                        Message(QStringLiteral("<code>x</code>尾"), false)});
        QVERIFY(open.start());
        open.chat->hideWelcomeView();
        open.chat->selectConversation(id);
        // Every row is built (user rows keep their assistant part hidden); only the last shows.
        const auto buttons = [&] {
            return named(open.window->contentItem(), QStringLiteral("regenerateButton"));
        };
        QTRY_COMPARE(buttons().size(), 5);
        const auto shown = findAll(open.window->contentItem(), [](QQuickItem *item) {
            return item->objectName() == u"regenerateButton" && item->isVisible();
        });
        QCOMPARE(shown.size(), 1);
        // Hover the last reply: its actions appear; pressing regenerate sends the question again.
        QQuickItem *row = shown.first()->parentItem();
        QTest::mouseMove(open.window, row->mapToScene(QPointF(2, 2)).toPoint());
        QTRY_COMPARE(row->opacity(), 1.0);
        clickItem(shown.first());
        // The question is asked again at the end (what else moves is the controller's part).
        QTRY_COMPARE(open.chat->messageList().at(3).content, QStringLiteral("二"));
    }

    void pictureRows_data()
    {
        QTest::addColumn<bool>("fileExists");
        QTest::newRow("stored picture") << true;
        QTest::newRow("picture file gone") << false;
    }

    void pictureRows()
    {
        QFETCH(bool, fileExists);
        MainWindow open;
        const QString path = open.app.folder() + QStringLiteral("/p.png");
        QImage image(60, 40, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        QVERIFY(!fileExists || image.save(path));
        Message picture(QString(), false);
        picture.cachedImagePath = path;
        const QString id = open.store({Message(QStringLiteral("画"), true), picture});
        QVERIFY(open.start());
        open.chat->hideWelcomeView();
        open.chat->selectConversation(id);

        QQuickItem *shown = nullptr;
        QTRY_VERIFY((shown = open.item(QStringLiteral("picture"))) != nullptr);
        // Decoding runs off the main thread; wait for its verdict.
        QTRY_VERIFY(shown->property("status").toInt() >= 2);
        const auto failed = findAll(shown->parentItem(), [](QQuickItem *item) {
            return item->property("text").toString() == u"无法加载图片";
        });
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.first()->isVisible(), !fileExists);
        QCOMPARE(shown->height() > 0, fileExists);
        if (fileExists) // fitted into 200 x 200, aspect kept
            QCOMPARE(QSizeF(shown->width(), shown->height()), QSizeF(200, 400.0 / 3));
    }

    void historyOrderAndTitles()
    {
        AppGraph app;
        Message picture(QString(), false);
        picture.cachedImagePath = QStringLiteral("/nowhere/x.png");
        const QList<MessageList> stored{
            // Started at 09:00 but answered last: still listed by when it started.
            {at(Message(QStringLiteral("九点"), true), 1000),
             at(Message(QStringLiteral("最新的回答"), false), 3500)},
            {at(Message(QStringLiteral("十点"), true), 2000), picture},
            {at(Message(QStringLiteral("十一点"), true), 3000),
             at(Message(QString(), false), 3001)},
            {at(Message(QStringLiteral("十点半"), true), 2500)}};
        QStringList ids;
        for (const MessageList &messages : stored) {
            const QUuid id = QUuid::createUuid();
            app.conversations->saveCurrentConversation(id, messages);
            ids.append(Message::idText(id));
        }
        ConversationListModel model;
        QStringList order, titles;
        for (int row = 0; row < model.rowCount(); ++row) {
            order.append(
                model.data(model.index(row), ConversationListModel::ConversationIdRole).toString());
            titles.append(
                model.data(model.index(row), ConversationListModel::TitleRole).toString());
        }
        QCOMPARE(order, (QStringList{ids[2], ids[3], ids[1], ids[0]}));
        // An empty last message gives an empty title, not "无标题".
        QCOMPARE(titles, (QStringList{"", "十点半", "【图片】", "最新的回答"}));
    }

    // A history row shows its title as plain text (rich text would fetch the picture a reply
    // points at and hide the tags) in two lines at most, a screen reader hears the whole title,
    // and a click on the row reopens the conversation.
    void historyRow()
    {
        const QString title =
            QStringLiteral("<b>粗</b><img src=\"http://127.0.0.1:9/x.png\"> <code>") +
            QStringLiteral("这是一条很长的回答，").repeated(20);
        MainWindow open;
        const QString id = open.store({Message(QStringLiteral("问"), true), Message(title, false)});
        QVERIFY(open.start());
        QVERIFY(open.chat->showWelcomeView());
        clickItem(open.item(QStringLiteral("historyButton")));
        QQuickItem *row = nullptr;
        QTRY_VERIFY((row = open.item(QStringLiteral("historyRow"))) != nullptr);
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
        QVERIFY(open.app.settings->getBool(QStringLiteral("hasSeenWelcome"), false));
        QCOMPARE(open.chat->currentConversationID(), id);
        QCOMPARE(open.chat->messages()->count(), 2);
    }

    void historyTrashClearsAtOnce()
    {
        AppGraph app;
        app.conversations->saveCurrentConversation(QUuid::createUuid(),
                                                   {Message(QStringLiteral("问"), true)});
        ConversationListModel model;
        QCOMPARE(model.rowCount(), 1);
        LogCapture capture;
        model.clearHistory();
        QCOMPARE(model.rowCount(), 0);
        QVERIFY(!app.settings->getData(QStringLiteral("conversations")));
        model.clearHistory(); // nothing stored: still logs, still empty
        QCOMPARE(capture.count(QStringLiteral("历史记录已清除")), 2);
    }

    void welcomeClickSends()
    {
        // Only the image model, named exactly, has the picture questions.
        QCOMPARE(WelcomeQuestions::forModel(QStringLiteral("dall-e-3")).first(),
                 QStringLiteral("🌆 绘制一个未来城市"));
        QCOMPARE(WelcomeQuestions::forModel(QStringLiteral("DALL-E-3")),
                 WelcomeQuestions::forModel(QStringLiteral("gpt-4o")));
        MainWindow open;
        QVERIFY(open.start());
        const QString question = QStringLiteral("💡有哪些方法可以提高记忆力？");
        QQuickItem *button = nullptr;
        QTRY_VERIFY((button = open.item(QStringLiteral("question_") + question)) != nullptr);
        clickItem(button);
        QTRY_VERIFY(!open.chat->showWelcomeView());
        QVERIFY(open.app.settings->getBool(QStringLiteral("hasSeenWelcome"), false));
        QVERIFY(open.chat->messages()->count() >= 2);
        QCOMPARE(open.chat->messageList().first().content, question);
        QVERIFY(open.chat->messageList().first().isUserMessage);
    }

    // The picker marks the chosen model only (nothing for an identifier it does not list), and
    // a choice is still there after a restart.
    void dropdownChoiceSurvivesRestart()
    {
        QTemporaryDir folder;
        const QString claude = QStringLiteral("claude-3-5-sonnet-20240620");
        const auto marked = [](MainWindow &open) {
            QStringList rows;
            for (QQuickItem *mark :
                 named(open.item(QStringLiteral("dropdownView")), QStringLiteral("checkmark"))) {
                if (mark->isVisible())
                    rows.append(mark->parentItem()->objectName());
            }
            return rows;
        };
        {
            MainWindow open(folder.path());
            QVERIFY(open.start());
            open.chat->setSelectedModel(QStringLiteral("gpt-5"));
            open.chat->setShowDropdown(true);
            QTRY_VERIFY(open.item(QStringLiteral("modelRow_") + claude));
            QCOMPARE(marked(open), QStringList());
            open.chat->setSelectedModel(claude); // a click on a row is the end-to-end run's
        }
        MainWindow again(folder.path());
        QVERIFY(again.start());
        QCOMPARE(again.chat->selectedModel(), claude);
        QCOMPARE(again.chat->selectedModelDisplayName(), QStringLiteral("Claude-3.5"));
        again.chat->setShowDropdown(true);
        QTRY_COMPARE(marked(again), QStringList{QStringLiteral("modelRow_") + claude});
    }
    void returnKey_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<int>("sent");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QStringList>("log");

        QTest::newRow("Return sends, then logs the text as it is after sending")
            << QStringLiteral("你好") << int(Qt::Key_Return) << int(Qt::NoModifier) << 1
            << QString()
            << QStringList{QStringLiteral("TextEditor 中的内容: "), QStringLiteral("Enter 按下")};
        QTest::newRow("Return with blank text sends nothing")
            << QStringLiteral("  \n ") << int(Qt::Key_Return) << int(Qt::NoModifier) << 0
            << QStringLiteral("  \n ") << QStringList{QStringLiteral("无法发送空白消息")};
        QTest::newRow("Shift+Return breaks the line")
            << QStringLiteral("第一行") << int(Qt::Key_Return) << int(Qt::ShiftModifier) << 0
            << QStringLiteral("第一行\n") << QStringList{QStringLiteral("Shift + Enter 按下")};
        QTest::newRow("keypad Enter is not Return")
            << QStringLiteral("ab") << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << 0
            << QStringLiteral("ab\n") << QStringList{};
    }

    void returnKey()
    {
        Editors e;
        QVERIFY(e.start());
        QFETCH(QString, before);
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(int, sent);
        QFETCH(QString, after);
        QFETCH(QStringList, log);
        e.setText("a", before);
        e.area("a")->forceActiveFocus();
        LogCapture capture;
        QTest::keyClick(&e.window, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(e.sends("a"), sent);
        QCOMPARE(e.text("a"), after);
        QCOMPARE(capture.all(), log);
    }

    void returnWhileComposingOnlyCommits()
    {
        Editors e;
        QVERIFY(e.start());
        e.setText("a", QStringLiteral("拼音"));
        QQuickItem *area = e.area("a");
        area->forceActiveFocus();
        QInputMethodEvent composing(QStringLiteral("ni"), {});
        QCoreApplication::sendEvent(area, &composing);
        QCOMPARE(area->property("preeditText").toString(), QStringLiteral("ni"));
        LogCapture capture;
        QTest::keyClick(&e.window, Qt::Key_Return);
        QCOMPARE(e.sends("a"), 0);
        QCOMPARE(e.text("a"), QStringLiteral("拼音"));
        QVERIFY(capture.all().isEmpty());
    }

    void keysReachOnlyTheFocusedEditor()
    {
        Editors e;
        QVERIFY(e.start());
        e.setText("a", QStringLiteral("甲"));
        e.setText("b", QStringLiteral("乙"));
        e.area("b")->forceActiveFocus();
        LogCapture capture;
        QTest::keyClick(&e.window, Qt::Key_Return);
        QCOMPARE(e.sends("b"), 1);
        QCOMPARE(e.sends("a"), 0);
        QCOMPARE(e.text("a"), QStringLiteral("甲"));
        QCOMPARE(capture.count(QStringLiteral("Enter 按下")), 1);
    }

    void heightFollowsText()
    {
        Editors e;
        QVERIFY(e.start());
        QCOMPARE(e.height("a"), 60.0); // empty: the minimum
        e.setText("a", QStringLiteral("一\n二"));
        const qreal two = e.height("a");
        // A trailing line break already takes a line.
        e.setText("a", QStringLiteral("一\n二\n"));
        const qreal three = e.height("a");
        QVERIFY2(three > two && three < 300, qPrintable(QString::number(three)));
        // Shift+Return re-measures at once.
        e.area("a")->forceActiveFocus();
        QTest::keyClick(&e.window, Qt::Key_Return, Qt::ShiftModifier);
        QVERIFY(e.height("a") > three);
        e.setText("a", QStringLiteral("行\n").repeated(40));
        QCOMPARE(e.height("a"), 300.0);

        // The same text wraps into more lines in the narrower editor.
        const QString paragraph = QStringLiteral("这是一段很长的文字，用来检查换行后的高度。");
        e.setText("a", paragraph.repeated(3));
        e.setText("b", paragraph.repeated(3));
        QVERIFY(e.height("b") > e.height("a"));
    }
};

int main(int argc, char *argv[])
{
    qputenv("QT_QUICK_BACKEND", "software");
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    TestChatViews test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_chatviews.moc"
