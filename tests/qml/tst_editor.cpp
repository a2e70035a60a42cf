// The message editor: what Return does in each situation, and how tall the editor is.

#include "appgraph.h"
#include "logcapture.h"

#include <QApplication>
#include <QInputMethodEvent>
#include <QQmlComponent>
#include <QtQml/QQmlExtensionPlugin>

Q_IMPORT_QML_PLUGIN(TalvoroPlugin)

namespace {

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

} // namespace

class TestEditor : public QObject {
    Q_OBJECT

    QQmlEngine *m_engine = nullptr;
    QQuickWindow *m_window = nullptr;
    QQuickItem *m_scene = nullptr;

    QVariant get(const char *editor, const char *property)
    {
        return findItem(m_scene, QLatin1String(editor))->property(property);
    }
    QQuickItem *editorArea(const char *name) { return get(name, "editor").value<QQuickItem *>(); }
    void setText(const char *name, const QString &text)
    {
        findItem(m_scene, QLatin1String(name))->setProperty("typed", text);
    }
    qreal heightOf(const char *name) { return get(name, "dynamicHeight").toReal(); }
    int sends(const char *name) { return get(name, "sends").toInt(); }
    QString text(const char *name) { return get(name, "typed").toString(); }

private slots:
    void init()
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
    void cleanup()
    {
        delete m_scene;
        delete m_window;
        delete m_engine;
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
        QFETCH(QString, before);
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(int, sent);
        QFETCH(QString, after);
        QFETCH(QStringList, log);
        setText("a", before);
        editorArea("a")->forceActiveFocus();
        LogCapture capture;
        QTest::keyClick(m_window, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(sends("a"), sent);
        QCOMPARE(text("a"), after);
        QCOMPARE(capture.all(), log);
    }

    void returnWhileComposingOnlyCommits()
    {
        setText("a", QStringLiteral("拼音"));
        QQuickItem *area = editorArea("a");
        area->forceActiveFocus();
        QInputMethodEvent composing(QStringLiteral("ni"), {});
        QCoreApplication::sendEvent(area, &composing);
        QCOMPARE(area->property("preeditText").toString(), QStringLiteral("ni"));
        LogCapture capture;
        QTest::keyClick(m_window, Qt::Key_Return);
        QCOMPARE(sends("a"), 0);
        QCOMPARE(text("a"), QStringLiteral("拼音"));
        QVERIFY(capture.all().isEmpty());
    }

    void keysReachOnlyTheFocusedEditor()
    {
        setText("a", QStringLiteral("甲"));
        setText("b", QStringLiteral("乙"));
        editorArea("b")->forceActiveFocus();
        LogCapture capture;
        QTest::keyClick(m_window, Qt::Key_Return);
        QCOMPARE(sends("b"), 1);
        QCOMPARE(sends("a"), 0);
        QCOMPARE(text("a"), QStringLiteral("甲"));
        QCOMPARE(capture.count(QStringLiteral("Enter 按下")), 1);
    }

    void heightFollowsText()
    {
        QCOMPARE(heightOf("a"), 60.0); // empty: the minimum
        setText("a", QStringLiteral("一\n二"));
        const qreal two = heightOf("a");
        // A trailing line break already takes a line.
        setText("a", QStringLiteral("一\n二\n"));
        const qreal three = heightOf("a");
        QVERIFY2(three > two && three < 300, qPrintable(QString::number(three)));
        // Shift+Return re-measures at once.
        editorArea("a")->forceActiveFocus();
        QTest::keyClick(m_window, Qt::Key_Return, Qt::ShiftModifier);
        QVERIFY(heightOf("a") > three);
        setText("a", QStringLiteral("行\n").repeated(40));
        QCOMPARE(heightOf("a"), 300.0);

        // The same text wraps into more lines in the narrower editor.
        const QString paragraph = QStringLiteral("这是一段很长的文字，用来检查换行后的高度。");
        setText("a", paragraph.repeated(3));
        setText("b", paragraph.repeated(3));
        QVERIFY(heightOf("b") > heightOf("a"));
    }
};

int main(int argc, char *argv[])
{
    qputenv("QT_QUICK_BACKEND", "software");
    QApplication app(argc, argv);
    FontSetup::install();
    TestEditor test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_editor.moc"
