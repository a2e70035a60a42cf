#pragma once

#include "core/httpclient.h"
#include "core/registeredinstance.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QtQml/qqmlregistration.h>

#include <functional>

// Generated pictures: reads the image answer, downloads the picture into the Documents
// folder under a name of its own (an earlier picture is never overwritten), and exports any
// stored picture as PNG.
class ImageService : public QObject, public RegisteredInstance<ImageService> {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    explicit ImageService(HttpClient *http, QObject *parent = nullptr);

    static QString failureNotice() { return QStringLiteral("图片生成失败，请稍后重试"); }

    using Stored = std::function<void(const QString &path)>;
    // Gets the notice to show: a network failure or a picture that cannot be used.
    using Failed = std::function<void(const QString &notice)>;

    // Reads {"image_url": …} and downloads it; `stored` gets the file's path, `failed` runs
    // when the answer or the download cannot be used. Exactly one of them runs, unless
    // `context` is gone first.
    void handleImageResponse(const QByteArray &body, const QObject *context, Stored stored,
                             Failed failed);
    void downloadImage(const QUrl &url, const QObject *context, Stored stored, Failed failed);
    void saveImageToDocuments(const HttpResult &result, const QUrl &url, const Stored &stored,
                              const Failed &failed);

    // Encodes the picture stored at `sourcePath` as PNG and writes it to `destination`
    // (a local file), replacing that file. False when nothing was written.
    Q_INVOKABLE bool saveImageAs(const QString &sourcePath, const QUrl &destination);

    // The folder pictures are stored in: the user's Documents folder unless set.
    QString documentsFolder() const;
    void setDocumentsFolder(const QString &folder) { m_documents = folder; }

    // A file name that is safe to create in one folder, from the address's last segment.
    static QString safeFileName(const QUrl &url);
    // `name` in `folder`, or "name (2).ext", "name (3).ext", … when taken.
    static QString freePath(const QString &folder, const QString &name);

private:
    QPointer<HttpClient> m_http;
    QString m_documents;
};
