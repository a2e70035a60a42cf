#include "ssereader.h"

#include <QTest>

// Upstream streams arrive in arbitrary pieces; the events must not depend on where they split.
class SseReaderTest : public QObject {
    Q_OBJECT
private slots:
    void eventsDoNotDependOnSplits_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QList<QByteArray>>("expected"); // "type|data" per event

        QTest::newRow("line feeds")
            << QByteArray("data: a\n\ndata: b\n\n") << QList<QByteArray>{"|a", "|b"};
        QTest::newRow("cr lf") << QByteArray("data: a\r\n\r\ndata: b\r\n\r\n")
                               << QList<QByteArray>{"|a", "|b"};
        QTest::newRow("bare cr") << QByteArray("data: a\r\rdata: b\r\r")
                                 << QList<QByteArray>{"|a", "|b"};
        QTest::newRow("event names") << QByteArray("event: ping\ndata: {}\n\nevent: x\ndata:y\n\n")
                                     << QList<QByteArray>{"ping|{}", "x|y"};
        QTest::newRow("data over lines")
            << QByteArray("data: one\ndata: two\n\n") << QList<QByteArray>{"|one\ntwo"};
        QTest::newRow("comments and unknown fields")
            << QByteArray(": keep-alive\nid: 7\nretry: 10\ndata: a\n\n") << QList<QByteArray>{"|a"};
        QTest::newRow("no blank line at the end")
            << QByteArray("data: a\n\ndata: last") << QList<QByteArray>{"|a", "|last"};
        QTest::newRow("blank lines only") << QByteArray("\n\n\r\n") << QList<QByteArray>{};
        QTest::newRow("only one space is dropped")
            << QByteArray("data:  two spaces\n\n") << QList<QByteArray>{"| two spaces"};
    }

    void eventsDoNotDependOnSplits()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QList<QByteArray>, expected);
        for (qsizetype piece = 1; piece <= stream.size() + 1; ++piece) {
            SseReader reader;
            QList<SseReader::Event> events;
            for (qsizetype at = 0; at < stream.size(); at += piece)
                events += reader.feed(stream.mid(at, piece));
            events += reader.finish();
            QList<QByteArray> got;
            for (const auto &e : events)
                got.append(e.type + '|' + e.data);
            QCOMPARE(got, expected);
        }
    }
};

QTEST_GUILESS_MAIN(SseReaderTest)
#include "tst_ssereader.moc"
