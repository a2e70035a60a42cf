#include "core/httpclient.h"
#include "logcapture.h"
#include "service/imageservice.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QTemporaryDir>
#include <QTest>

class TestImageService : public QObject {
    Q_OBJECT

private slots:
    void safeFileName_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("name");

        QTest::newRow("plain") << "https://cdn.example/img/cat.png"
                               << "cat.png";
        QTest::newRow("query and fragment left out") << "https://cdn.example/a/b.webp?sig=1&x=2#f"
                                                     << "b.webp";
        QTest::newRow("percent escapes decoded") << "https://cdn.example/%E7%8C%AB%20cat.png"
                                                 << "猫 cat.png";
        QTest::newRow("encoded slash cannot leave the folder")
            << "https://cdn.example/x/..%2F..%2Fetc%2Fpasswd"
            << "passwd";
        QTest::newRow("backslash and control characters") << "https://cdn.example/a%5Cb%0A.png"
                                                          << "a_b_.png";
        QTest::newRow("no file name") << "https://cdn.example/"
                                      << "image.png";
        QTest::newRow("dot dot") << "https://cdn.example/a/%2E%2E"
                                 << "image.png";
        QTest::newRow("overlong name keeps its extension")
            << "https://cdn.example/" + QString(300, u'n') + ".png" << QString(196, u'n') + ".png";
    }

    void safeFileName()
    {
        QFETCH(QString, address);
        QFETCH(QString, name);
        QCOMPARE(ImageService::safeFileName(QUrl(address)), name);
    }

    void freePathNeverOverwrites_data()
    {
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");

        QTest::newRow("free") << QStringList{} << "a.png"
                              << "a.png";
        QTest::newRow("taken") << QStringList{"a.png"} << "a.png"
                               << "a (2).png";
        QTest::newRow("taken twice") << QStringList{"a.png", "a (2).png"} << "a.png"
                                     << "a (3).png";
        QTest::newRow("no extension") << QStringList{"a"} << "a"
                                      << "a (2)";
        QTest::newRow("two dots") << QStringList{"a.b.png"} << "a.b.png"
                                  << "a.b (2).png";
        QTest::newRow("hidden file") << QStringList{".png"} << ".png"
                                     << ".png (2)";
        QTest::newRow("percent signs in the name") << QStringList{"%1.png"} << "%1.png"
                                                   << "%1 (2).png";
    }

    void freePathNeverOverwrites()
    {
        QFETCH(QStringList, existing);
        QFETCH(QString, name);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        for (const QString &f : existing) {
            QFile file(dir.filePath(f));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QCOMPARE(ImageService::freePath(dir.path(), name), dir.filePath(expected));
    }

    void saveImageAsWritesPng_data()
    {
        QTest::addColumn<QByteArray>("format");
        QTest::newRow("from JPEG") << QByteArray("JPG");
        QTest::newRow("from PNG") << QByteArray("PNG");
        QTest::newRow("from BMP") << QByteArray("BMP");
    }

    void saveImageAsWritesPng()
    {
        QFETCH(QByteArray, format);
        QTemporaryDir dir;
        QImage picture(32, 16, QImage::Format_RGB32);
        picture.fill(Qt::darkRed);
        const QString source = dir.filePath("stored." + format.toLower());
        QVERIFY(picture.save(source, format.constData()));
        const QString target = dir.filePath(QStringLiteral("保存图片.png"));
        QFile old(target); // an existing file is replaced
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
        old.close();

        HttpClient http;
        ImageService images(&http);
        LogCapture log;
        QVERIFY(images.saveImageAs(source, QUrl::fromLocalFile(target)));
        QCOMPARE(log.all(), QStringList{QStringLiteral("图片保存成功：") + target});
        QImageReader reader(target);
        QCOMPARE(reader.format(), QByteArray("png"));
        QCOMPARE(reader.read().size(), QSize(32, 16));
    }

    void saveImageAsFailures()
    {
        QTemporaryDir dir;
        QImage picture(4, 4, QImage::Format_RGB32);
        picture.fill(Qt::blue);
        const QString source = dir.filePath("p.png");
        QVERIFY(picture.save(source));
        QFile notAPicture(dir.filePath("x.png"));
        QVERIFY(notAPicture.open(QIODevice::WriteOnly) && notAPicture.write("no") == 2);
        notAPicture.close();

        HttpClient http;
        ImageService images(&http);
        LogCapture log;
        // Nothing to convert, or no destination chosen: nothing happens, nothing is logged.
        QVERIFY(!images.saveImageAs(notAPicture.fileName(),
                                    QUrl::fromLocalFile(dir.filePath("o.png"))));
        QVERIFY(!images.saveImageAs(dir.filePath("missing.png"),
                                    QUrl::fromLocalFile(dir.filePath("o.png"))));
        QVERIFY(!images.saveImageAs(source, QUrl()));
        QVERIFY(log.all().isEmpty());
        QVERIFY(!QFile::exists(dir.filePath("o.png")));

        QVERIFY(
            !images.saveImageAs(source, QUrl::fromLocalFile(dir.filePath("no/such/dir/o.png"))));
        QCOMPARE(log.all().size(), 1);
        QVERIFY(log.all().first().startsWith(QStringLiteral("保存图片失败：")));
        QVERIFY(log.all().first().size() > QStringLiteral("保存图片失败：").size());
    }
};

QTEST_GUILESS_MAIN(TestImageService)
#include "tst_imageservice.moc"
