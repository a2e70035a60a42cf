#include "imagestore.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

ImageStore::ImageStore(const QString &directory) : m_directory(directory)
{
    QDir().mkpath(directory);
}

bool ImageStore::isValidName(const QString &name)
{
    static const QRegularExpression pattern(
        QStringLiteral("^[A-Za-z0-9][A-Za-z0-9_-]{0,99}\\.(png|jpg|webp)$"));
    return pattern.match(name).hasMatch();
}

QString ImageStore::extensionFor(const QByteArray &bytes)
{
    if (bytes.startsWith("\xFF\xD8\xFF"))
        return QStringLiteral(".jpg");
    if (bytes.startsWith("RIFF") && bytes.mid(8, 4) == "WEBP")
        return QStringLiteral(".webp");
    return QStringLiteral(".png");
}

bool ImageStore::contains(const QString &name) const
{
    return isValidName(name) && QFileInfo::exists(path(name));
}

QString ImageStore::path(const QString &name) const
{
    return QDir(m_directory).filePath(name);
}

bool ImageStore::save(const QString &name, const QByteArray &bytes)
{
    if (!isValidName(name))
        return false;
    QSaveFile file(path(name));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(bytes);
    return file.commit();
}

int ImageStore::removeOlderThan(qint64 cutoffMs)
{
    int removed = 0;
    const QFileInfoList files = QDir(m_directory).entryInfoList(QDir::Files);
    for (const QFileInfo &file : files) {
        if (isValidName(file.fileName()) && file.lastModified().toMSecsSinceEpoch() < cutoffMs &&
            QFile::remove(file.filePath()))
            ++removed;
    }
    return removed;
}

QByteArray ImageStore::mimeTypeFor(const QString &name)
{
    if (name.endsWith(QLatin1String(".jpg")))
        return QByteArrayLiteral("image/jpeg");
    if (name.endsWith(QLatin1String(".webp")))
        return QByteArrayLiteral("image/webp");
    return QByteArrayLiteral("image/png");
}
