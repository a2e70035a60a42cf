#include "service/imageservice.h"

#include "core/diagnosticlog.h"
#include "service/chatclient.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlEngine>
#include <QSaveFile>
#include <QStandardPaths>

namespace {
// File systems limit a name to 255 bytes (not characters: a CJK character takes three in
// UTF-8). Room is left for the " (n)" a taken name gets, or the time stamp after 10000 of them.
constexpr qsizetype kMaxNameBytes = 200;
constexpr qsizetype kMaxSuffixLength = 16;
constexpr int kMaxNumberedNames = 10000;

// The longest start of `text` that fits `bytes` in UTF-8, never splitting a character.
QString fittingStart(const QString &text, qsizetype bytes)
{
    qsizetype used = 0;
    qsizetype end = 0;
    while (end < text.size()) {
        const bool pair = text.at(end).isHighSurrogate() && end + 1 < text.size() &&
                          text.at(end + 1).isLowSurrogate();
        const qsizetype length = pair ? 2 : 1;
        const qsizetype size = QStringView(text).mid(end, length).toUtf8().size();
        if (used + size > bytes)
            break;
        used += size;
        end += length;
    }
    return text.left(end);
}
} // namespace

ImageService::ImageService(HttpClient *http, QObject *parent) : QObject(parent), m_http(http) {}

QString ImageService::documentsFolder() const
{
    if (!m_documents.isEmpty())
        return m_documents;
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
}

void ImageService::handleImageResponse(const QByteArray &body, const QObject *context,
                                       Stored stored, Failed failed)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError) {
        DiagnosticLog::line(QStringLiteral("DALL-E JSON解析失败: ") + error.errorString());
        failed(failureNotice());
        return;
    }
    const QJsonValue address = doc.object().value(QLatin1String("image_url"));
    const QUrl url(address.toString(), QUrl::StrictMode);
    // Only a web address: the answer must not make us copy a local file into Documents.
    const bool usable = doc.isObject() && address.isString() && url.isValid() &&
                        (url.scheme() == u"https" || url.scheme() == u"http") &&
                        !url.host().isEmpty();
    if (!usable) {
        DiagnosticLog::line(QStringLiteral("无法解析DALL-E的响应"));
        failed(failureNotice());
        return;
    }
    downloadImage(url, context, std::move(stored), std::move(failed));
}

void ImageService::downloadImage(const QUrl &url, const QObject *context, Stored stored,
                                 Failed failed)
{
    if (!m_http) {
        failed(ChatClient::networkFailureNotice());
        return;
    }
    m_http->get(
        url, context,
        [this, url, stored = std::move(stored), failed = std::move(failed)](
            const HttpResult &result) { saveImageToDocuments(result, url, stored, failed); },
        HttpClient::Redirects::NoLessSafe);
}

void ImageService::saveImageToDocuments(const HttpResult &result, const QUrl &url,
                                        const Stored &stored, const Failed &failed)
{
    if (!result.transferred()) {
        const QString why =
            result.errorString.isEmpty() ? QStringLiteral("未知错误") : result.errorString;
        DiagnosticLog::line(QStringLiteral("下载图片失败: ") + why);
        failed(ChatClient::networkFailureNotice());
        return;
    }
    // An error page is not a picture.
    if (result.status >= 400 || result.body.isEmpty()) {
        const QString why = result.body.isEmpty() ? QStringLiteral("未知错误")
                                                  : QStringLiteral("HTTP %1").arg(result.status);
        DiagnosticLog::line(QStringLiteral("下载图片失败: ") + why);
        failed(failureNotice());
        return;
    }

    const QString folder = documentsFolder();
    QDir().mkpath(folder);
    const QString path = freePath(folder, safeFileName(url));
    DiagnosticLog::line(QStringLiteral("Image saved at: ") + path);

    QFile file(path);
    // NewOnly: a file that appeared since the name was chosen is still never overwritten.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) ||
        file.write(result.body) != result.body.size() || !file.flush()) {
        const QString why = file.errorString();
        if (file.isOpen()) {
            file.close();
            file.remove();
        }
        DiagnosticLog::line(QStringLiteral("保存图片到 Documents 目录失败: ") + why);
        failed(failureNotice());
        return;
    }
    file.close();
    stored(path);
}

QString ImageService::safeFileName(const QUrl &url)
{
    QString name = url.fileName(QUrl::FullyDecoded);
    for (QChar &c : name) {
        if (c == u'/' || c == u'\\' || c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = u'_';
    }
    if (name.toUtf8().size() > kMaxNameBytes) {
        const qsizetype dot = name.lastIndexOf(u'.');
        const bool keepSuffix = dot > 0 && name.size() - dot <= kMaxSuffixLength;
        const QString suffix = keepSuffix ? name.mid(dot) : QString();
        const QString base = keepSuffix ? name.left(dot) : name;
        name = fittingStart(base, kMaxNameBytes - suffix.toUtf8().size()) + suffix;
    }
    if (name.isEmpty() || name == u"." || name == u"..")
        return QStringLiteral("image.png");
    return name;
}

QString ImageService::freePath(const QString &folder, const QString &name)
{
    // Joined by hand: QDir::filePath returns a name starting with ':' unchanged, as a path of
    // Qt's resource system, outside the folder.
    const QString prefix = QDir(folder).absolutePath() + u'/';
    QString candidate = prefix + name;
    if (!QFileInfo::exists(candidate))
        return candidate;

    const qsizetype dot = name.lastIndexOf(u'.');
    const QString base = dot > 0 ? name.left(dot) : name;
    const QString suffix = dot > 0 ? name.mid(dot) : QString();
    for (int n = 2; n <= kMaxNumberedNames; ++n) {
        candidate = prefix + base + QStringLiteral(" (") + QString::number(n) + u')' + suffix;
        if (!QFileInfo::exists(candidate))
            return candidate;
    }
    // Ten thousand pictures of one name: a unique stamp instead of a number.
    return prefix + base + QStringLiteral(" (") +
           QString::number(QDateTime::currentMSecsSinceEpoch()) + u')' + suffix;
}

bool ImageService::saveImageAs(const QString &sourcePath, const QUrl &destination)
{
    const QString target = destination.toLocalFile();
    if (target.isEmpty())
        return false;
    const QImage image(sourcePath);
    if (image.isNull())
        return false;
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG") || png.isEmpty())
        return false;

    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly) || file.write(png) != png.size() || !file.commit()) {
        DiagnosticLog::line(QStringLiteral("保存图片失败：") + file.errorString());
        return false;
    }
    DiagnosticLog::line(QStringLiteral("图片保存成功：") + target);
    return true;
}
