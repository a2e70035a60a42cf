// Any bytes as the image answer, and as the picture's address: the answer is either used or
// refused with exactly one outcome, and a picture from any address is stored as a new file
// directly inside the Documents folder, never anywhere else and never over an existing file.
#include "core/httpclient.h"
#include "fuzzcheck.h"
#include "service/imageservice.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

namespace {

QString documents()
{
    // In memory where there is a tmpfs: two files are written and removed per input.
    static QTemporaryDir dir(QDir(QStringLiteral("/dev/shm")).exists()
                                 ? QStringLiteral("/dev/shm/talvoro-fuzz-XXXXXX")
                                 : QDir::tempPath() + QStringLiteral("/talvoro-fuzz-XXXXXX"));
    static const QString path = [] {
        QDir(dir.path()).mkpath(QStringLiteral("Documents"));
        const QString folder = QDir(dir.filePath(QStringLiteral("Documents"))).canonicalPath();
        // A picture stored earlier, which no later one may replace.
        QFile earlier(folder + QStringLiteral("/image.png"));
        if (!earlier.open(QIODevice::WriteOnly) || earlier.write("earlier") != 7)
            std::abort();
        return folder;
    }();
    return path;
}

// Stores one picture from `url` and checks where it went.
void storeFrom(ImageService &service, const QUrl &url)
{
    const QDir folder(documents());
    HttpResult download;
    download.status = 200;
    download.body = QByteArrayLiteral("\x89PNG\r\n\x1a\n picture");
    QString stored;
    int outcomes = 0;
    service.saveImageToDocuments(
        download, url,
        [&](const QString &path) {
            stored = path;
            ++outcomes;
        },
        [&](const QString &) { ++outcomes; });
    FUZZ_CHECK(outcomes == 1);
    // A writable folder and a picture that arrived: it must have been stored.
    FUZZ_CHECK(!stored.isEmpty());
    const QString prefix = folder.path() + u'/';
    FUZZ_CHECK(stored.startsWith(prefix));
    const QString name = stored.mid(prefix.size());
    FUZZ_CHECK(!name.isEmpty() && !name.contains(u'/') && name != u"." && name != u"..");
    FUZZ_CHECK(name != u"image.png");  // the earlier picture is never replaced
    FUZZ_CHECK(QFile::remove(stored)); // a file, at that very path
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzSetUp();
    const QByteArray body = fuzzBytes(data, size);
    // No HTTP client: a usable answer ends in the network notice instead of a download.
    static ImageService service(nullptr);
    service.setDocumentsFolder(documents());

    QObject context;
    int outcomes = 0;
    service.handleImageResponse(
        body, &context, [&](const QString &) { FUZZ_CHECK(false); },
        [&](const QString &) { ++outcomes; });
    FUZZ_CHECK(outcomes == 1);

    // The file name comes from the address in the answer, or from the input read as one.
    const QJsonValue address =
        QJsonDocument::fromJson(body).object().value(QLatin1String("image_url"));
    const QString text = address.isString() ? address.toString() : QString::fromUtf8(body);
    storeFrom(service, QUrl(text, QUrl::StrictMode));
    storeFrom(service, QUrl(text, QUrl::TolerantMode));
    return 0;
}
