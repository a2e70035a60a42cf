#include "core/httpclient.h"
#include "logcapture.h"
#include "service/imageservice.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QTemporaryDir>
#include <QTest>

// Whatever address a picture comes from, it is stored as a new file directly inside the
// Documents folder, under a name the file system accepts; and a shown picture saves as PNG.
class TestImageService : public QObject {
    Q_OBJECT

    static void touch(const QString &path, const QByteArray &bytes = {})
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
    static void row(const char *name, const QString &address, const QString &fileName)
    {
        QTest::newRow(name) << address << fileName;
    }

private slots:
    // Where a name is given, the picture is stored under exactly that name.
    void pictureLandsInsideDocuments_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("name");
        const QString o = QStringLiteral("https://cdn.example.com/images/");
        row("plain", o + "cat.png", "cat.png");
        row("query and fragment left out", o + "b.webp?sig=1&x=2#f", "b.webp");
        row("percent escapes decoded", o + "%E7%8C%AB%20cat.png", "猫 cat.png");
        row("encoded slash cannot leave the folder", o + "x/..%2F..%2Fetc%2Fpasswd", "passwd");
        row("backslash and control characters", o + "a%5Cb%0A.png", "a_b_.png");
        row("no name, and image.png taken", QStringLiteral("https://cdn.example.com/"),
            "image (2).png");
        row("dot dot", o + "a/%2E%2E", "image (2).png");
        row("overlong name keeps its extension", o + QString(300, u'n') + ".png",
            QString(196, u'n') + ".png");
        row("150 CJK characters", o + QString("%E5%9B%BE").repeated(150) + ".png", {});
        row("100 emoji, no extension", o + QString("%F0%9F%98%80").repeated(100), {});
        row("long extension", o + "a." + QString(300, u'x'), {});
        row("leading colon", o + ":scdn.e", {});
        row("colon and slash encoded", o + ":%2Fetc%2Fpasswd", {});
        row("encoded dot-dot segments", o + "..%2F..%2F.ssh%2Fauthorized_keys", {});
        row("NUL", o + "a%00b.png", {});
        row("hidden name", o + ".profile", {});
    }

    void pictureLandsInsideDocuments()
    {
        QFETCH(QString, address);
        QFETCH(QString, name);
        QTemporaryDir dir;
        const QString documents = QDir(dir.path()).canonicalPath() + QStringLiteral("/Documents");
        QVERIFY(QDir().mkpath(documents));
        touch(documents + QStringLiteral("/image.png"), "earlier");

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
        if (!name.isEmpty())
            QCOMPARE(QFileInfo(stored).fileName(), name);
        QFile file(stored);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), download.body);
        QFile earlier(documents + QStringLiteral("/image.png")); // never overwritten
        QVERIFY(earlier.open(QIODevice::ReadOnly));
        QCOMPARE(earlier.readAll(), QByteArray("earlier"));
        QCOMPARE(log.all(), QStringList{QStringLiteral("Image saved at: ") + stored});
    }

    void freePathNeverOverwrites_data()
    {
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("free") << QStringList{} << "a.png" << QStringLiteral("a.png");
        QTest::newRow("taken") << QStringList{"a.png"} << "a.png" << QStringLiteral("a (2).png");
        QTest::newRow("taken twice")
            << QStringList{"a.png", "a (2).png"} << "a.png" << QStringLiteral("a (3).png");
        QTest::newRow("no extension") << QStringList{"a"} << "a" << QStringLiteral("a (2)");
        QTest::newRow("two dots") << QStringList{"a.b.png"} << "a.b.png"
                                  << QStringLiteral("a.b (2).png");
        QTest::newRow("hidden file") << QStringList{".png"} << ".png" << QStringLiteral(".png (2)");
        QTest::newRow("percent signs in the name")
            << QStringList{"%1.png"} << "%1.png" << QStringLiteral("%1 (2).png");
    }

    void freePathNeverOverwrites()
    {
        QFETCH(QStringList, existing);
        QFETCH(QString, name);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        for (const QString &f : existing)
            touch(dir.filePath(f));
        QCOMPARE(ImageService::freePath(dir.path(), name), dir.filePath(expected));
    }

    void saveImageAs()
    {
        QTemporaryDir dir;
        QImage picture(32, 16, QImage::Format_RGB32);
        picture.fill(Qt::darkRed);
        const QString source = dir.filePath(QStringLiteral("stored.jpg"));
        QVERIFY(picture.save(source, "JPG"));
        const QString target = dir.filePath(QStringLiteral("保存图片.png"));
        touch(target, "old"); // an existing file is replaced
        touch(dir.filePath(QStringLiteral("x.png")), "no");
        HttpClient http;
        ImageService images(&http);
        LogCapture log;

        QVERIFY(images.saveImageAs(source, QUrl::fromLocalFile(target)));
        QCOMPARE(log.all(), QStringList{QStringLiteral("图片保存成功：") + target});
        QImageReader reader(target);
        QCOMPARE(reader.format(), QByteArray("png"));
        QCOMPARE(reader.read().size(), QSize(32, 16));

        // Nothing to convert, or no destination chosen: nothing happens, nothing is logged.
        log.clear();
        const QUrl other = QUrl::fromLocalFile(dir.filePath(QStringLiteral("o.png")));
        QVERIFY(!images.saveImageAs(dir.filePath(QStringLiteral("x.png")), other));
        QVERIFY(!images.saveImageAs(dir.filePath(QStringLiteral("missing.png")), other));
        QVERIFY(!images.saveImageAs(source, QUrl()));
        QVERIFY(log.all().isEmpty());
        QVERIFY(!QFile::exists(other.toLocalFile()));

        QVERIFY(!images.saveImageAs(source, QUrl::fromLocalFile(dir.filePath("no/such/o.png"))));
        QCOMPARE(log.all().size(), 1);
        QVERIFY(log.all().first().startsWith(QStringLiteral("保存图片失败：")));
        QVERIFY(log.all().first().size() > QStringLiteral("保存图片失败：").size());
    }
};

QTEST_GUILESS_MAIN(TestImageService)
#include "tst_imageservice.moc"
