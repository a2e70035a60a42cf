#pragma once

#include <QByteArray>
#include <QString>

// The pictures the server hands out, as files in one folder of the data directory. Names are
// restricted to a safe pattern, so a request path can never reach outside that folder.
class ImageStore {
public:
    explicit ImageStore(const QString &directory);

    static bool isValidName(const QString &name);
    // The extension that fits the bytes (".png", ".jpg", ".webp"), ".png" when unknown.
    static QString extensionFor(const QByteArray &bytes);

    bool contains(const QString &name) const;
    QString path(const QString &name) const;
    // Writes the file whole (never a half-written picture under a served name).
    bool save(const QString &name, const QByteArray &bytes);
    static QByteArray mimeTypeFor(const QString &name);
    // Deletes the pictures last written before `cutoffMs` (milliseconds since the epoch): the
    // client keeps its own copy of each picture once it has shown it. Returns how many went.
    int removeOlderThan(qint64 cutoffMs);

private:
    QString m_directory;
};
