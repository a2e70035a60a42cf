// The message editor: what Return does in each situation, and how tall the editor is.

#include "appgraph.h"
#include "chat/editorcontroller.h"
#include "logcapture.h"

#include <QApplication>
#include <QInputMethodEvent>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QtQml/QQmlExtensionPlugin>

Q_IMPORT_QML_PLUGIN(TalvoroPlugin)

namespace {

const QByteArray kScene = R"(
import QtQuick
import Talvoro
Item {
    width: 500; height: 700
    property int sendsA: 0
    property int sendsB: 0
    property string textA: ""
    property string textB: ""
    ResizableTextEditor {
        objectName: "a"; width: 400
        text: parent.textA
        onTextEdited: t => parent.textA = t
        onSend: { parent.sendsA += 1; parent.textA = "" }
    }
    ResizableTextEditor {
        objectName: "b"; width: 200; y: 350
        text: parent.textB
        onTextEdited: t => parent.textB = t
        onSend: { parent.sendsB += 1; parent.textB = "" }
    }
}
)";

} // namespace

class TestEditor : public QObject {
    Q_OBJECT

    QQmlEngine *m_engine = nullptr;
    QQuickWindow *m_window = nullptr;
    QQuickItem *m_scene = nullptr;

    QQuickItem *editorArea(const char *name)
    {
        QQuickItem *editor = findItem(m_scene, QLatin1String(name));
        return editor ? editor->property("editor").value<QQuickItem *>() : nullptr;
    }
    void setText(const char *which, const QString &text) { m_scene->setProperty(which, text); }
    qreal heightOf(const char *name)
    {
        return findItem(m_scene, QLatin1String(name))->property("dynamicHeight").toReal();
    }

private slots:
    void init();
    void cleanup();
    void returnKey_data();
    void returnKey();
    void returnWhileComposingOnlyCommits();
    void keysReachOnlyTheFocusedEditor();
    void heightFollowsText_data();
    void heightFollowsText();
    void heightUsesTheEditorsOwnWidth();
};

void TestEditor::init()
{
    m_engine = new QQmlEngine;
    m_engine->addImportPath(QStringLiteral("qrc:/qt/qml"));
    QQmlComponent component(m_engine);
    component.setData(kScene, QUrl(QStringLiteral("qrc:/test/Scene.qml")));
    m_scene = qobject_cast<QQuickItem *>(component.create());
    QVERIFY2(m_scene, qPrintable(component.errorString()));
    m_window = new QQuickWindow;
    m_window->resize(500, 700);
    m_scene->setParentItem(m_window->contentItem());
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void TestEditor::cleanup()
{
    delete m_scene;
    delete m_window;
    delete m_engine;
}

void TestEditor::returnKey_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<int>("sends");
    QTest::addColumn<QString>("textAfter");
    QTest::addColumn<QStringList>("log");

    QTest::newRow("Return sends, then logs the text as it is after sending")
        << QStringLiteral("你好") << int(Qt::Key_Return) << int(Qt::NoModifier) << 1 << QString()
        << QStringList{QStringLiteral("TextEditor 中的内容: "), QStringLiteral("Enter 按下")};
    QTest::newRow("Return with blank text sends nothing")
        << QStringLiteral("  \n ") << int(Qt::Key_Return) << int(Qt::NoModifier) << 0
        << QStringLiteral("  \n ") << QStringList{QStringLiteral("无法发送空白消息")};
    QTest::newRow("empty text") << QString() << int(Qt::Key_Return) << int(Qt::NoModifier) << 0
                                << QString() << QStringList{QStringLiteral("无法发送空白消息")};
    QTest::newRow("Shift+Return breaks the line")
        << QStringLiteral("第一行") << int(Qt::Key_Return) << int(Qt::ShiftModifier) << 0
        << QStringLiteral("第一行\n") << QStringList{QStringLiteral("Shift + Enter 按下")};
    QTest::newRow("keypad Enter is not Return")
        << QStringLiteral("ab") << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << 0
        << QStringLiteral("ab\n") << QStringList{};
    QTest::newRow("other keys type")
        << QStringLiteral("ab") << int(Qt::Key_C) << int(Qt::NoModifier) << 0
        << QStringLiteral("abc") << QStringList{};
}

void TestEditor::returnKey()
{
    QFETCH(QString, text);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(int, sends);
    QFETCH(QString, textAfter);
    QFETCH(QStringList, log);

    setText("textA", text);
    QQuickItem *area = editorArea("a");
    area->forceActiveFocus();
    LogCapture capture;
    QTest::keyClick(m_window, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QCOMPARE(m_scene->property("sendsA").toInt(), sends);
    QCOMPARE(m_scene->property("textA").toString(), textAfter);
    QCOMPARE(capture.all(), log);
}

void TestEditor::returnWhileComposingOnlyCommits()
{
    setText("textA", QStringLiteral("拼音"));
    QQuickItem *area = editorArea("a");
    area->forceActiveFocus();
    QInputMethodEvent composing(QStringLiteral("ni"), {});
    QCoreApplication::sendEvent(area, &composing);
    QCOMPARE(area->property("preeditText").toString(), QStringLiteral("ni"));

    LogCapture capture;
    QTest::keyClick(m_window, Qt::Key_Return);
    QCOMPARE(m_scene->property("sendsA").toInt(), 0);
    QCOMPARE(m_scene->property("textA").toString(), QStringLiteral("拼音"));
    QVERIFY(capture.all().isEmpty());
}

void TestEditor::keysReachOnlyTheFocusedEditor()
{
    setText("textA", QStringLiteral("甲"));
    setText("textB", QStringLiteral("乙"));
    editorArea("b")->forceActiveFocus();
    LogCapture capture;
    QTest::keyClick(m_window, Qt::Key_Return);
    QCOMPARE(m_scene->property("sendsB").toInt(), 1);
    QCOMPARE(m_scene->property("sendsA").toInt(), 0);
    QCOMPARE(m_scene->property("textA").toString(), QStringLiteral("甲"));
    QCOMPARE(capture.count(QStringLiteral("Enter 按下")), 1);
}

void TestEditor::heightFollowsText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qreal>("minimum");
    QTest::addColumn<qreal>("maximum");
    QTest::newRow("empty is the minimum") << QString() << 60.0 << 60.0;
    QTest::newRow("one short line") << QStringLiteral("你好") << 60.0 << 60.0;
    QTest::newRow("three lines grow") << QStringLiteral("一\n二\n三") << 61.0 << 299.0;
    QTest::newRow("a trailing break counts") << QStringLiteral("一\n二\n") << 61.0 << 299.0;
    QTest::newRow("forty lines stop at the maximum")
        << QStringLiteral("行\n").repeated(40) << 300.0 << 300.0;
}

void TestEditor::heightFollowsText()
{
    QFETCH(QString, text);
    QFETCH(qreal, minimum);
    QFETCH(qreal, maximum);
    setText("textA", text);
    QVERIFY2(heightOf("a") >= minimum && heightOf("a") <= maximum,
             qPrintable(QString::number(heightOf("a"))));

    // Shift+Return re-measures at once.
    if (!text.isEmpty() && maximum < 300) {
        editorArea("a")->forceActiveFocus();
        const qreal before = heightOf("a");
        for (int i = 0; i < 3; ++i)
            QTest::keyClick(m_window, Qt::Key_Return, Qt::ShiftModifier);
        QVERIFY(heightOf("a") > before);
    }
}

void TestEditor::heightUsesTheEditorsOwnWidth()
{
    const QString paragraph =
        QStringLiteral("这是一段很长的文字，用来检查换行后的高度。").repeated(3);
    setText("textA", paragraph);
    setText("textB", paragraph);
    // The same text wraps into more lines in the narrower editor.
    QVERIFY(heightOf("b") > heightOf("a"));

    QFont font;
    font.setPixelSize(15);
    QCOMPARE(EditorController::measure(QString(), font, 0), 60.0);
    QVERIFY(EditorController::measure(paragraph, font, 100) >
            EditorController::measure(paragraph, font, 1000));
}

int main(int argc, char *argv[])
{
    qputenv("QT_QUICK_BACKEND", "software");
    QApplication app(argc, argv);
    FontSetup::install();
    TestEditor test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_editor.moc"
