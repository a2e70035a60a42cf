// The chat window while an answer streams in: the stop button and Escape, and a list that
// follows the answer only while the reader is at its end.

#include "logcapture.h"
#include "streamingwindow.h"

#include <QAccessible>
#include <QApplication>
#include <QtQml/QQmlExtensionPlugin>

Q_IMPORT_QML_PLUGIN(TalvoroPlugin)

class TestStreamingViews : public QObject {
    Q_OBJECT

    using Open = StreamingWindow;

    static QByteArray piece(const QString &text) { return openAIPiece(text); }

    // The reader drags the list down with the mouse (towards its start) in its margin, where
    // no text is (on text, dragging selects it), and lets go.
    static void scrollUp(Open &open, QQuickItem *list)
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
    void stopEndsTheAnswer_data()
    {
        QTest::addColumn<bool>("byEscape");
        QTest::newRow("stop button") << false;
        QTest::newRow("Escape in the editor") << true;
    }

    void stopEndsTheAnswer()
    {
        QFETCH(bool, byEscape);
        Open open;
        QVERIFY(open.start());
        QQuickItem *send = open.item(QStringLiteral("sendButton"));
        QQuickItem *stop = open.item(QStringLiteral("stopButton"));
        QVERIFY(send && stop);
        QVERIFY(send->isVisible() && !stop->isVisible());

        LogCapture log;
        QVERIFY(open.ask(QStringLiteral("讲个故事")));
        open.server.sendPiece(piece(QStringLiteral("从前")));
        QTRY_COMPARE(open.answer(), QStringLiteral("从前"));
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
        QCOMPARE(open.answer(), QStringLiteral("从前"));
        QTRY_VERIFY(send->isVisible());
        QVERIFY(!stop->isVisible());
        // Escape with nothing on its way stops nothing.
        QTest::keyClick(open.window, Qt::Key_Escape);
        QCOMPARE(log.count(QStringLiteral("用户停止生成")), 1);
    }

    void listFollowsTheAnswerOnlyAtTheEnd()
    {
        Open open;
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

        QVERIFY(open.ask(QStringLiteral("长一点")));
        QString sent;
        for (int i = 0; i < 6; ++i) {
            sent += QStringLiteral("新的一行 %1\n").arg(i);
            open.server.sendPiece(piece(QStringLiteral("新的一行 %1\n").arg(i)));
            QTRY_COMPARE(open.answer(), sent);
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
            sent += QStringLiteral("新的一行 %1\n").arg(i);
            open.server.sendPiece(piece(QStringLiteral("新的一行 %1\n").arg(i)));
            QTRY_COMPARE(open.answer(), sent);
            QTest::qWait(40);
            QCOMPARE(list->property("contentY").toReal(), contentY);
        }
        QAccessibleInterface *named = QAccessible::queryAccessibleInterface(back);
        QVERIFY(named);
        QCOMPARE(named->text(QAccessible::Name), QStringLiteral("回到底部"));
        // What is drawn is the answer so far, grown piece by piece.
        QCOMPARE(drawnText(list).trimmed(), sent.trimmed());

        // Back to the end: the list follows again.
        clickItem(back);
        QTRY_VERIFY(!back->isVisible());
        QTRY_VERIFY(distance() < 4);
        sent += QStringLiteral("最后一行");
        open.server.sendPiece(piece(QStringLiteral("最后一行")));
        QTRY_COMPARE(open.answer(), sent);
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
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    TestStreamingViews test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_streamingviews.moc"
