#include "serversecret.h"

#include "serverlog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr qsizetype secretBytes = 32;

} // namespace

std::optional<QByteArray> ServerSecret::loadOrCreate(const QString &path, QString *error)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    const QByteArray name = QFile::encodeName(path);
    // Created with its final mode in one step: never readable by others, not even for a moment.
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        QByteArray secret(secretBytes, Qt::Uninitialized);
        QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(secret.data()),
                                              secretBytes / sizeof(quint32));
        const bool written =
            ::write(fd, secret.constData(), size_t(secret.size())) == ssize_t(secret.size()) &&
            ::fsync(fd) == 0;
        ::close(fd);
        if (written) {
            ServerLog::info({QStringLiteral("secret created"), path});
            return secret;
        }
        QFile::remove(path);
        *error = QStringLiteral("cannot write the secret file ") + path;
        return std::nullopt;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the secret file ") + path;
        return std::nullopt;
    }
    const QByteArray secret = file.readAll();
    if (secret.size() < secretBytes) {
        *error = QStringLiteral("the secret file %1 holds fewer than %2 bytes")
                     .arg(path)
                     .arg(secretBytes);
        return std::nullopt;
    }
    if (file.permissions() & (QFile::ReadGroup | QFile::ReadOther))
        ServerLog::warning({QStringLiteral("secret file readable by others"), path});
    return secret;
}
