#include "serversecret.h"

#include "serverlog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cstdlib>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qsizetype secretBytes = 32;

} // namespace

std::optional<QByteArray> ServerSecret::loadOrCreate(const QString &path, QString *error)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    const QByteArray name = QFile::encodeName(path);
    // Written whole under a name of its own with its final mode, then linked into place: never
    // readable by others, and a second server starting at the same moment finds either no file
    // or the whole secret.
    QByteArray draft = name + ".XXXXXX";
    const int fd = ::mkstemp(draft.data());
    if (fd >= 0) {
        QByteArray secret(secretBytes, Qt::Uninitialized);
        QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(secret.data()),
                                              secretBytes / sizeof(quint32));
        const bool written =
            ::fchmod(fd, 0600) == 0 &&
            ::write(fd, secret.constData(), size_t(secret.size())) == ssize_t(secret.size()) &&
            ::fsync(fd) == 0;
        ::close(fd);
        const bool linked = written && ::link(draft.constData(), name.constData()) == 0;
        ::unlink(draft.constData());
        if (linked) {
            ServerLog::info({QStringLiteral("secret created"), path});
            return secret;
        }
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read or create the secret file ") + path;
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
