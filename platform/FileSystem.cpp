#include "FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "PlatformError.h"

namespace platform {

bool LocalFileSystem::fileExists(const QString& path) const {
    const QFileInfo info(path);
    return info.exists() && !info.isDir();
}

std::optional<QString> LocalFileSystem::removeFile(const QString& path) {
    QFile file(path);
    if (file.remove()) {
        return std::nullopt;
    }
    return file.errorString();
}

bool LocalFileSystem::moveWithoutReplacing(const QString& from, const QString& to) {
    const int error = renameNoReplace(QFile::encodeName(from), QFile::encodeName(to));
    if (error == EEXIST) {
        return false;
    }
    if (error != 0) {
        throw FileAccessError(QStringLiteral("cannot move %1 to %2: %3")
                                  .arg(from, to, QString::fromLocal8Bit(std::strerror(error))));
    }
    return true;
}

int renameNoReplace(const QByteArray& from, const QByteArray& to) {
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        return errno;
    }
    if (::link(from.constData(), to.constData()) == 0) {
        ::unlink(from.constData());
        return 0;
    }
    if (errno == EEXIST || (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP)) {
        return errno;
    }
    struct stat status {};
    if (::lstat(to.constData(), &status) == 0) {
        return EEXIST;
    }
    return ::rename(from.constData(), to.constData()) == 0 ? 0 : errno;
}

}  // namespace platform
