#include "core/httpclient.h"
#include "logcapture.h"
#include "service/imageservice.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// Whatever address a picture comes from, it is stored as a new file directly inside the
// Documents folder, under a name the file system accepts.
class TestImageFileName : public QObject {
    Q_OBJECT

private slots:
    void pictureLandsInsideDocuments_data()
    {
        QTest::addColumn<QString>("address");
        const QString base = QStringLiteral("https://cdn.example.com/images/");
        QTest::newRow("150 CJK characters")
            << base + QStringLiteral("%E5%9B%BE").repeated(150) + QStringLiteral(".png");
        QTest::newRow("100 emoji, no extension")
            << base + QStringLiteral("%F0%9F%98%80").repeated(100);
        QTest::newRow("long extension") << base + QStringLiteral("a.") + QString(300, u'x');
        QTest::newRow("leading colon") << base + QStringLiteral(":scdn.e");
        QTest::newRow("colon and slash encoded") << base + QStringLiteral(":%2Fetc%2Fpasswd");
        QTest::newRow("encoded dot-dot segments")
            << base + QStringLiteral("..%2F..%2F.ssh%2Fauthorized_keys");
        QTest::newRow("backslashes") << base + QStringLiteral("..%5C..%5Cx.png");
        QTest::newRow("dot-dot") << base + QStringLiteral("%2E%2E");
        QTest::newRow("no name") << QStringLiteral("https://cdn.example.com/");
        QTest::newRow("NUL") << base + QStringLiteral("a%00b.png");
        QTest::newRow("hidden name") << base + QStringLiteral(".profile");
    }

    void pictureLandsInsideDocuments()
    {
        QFETCH(QString, address);
        QTemporaryDir dir;
        const QString documents = QDir(dir.path()).canonicalPath() + QStringLiteral("/Documents");
        QVERIFY(QDir().mkpath(documents));
        QFile earlier(documents + QStringLiteral("/image.png"));
        QVERIFY(earlier.open(QIODevice::WriteOnly));
        earlier.write("earlier");
        earlier.close();

        ImageService service(nullptr);
        service.setDocumentsFolder(documents);
        HttpResult download;
        download.status = 200;
        download.body = "picture bytes";
        QString stored;
        LogCapture log;
        service.saveImageToDocuments(
            download, QUrl(address, QUrl::StrictMode), [&](const QString &path) { stored = path; },
            [&](const QString &notice) { QFAIL(qPrintable(notice + log.all().join(u'\n'))); });

        QVERIFY(!stored.isEmpty());
        QCOMPARE(QFileInfo(stored).absoluteDir().canonicalPath(), documents);
        QVERIFY(QFileInfo(stored).fileName().toUtf8().size() <= 255);
        QFile file(stored);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), download.body);
        QVERIFY(earlier.open(QIODevice::ReadOnly));
        QCOMPARE(earlier.readAll(), QByteArray("earlier"));
        QCOMPARE(log.all(), QStringList{QStringLiteral("Image saved at: ") + stored});
    }
};

QTEST_GUILESS_MAIN(TestImageFileName)
#include "tst_imagefilename.moc"
