// The chat window's views. Answers, rendered from their Markdown: what the formatted text holds,
// what must never happen (a fetch, a link that runs something), and the window staying usable with
// a huge answer; while one streams in, the stop button and Escape, and a list that follows the
// answer only while the reader is at its end. Then reply blocks, rows and their actions, history,
// welcome questions and the model picker; the message editor's Return key and height.

#include "chat/answerlinks.h"
#include "chat/chatcontroller.h"
#include "chat/codehighlighter.h"
#include "chat/conversationexport.h"
#include "chat/conversationlistmodel.h"
#include "chat/conversationmarkdown.h"
#include "chat/conversationpdf.h"
#include "chat/markdownrenderer.h"
#include "chat/messageblocks.h"
#include "chat/scriptworker.h"
#include "chat/welcomequestions.h"
#include "core/writeturn.h"
#include "logcapture.h"
#include "streamingwindow.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QImage>
#include <QInputMethodEvent>
#include <QMetaEnum>
#include <QProcess>
#include <QQuickTextDocument>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextImageFormat>
#include <QTextList>
#include <QTextTable>
#include <QTimer>
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

// The code with each coloured range marked as «role:text», roles by their names.
QString annotated(const QString &code, const QList<int> &ranges)
{
    static const QMetaEnum roles = QMetaEnum::fromType<CodeHighlighter::Role>();
    QString out;
    qsizetype at = 0;
    for (qsizetype i = 0; i + 2 < ranges.size(); i += 3) {
        out += code.mid(at, ranges.at(i) - at);
        out += u"«"_s + QString::fromLatin1(roles.valueToKey(ranges.at(i + 2))).toLower() + u':' +
               code.mid(ranges.at(i), ranges.at(i + 1)) + u"»"_s;
        at = ranges.at(i) + ranges.at(i + 1);
    }
    return out + code.mid(at);
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

    // Typed as an input method commits Chinese text, into whatever has the keyboard.
    static void type(QQuickWindow *window, const QString &text)
    {
        QInputMethodEvent commit;
        commit.setCommitString(text);
        QCoreApplication::sendEvent(window->focusObject(), &commit);
    }

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

    // Typesets `tex` in the light set's text colour, waiting for the worker.
    static ScriptWorker::Formula typeset(const QString &tex, bool display)
    {
        ScriptWorker::Formula result;
        bool done = false;
        ScriptWorker::instance()->typeset({tex, display, 14, QColor(0x1D, 0x1D, 0x1F)}, nullptr,
                                          [&](const ScriptWorker::Formula &formula) {
                                              result = formula;
                                              done = true;
                                          });
        if (!QTest::qWaitFor([&] { return done; }, 60000))
            qWarning("no formula after a minute");
        return result;
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

    // Colours by the fence's language and its aliases, as ranges of UTF-16 code units, with the
    // engine's quirks worked around (a pattern built from another's source, Unicode classes);
    // no label gets a clear guess or nothing.
    void codeColoursByLanguage_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("coloured");
        const QString python =
            u"def area(r):\n    \"\"\"圆面积\"\"\"\n    return 3.14159 * r ** 2"_s;
        const QString pythonColoured =
            u"«keyword:def» «function:area»(r):\n    «string:\"\"\"圆面积\"\"\"»\n"
            "    «keyword:return» «number:3.14159» * r ** «number:2»"_s;
        QTest::newRow("python") << u"python"_s << python << pythonColoured;
        QTest::newRow("py") << u"py"_s << python << pythonColoured;
        QTest::newRow("c++, after an emoji")
            << u"C++"_s << u"// 🙂\n#include <vector>\nint main() { return 0; }"_s
            << u"«comment:// 🙂»\n«meta:#»«keyword:include»«meta: »«string:<vector>»\n"
               "«type:int» «function:main»() { «keyword:return» «number:0»; }"_s;
        QTest::newRow("js, a slash in a pattern")
            << u"js"_s << u"const re = /\\//g; let s = `a${b}`;"_s
            << u"«keyword:const» re = «string:/\\//g»; «keyword:let» s = «string:`a${b}`»;"_s;
        QTest::newRow("ts") << u"ts"_s << u"let n: number = 1;"_s
                            << u"«keyword:let» «attribute:n»: «type:number» = «number:1»;"_s;
        QTest::newRow("zsh")
            << u"zsh"_s << u"echo \"$HOME\" # 家"_s
            << u"«type:echo» «string:\"»«attribute:$HOME»«string:\"» «comment:# 家»"_s;
        QTest::newRow("rs")
            << u"rs"_s << u"fn main() { let x = 5; }"_s
            << u"«keyword:fn» «function:main»() { «keyword:let» «attribute:x» = «number:5»; }"_s;
        QTest::newRow("html, letters beyond ASCII")
            << u"html"_s << u"<a href=\"x\">é</a><中文 属性=\"1\">"_s
            << u"«meta:<a »«attribute:href»«meta:=»«string:\"x\"»«meta:>»é«meta:</a><中文 »"
               "«attribute:属性»«meta:=»«string:\"1\"»«meta:>»"_s;
        QTest::newRow("diff") << u"diff"_s << u"-a\n+b"_s << u"«deletion:-a»\n«addition:+b»"_s;
        // Long blocks are coloured a piece at a time, each going on from where the last
        // stopped: a docstring across the cut is one string.
        const QString lines = u"x = 1\n"_s.repeated(331);
        QTest::newRow("a docstring across a piece's end")
            << u"python"_s << lines + u"\"\"\"跨过\n分段的\n文档\"\"\"\ny = 2"_s
            << u"x = «number:1»\n"_s.repeated(331) +
                   u"«string:\"\"\"跨过\n分段的\n文档\"\"\"»\ny = «number:2»"_s;
        QTest::newRow("unknown label stays plain")
            << u"brainfudge"_s << u"int x = 1;"_s << u"int x = 1;"_s;
        QTest::newRow("no label, clearly C")
            << QString()
            << u"#include <stdio.h>\n\nint main(void)\n{\n    printf(\"hi\\n\");\n"
               "    return 0;\n}"_s
            << u"«meta:#»«keyword:include»«meta: »«string:<stdio.h>»\n\n«type:int» «function:main»("
               "«type:void»)\n{\n    «type:printf»(«string:\"hi\\n\"»);\n    «keyword:return» "
               "«number:0»;\n}"_s;
        QTest::newRow("no label, prose stays plain")
            << QString() << u"首先打开设置，然后选择网络。"_s << u"首先打开设置，然后选择网络。"_s;
    }

    void codeColoursByLanguage()
    {
        QFETCH(QString, language);
        QFETCH(QString, code);
        QFETCH(QString, coloured);
        ScriptWorker::Colouring result;
        bool done = false;
        ScriptWorker::instance()->colour(code, language, this,
                                         [&](const ScriptWorker::Colouring &colouring) {
                                             result = colouring;
                                             done = true;
                                         });
        QTRY_VERIFY_WITH_TIMEOUT(done, 30000);
        QCOMPARE(annotated(code, result.ranges), coloured);
    }

    // A code block's colours follow its text: a block that grows keeps its lines' colours and
    // gets the new ones; a text put in its place never shows the old one's colours; a block of
    // 5,000 lines or more stays plain.
    void codeColoursFollowTheText()
    {
        QQmlApplicationEngine engine;
        QQuickWindow *window = showWindow(engine, R"(
Window {
    width: 400; height: 300; visible: true
    TextEdit {
        id: code; objectName: "code"; textFormat: TextEdit.PlainText
        property alias lines: highlighter.blockLineBreaks
        CodeHighlighter {
            id: highlighter; objectName: "highlighter"
            document: code.textDocument; language: "python"; colours: Style.codeColours
        }
    }
    TextEdit {
        id: other; objectName: "other"; textFormat: TextEdit.PlainText
        CodeHighlighter {
            objectName: "otherHighlighter"
            document: other.textDocument; language: "python"; colours: Style.codeColours
        }
    }
}
)");
        QVERIFY(window);
        QQuickItem *code = findItem(window->contentItem(), u"code"_s);
        QObject *highlighter = code->findChild<QObject *>(u"highlighter"_s);
        QTextDocument *document =
            code->property("textDocument").value<QQuickTextDocument *>()->textDocument();
        // The colour drawn at `position`, or none.
        const auto colourAt = [&](int position) {
            const QTextBlock block = document->findBlock(position);
            for (const QTextLayout::FormatRange &range : block.layout()->formats()) {
                const int at = position - block.position();
                if (at >= range.start && at < range.start + range.length)
                    return range.format.foreground().color();
            }
            return QColor();
        };
        const QColor number(u"#79C0FF"_s), string(u"#A5D6FF"_s), comment(u"#8B949E"_s);

        code->setProperty("text", u"x = 1\n"_s);
        QTRY_COMPARE_WITH_TIMEOUT(colourAt(4), number, 30000);
        QMetaObject::invokeMethod(code, "insert", Q_ARG(int, 6), Q_ARG(QString, u"y = 'a'\n"_s));
        QCOMPARE(colourAt(4), number); // kept while the new line is on its way
        QTRY_COMPARE(colourAt(10), string);
        QCOMPARE(colourAt(4), number);

        code->setProperty("text", u"# 1\n"_s);
        QVERIFY(!colourAt(2).isValid());
        QTRY_COMPARE(colourAt(2), comment);

        // Long: nothing is asked. The worker answers in order, so once a block asked later is
        // coloured, one asked before would be too.
        code->setProperty("lines", ScriptWorker::kMostColouredLines);
        code->setProperty("text", u"z = 2\n"_s);
        QQuickItem *other = findItem(window->contentItem(), u"other"_s);
        other->setProperty("text", u"w = 3\n"_s);
        QTRY_VERIFY(
            other->findChild<QObject *>(u"otherHighlighter"_s)->property("coloured").toBool());
        QVERIFY(!highlighter->property("coloured").toBool());
        QVERIFY(!colourAt(4).isValid());
    }

    // Real formulas typeset to pictures of a plausible size, with their baseline inside them;
    // TeX that does not typeset says so, and is shown as its source in a monospace face.
    void formulasTypeset_data()
    {
        QTest::addColumn<QString>("tex");
        QTest::addColumn<bool>("display");
        QTest::addColumn<QSizeF>("least");
        QTest::addColumn<QSizeF>("most");
        QTest::addColumn<bool>("deep"); // reaches well below the baseline
        QTest::newRow("a letter") << u"x"_s << false << QSizeF(5, 6) << QSizeF(14, 16) << false;
        QTest::newRow("a fraction")
            << u"\\frac{1}{2}"_s << false << QSizeF(8, 20) << QSizeF(20, 40) << true;
        QTest::newRow("an integral, displayed") << u"\\int_0^1 x^2\\,dx = \\frac{1}{3}"_s << true
                                                << QSizeF(80, 30) << QSizeF(160, 70) << true;
        QTest::newRow("a 3x3 matrix") << u"\\begin{pmatrix}1&2&3\\\\4&5&6\\\\7&8&9\\end{pmatrix}"_s
                                      << true << QSizeF(60, 50) << QSizeF(140, 110) << true;
        QTest::newRow("a tall bracket")
            << u"\\left[\\begin{array}{c}1\\\\2\\\\3\\\\4\\end{array}\\right]"_s << true
            << QSizeF(15, 60) << QSizeF(60, 140) << true;
    }

    void formulasTypeset()
    {
        QFETCH(QString, tex);
        QFETCH(bool, display);
        QFETCH(QSizeF, least);
        QFETCH(QSizeF, most);
        QFETCH(bool, deep);
        const ScriptWorker::Formula formula = typeset(tex, display);
        QVERIFY2(formula.ok, qPrintable(formula.error));
        const QSizeF size = formula.size;
        QVERIFY2(size.width() >= least.width() && size.height() >= least.height() &&
                     size.width() <= most.width() && size.height() <= most.height(),
                 qPrintable(u"%1 x %2"_s.arg(size.width()).arg(size.height())));
        QVERIFY(formula.descent >= 0 && formula.descent < size.height() / 2 + 1);
        QCOMPARE(formula.descent > 3, deep);
        // Ink in the picture, in the colour asked for, on a clear ground.
        const QImage image = formula.image.convertToFormat(QImage::Format_ARGB32);
        int inked = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor pixel = image.pixelColor(x, y);
                if (pixel.alpha() == 255) {
                    ++inked;
                    QCOMPARE(pixel.rgb(), QColor(0x1D, 0x1D, 0x1F).rgb());
                }
            }
        }
        QVERIFY(inked > 10);
    }

    void formulaThatFailsShowsItsSource()
    {
        const ScriptWorker::Formula formula = typeset(u"\\frac{1}{\\nosuchmacro"_s, false);
        QVERIFY(!formula.ok);
        QVERIFY(!formula.error.isEmpty());
        const QString source = u"若 $\\frac{1}{\\nosuchmacro$ 则"_s;
        QTextDocument document;
        QTextCursor(&document).insertFragment(MarkdownRenderer::render(source));
        QCOMPARE(document.toPlainText(), source);
        QTextCursor at(&document);
        at.setPosition(3);
        QVERIFY(at.charFormat().fontFixedPitch());
    }

    // Inline and display math in a Chinese paragraph: typeset in place once the worker has
    // done it, the display formula centred on its own line; read and copied as the TeX the
    // answer wrote.
    void mathInTheWindow()
    {
        StreamingWindow open;
        QVERIFY(open.start());
        const QString inline_ = u"$E=mc^2$"_s;
        const QString display = u"$$\\int_0^1 x^2\\,dx = \\frac{1}{3}$$"_s;
        QVERIFY(open.answerWith(u"公式"_s, u"质能方程 "_s + inline_ +
                                               u" 说明质量与能量等价，\\(a_1\\) 也行。\n\n"_s +
                                               display + u"\n\n完"_s));
        const QList<QQuickItem *> proses =
            findAll(open.window->contentItem(), [](QQuickItem *item) {
                return item->property("source").toString().startsWith(u"质能方程"_s);
            });
        QCOMPARE(proses.size(), 1);
        QQuickItem *prose = proses.first();
        QTextDocument *document =
            prose->property("textDocument").value<QQuickTextDocument *>()->textDocument();
        const auto formulas = [&] {
            QList<QTextImageFormat> found;
            for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
                for (auto it = block.begin(); !it.atEnd(); ++it) {
                    if (it.fragment().charFormat().isImageFormat())
                        found.append(it.fragment().charFormat().toImageFormat());
                }
            }
            return found;
        };
        QTRY_COMPARE_WITH_TIMEOUT(formulas().size(), 3, 60000);
        QVERIFY(!prose->property("waiting").toBool());
        for (const QTextImageFormat &formula : formulas())
            QVERIFY(
                !document->resource(QTextDocument::ImageResource, QUrl(formula.name())).isNull());
        // The display formula alone on its line, in the middle of it.
        QTextCursor centred(document);
        centred.setPosition(document->toPlainText().lastIndexOf(QChar::ObjectReplacementCharacter));
        QVERIFY(centred.currentTable());
        QCOMPARE(centred.currentTable()->format().alignment(), Qt::AlignHCenter);

        const QString read = QAccessible::queryAccessibleInterface(prose)->text(QAccessible::Name);
        const QString written = u"质能方程 "_s + inline_ +
                                u" 说明质量与能量等价，\\(a_1\\) 也行。\n"_s + display + u"\n完"_s;
        QCOMPARE(read, written);
        QGuiApplication::clipboard()->clear();
        prose->forceActiveFocus();
        QMetaObject::invokeMethod(prose, "selectAll");
        QTest::keySequence(open.window, QKeySequence::Copy);
        QTRY_COMPARE(QGuiApplication::clipboard()->text(), written);
    }

    // The window goes on taking events while 200 formulas are typeset: a chain of posted
    // events, each posting the next, keeps running until the last formula has landed.
    void typesettingNeverHoldsTheWindow()
    {
        int landed = 0;
        for (int i = 0; i < 200; ++i) {
            ScriptWorker::instance()->typeset(
                {u"\\sqrt{x_{%1}} + \\frac{%1}{y}"_s.arg(i), false, 14, QColor(Qt::black)}, this,
                [&](const ScriptWorker::Formula &) { ++landed; });
        }
        int turns = 0;
        std::function<void()> turn = [&] {
            ++turns;
            if (landed < 200)
                QTimer::singleShot(0, this, turn);
        };
        QTimer::singleShot(0, this, turn);
        QTRY_COMPARE_WITH_TIMEOUT(landed, 200, 180000);
        QVERIFY2(turns > 200, qPrintable(QString::number(turns)));
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
        // Coloured by its language once the worker has seen it; the text stays what it was.
        QObject *highlighter = nullptr;
        for (QQuickItem *item :
             findAll(open.window->contentItem(), [](QQuickItem *) { return true; })) {
            if (!highlighter)
                highlighter =
                    item->findChild<QObject *>(u"codeHighlighter"_s, Qt::FindDirectChildrenOnly);
        }
        QVERIFY(highlighter);
        QTRY_VERIFY_WITH_TIMEOUT(highlighter->property("coloured").toBool(), 30000);
        QTextDocument *coloured =
            highlighter->property("document").value<QQuickTextDocument *>()->textDocument();
        QCOMPARE(coloured->toPlainText(), code);
        const QList<QTextLayout::FormatRange> def = coloured->firstBlock().layout()->formats();
        QVERIFY(!def.isEmpty());
        QCOMPARE(def.first().start, 0);
        QCOMPARE(def.first().length, 3);
        QCOMPARE(def.first().format.foreground().color(), QColor(u"#FF7B72"_s));
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
            // The page's address comes from the service first (a one-time link, here none).
            QTRY_COMPARE(m_opened.size(), 1);
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
        QQuickItem *shown = findItem(row, u"historyRowTitle"_s);
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

    // Ctrl+F opens the history at its search field; typing finds the message, a result opens
    // its conversation at that message, marked until the next key; Escape clears the field,
    // a second Escape closes the sheet.
    void searchFromTheKeyboardOpensTheMessage()
    {
        MainWindow open;
        MessageList long_;
        for (int i = 0; i < 40; ++i)
            long_.append(at(Message(u"第%1段的内容，"_s.arg(i).repeated(8), i % 2 == 0), 100 + i));
        long_[5].content = u"我们去公园吧"_s;
        const QString id = open.store(long_);
        open.store({at(Message(u"别的对话"_s, true), 10)});
        QVERIFY(open.start());

        QTest::keyClick(open.window, Qt::Key_F, Qt::ControlModifier);
        QTRY_VERIFY(open.chat->showHistory());
        QQuickItem *field = nullptr;
        QTRY_VERIFY((field = open.item(u"historySearchField"_s)) && field->hasActiveFocus());
        type(open.window, u"公园"_s);
        QQuickItem *results = open.item(u"searchResults"_s);
        QVERIFY(results);
        QTRY_VERIFY(results->isVisible());
        QTRY_COMPARE(results->property("count").toInt(), 1);
        QVERIFY(!open.item(u"historyList"_s)->isVisible());
        QQuickItem *row = nullptr;
        QTRY_VERIFY((row = open.item(u"searchResultRow"_s)));
        QVERIFY(QAccessible::queryAccessibleInterface(row)
                    ->text(QAccessible::Name)
                    .startsWith(u"我们去公园吧，"_s));

        type(open.window, u"没有"_s);
        QTRY_VERIFY(open.item(u"noSearchResults"_s)->isVisible());
        QTest::keyClick(open.window, Qt::Key_Escape);
        QCOMPARE(field->property("text").toString(), QString());
        QVERIFY(open.chat->showHistory());
        QTest::keyClick(open.window, Qt::Key_Escape);
        QTRY_VERIFY(!open.chat->showHistory());

        QTest::qWait(300); // the sheet slides away (a modal sheet blocks the window's keys)
        QTest::keyClick(open.window, Qt::Key_F, Qt::ControlModifier);
        QTRY_VERIFY((field = open.item(u"historySearchField"_s)) && field->hasActiveFocus());
        type(open.window, u"去公园"_s);
        QTRY_VERIFY((row = open.item(u"searchResultRow"_s)) && row->isVisible());
        QTest::qWait(300); // the sheet slides in
        clickItem(row);
        QTRY_VERIFY(!open.chat->showHistory());
        QCOMPARE(open.chat->currentConversationID(), id);
        QQuickItem *list = open.item(u"messageList"_s);
        QCOMPARE(list->property("highlightedMessageID").toString(), Message::idText(long_[5].id));
        QQuickItem *mark = nullptr;
        QTRY_VERIFY(!(having(list, "objectName", u"searchHighlight"_s, true).isEmpty()));
        mark = having(list, "objectName", u"searchHighlight"_s, true).first();
        const QRectF shown = mark->mapRectToItem(list, mark->boundingRect());
        QVERIFY2(shown.bottom() > 0 && shown.top() < list->height(), "the match is not in view");
        QTest::keyClick(open.window, Qt::Key_A);
        QCOMPARE(list->property("highlightedMessageID").toString(), QString());
    }

    // Right after an upgrade the index is built behind the window: a search meanwhile says that
    // older messages are not there yet, and finds them by itself once they are. The test holds
    // the writers' turn, so the worker waits at its first write until it is let go.
    void searchRightAfterAnUpgrade()
    {
        MainWindow open;
        MessageList older;
        for (int i = 0; i < 300; ++i)
            older.append(at(Message(u"升级之前的第%1条"_s.arg(i), i % 2 == 0), 100 + i));
        open.store(older);
        QSqlQuery q(open.app.settings->database());
        QVERIFY(q.exec(u"DELETE FROM search_text"_s));
        QVERIFY(q.exec(u"INSERT INTO search_backlog (message) SELECT id FROM messages"_s));

        std::unique_lock turn(WriteTurn::mutex());
        QVERIFY(open.start());
        QVERIFY(!open.app.conversations->isSearchComplete());
        QTest::keyClick(open.window, Qt::Key_F, Qt::ControlModifier);
        QQuickItem *field = nullptr;
        QTRY_VERIFY((field = open.item(u"historySearchField"_s)) && field->hasActiveFocus());
        type(open.window, u"升级之前"_s);
        QQuickItem *results = nullptr;
        QTRY_VERIFY((results = open.item(u"searchResults"_s)) && results->isVisible());
        QQuickItem *building = nullptr;
        QTRY_VERIFY((building = open.item(u"searchIndexBuilding"_s)) && building->isVisible());
        QCOMPARE(results->property("count").toInt(), 0);

        turn.unlock();
        QTRY_VERIFY_WITH_TIMEOUT(open.app.conversations->isSearchComplete(), 20000);
        QTRY_COMPARE(results->property("count").toInt(), 200); // the newest, up to the limit
        QTRY_VERIFY(!building->isVisible());
    }

    // The row menu renames in place (Return keeps, Escape cancels), pins under "已置顶", and
    // deletes with an undo toast; deleting the open conversation starts a new one.
    void rowMenuRenamesPinsAndDeletes()
    {
        MainWindow open;
        const QString older = open.store({at(Message(u"早的"_s, true), 10)});
        const QString newer = open.store({at(Message(u"晚的"_s, true), 20)});
        QVERIFY(open.start());
        open.chat->selectConversation(older);
        clickItem(open.item(u"historyButton"_s));
        QTRY_VERIFY(open.item(u"historyRow"_s));
        QTest::qWait(300);
        const auto rowOf = [&](const QString &conversation) -> QQuickItem * {
            const auto rows = having(open.window->contentItem(), "conversationId", conversation);
            return rows.isEmpty() ? nullptr : rows.first();
        };
        const auto choose = [&](const QString &conversation, const QString &item) {
            clickItem(findItem(rowOf(conversation), u"historyRowMenuButton"_s));
            QQuickItem *entry = nullptr;
            QTRY_VERIFY((entry = open.item(item)) && entry->isVisible());
            QTest::qWait(100);
            clickItem(entry);
        };

        choose(older, u"renameItem"_s);
        QQuickItem *field = nullptr;
        QTRY_VERIFY((field = findItem(rowOf(older), u"renameField"_s)) && field->hasActiveFocus());
        QCOMPARE(field->property("text").toString(), u"早的"_s);
        type(open.window, u"旅行计划"_s);
        QTest::keyClick(open.window, Qt::Key_Escape);
        QCOMPARE(rowOf(older)->property("title").toString(), u"早的"_s);
        choose(older, u"renameItem"_s);
        QTRY_VERIFY(findItem(rowOf(older), u"renameField"_s)->hasActiveFocus());
        type(open.window, u"旅行计划"_s);
        QTest::keyClick(open.window, Qt::Key_Return);
        QTRY_COMPARE(rowOf(older)->property("title").toString(), u"旅行计划"_s);

        choose(older, u"pinItem"_s);
        QTRY_VERIFY(rowOf(older)->property("pinned").toBool());
        QTRY_VERIFY(!having(open.window->contentItem(), "text", u"已置顶"_s, true).isEmpty());
        QVERIFY(rowOf(older)->y() < rowOf(newer)->y());

        choose(older, u"deleteItem"_s);
        QTRY_VERIFY(!rowOf(older));
        QQuickItem *toast = open.item(u"undoToast"_s);
        QVERIFY(toast->isVisible());
        QCOMPARE(QAccessible::queryAccessibleInterface(toast)->text(QAccessible::Name),
                 u"已删除对话"_s);
        QVERIFY(open.chat->currentConversationID() != older); // a new one started
        QVERIFY(open.chat->showWelcomeView());
        clickItem(open.item(u"undoButton"_s));
        QTRY_VERIFY(rowOf(older));
        QCOMPARE(rowOf(older)->property("title").toString(), u"旅行计划"_s);
        QVERIFY(rowOf(older)->property("pinned").toBool());
        QVERIFY(!toast->isVisible());
    }

    // The Markdown export: the name as heading, each question and answer with its mark, model
    // and time, answers as the model wrote them (code keeps its language, tables their
    // pipes), a picture as a link to its file; notices left out.
    void markdownExportIsExact()
    {
        const QDateTime when(QDate(2026, 3, 10), QTime(9, 5));
        const double t = Message::referenceTime(when);
        Message question = at(Message(u"用 Python 算面积"_s, true), t);
        Message answer = at(Message(u"```python\nreturn 3.14 * r ** 2\n```\n\n| 半径 | 面积 |\n"
                                    "|--|--|\n| 1 | 3.14 |"_s,
                                    false),
                            t + 60);
        answer.model = u"gpt-4o"_s;
        Message notice = Message::notice(u"网络请求失败，请稍后重试"_s);
        Message picture = at(Message(QString(), false), t + 120);
        picture.kind = MessageKind::Picture;
        picture.cachedImagePath = u"/home/u/Documents/城市 1.png"_s;
        picture.model = u"dall-e-3"_s;
        QCOMPARE(ConversationMarkdown::of(u"面积\n第二行"_s, {question, answer, notice, picture}),
                 u"# 面积\n\n**问：** 2026-03-10 09:05\n\n用 Python 算面积\n\n"
                 "**答：** GPT-4o · 2026-03-10 09:06\n\n```python\nreturn 3.14 * r ** 2\n```\n\n"
                 "| 半径 | 面积 |\n|--|--|\n| 1 | 3.14 |\n\n"
                 "**答：** DALL·E · 2026-03-10 09:07\n\n"
                 "![图片](file:///home/u/Documents/%E5%9F%8E%E5%B8%82%201.png)\n"_s);
        QCOMPARE(ConversationExport::suggestedFileName(u"a/b:c*?\"<>|.\n第二行"_s, u"pdf"_s),
                 u"a_b_c______.pdf"_s);
        QCOMPARE(ConversationExport::suggestedFileName(u"..."_s, u"markdown"_s), u"无标题.md"_s);
    }

    // An export that cannot be written says so and leaves no file; one that can replaces the
    // old file whole, with nothing left beside it.
    void failedExportLeavesNoFile_data()
    {
        QTest::addColumn<QString>("format");
        QTest::newRow("markdown") << u"markdown"_s;
        QTest::newRow("pdf") << u"pdf"_s;
    }
    void failedExportLeavesNoFile()
    {
        QFETCH(QString, format);
        MainWindow open;
        const QString id = open.store({Message(u"问题"_s, true), Message(u"回答"_s, false)});
        QTemporaryDir dir;
        ConversationExport exporter;
        QSignalSpy finished(&exporter, &ConversationExport::finished);

        const QString missing = dir.filePath(u"gone/对话.md"_s);
        exporter.start(id, u"对话"_s, format, QUrl::fromLocalFile(missing));
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(finished.takeFirst().at(0).toBool(), false);
        QVERIFY(!QFile::exists(missing));

        const QString kept = dir.filePath(u"kept.md"_s);
        QFile old(kept);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("old");
        old.close();
        exporter.start(id, u"对话"_s, format, QUrl::fromLocalFile(kept));
        QTRY_COMPARE(finished.count(), 1);
        QVERIFY(finished.takeFirst().at(0).toBool());
        QVERIFY(!exporter.busy());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{u"kept.md"_s});
        QFile now(kept);
        QVERIFY(now.open(QIODevice::ReadOnly));
        QVERIFY(!now.readAll().startsWith("old"));
    }

    // The PDF export opens, holds every question's text, and a long conversation runs over
    // several A4 pages.
    void pdfExportHoldsTheQuestions()
    {
        const QString pdftotext = QStandardPaths::findExecutable(u"pdftotext"_s);
        QVERIFY2(!pdftotext.isEmpty(), "pdftotext (poppler-utils) is needed");
        MessageList messages;
        for (int i = 0; i < 60; ++i) {
            messages.append(Message(u"第%1个问题：公园在哪里"_s.arg(i), true));
            messages.append(Message(
                u"## 回答\n**北京**的公园很多。\n```cpp\nint x = %1;\n```"_s.arg(i), false));
        }
        QTemporaryDir dir;
        QFile file(dir.filePath(u"out.pdf"_s));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QList<double> progress;
        QVERIFY(ConversationPdf::write(&file, u"测试"_s, messages,
                                       [&](double share) { progress.append(share); }));
        file.close();
        QVERIFY(progress.size() > 2);
        QCOMPARE(progress.last(), 1.0);
        QProcess read;
        read.start(pdftotext, {u"-layout"_s, file.fileName(), u"-"_s});
        QVERIFY(read.waitForFinished(30000));
        QCOMPARE(read.exitCode(), 0);
        // The CJK face shares some glyphs with Kangxi radicals ("里" reads back as U+2FA5);
        // compatibility normalisation folds them back (and "：" to ":").
        const QString text = QString::fromUtf8(read.readAllStandardOutput())
                                 .normalized(QString::NormalizationForm_KC);
        for (int i = 0; i < 60; ++i)
            QVERIFY2(text.contains(u"第%1个问题:公园在哪里"_s.arg(i)),
                     qPrintable(QString::number(i)));
        QVERIFY(text.contains(u"int x = 59;"_s));
        QVERIFY(text.count(u'\f') > 2); // pages
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
