#include "WholeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "FileSystem.h"
#include "PlatformError.h"

namespace records {

namespace {

QString reason(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

[[noreturn]] void throwFileError(const QString& what, int error) {
    throw platform::FileAccessError(what + QStringLiteral(": ") + reason(error));
}

bool writeAll(int descriptor, QByteArrayView bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote =
            ::write(descriptor, bytes.data() + done, static_cast<std::size_t>(bytes.size() - done));
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return false;
        }
        done += wrote;
    }
    return true;
}

void writeSynced(const QByteArray& temporary, QByteArrayView bytes, const QString& path) {
    const int descriptor =
        ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        throwFileError(QStringLiteral("cannot write %1").arg(path), errno);
    }
    const bool written = writeAll(descriptor, bytes) && ::fsync(descriptor) == 0;
    const int error = errno;
    if (::close(descriptor) != 0 || !written) {
        ::unlink(temporary.constData());
        throwFileError(QStringLiteral("cannot write %1").arg(path), written ? errno : error);
    }
}

}  // namespace

bool writeNewWholeFile(const QString& path, QByteArrayView bytes) {
    const QFileInfo info(path);
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temporary =
        QFile::encodeName(info.absolutePath() + QStringLiteral("/.") + info.fileName() +
                          QStringLiteral(".") + QUuid::createUuid().toString(QUuid::Id128));
    writeSynced(temporary, bytes, path);
    const int error = platform::renameNoReplace(temporary, target);
    if (error != 0) {
        ::unlink(temporary.constData());
        if (error == EEXIST) {
            return false;
        }
        throwFileError(QStringLiteral("cannot write %1").arg(path), error);
    }
    syncFolder(info.absolutePath());
    return true;
}

bool moveWithoutReplacing(const QString& from, const QString& to) {
    const int error = platform::renameNoReplace(QFile::encodeName(from), QFile::encodeName(to));
    if (error == EEXIST) {
        return false;
    }
    if (error != 0) {
        throwFileError(QStringLiteral("cannot move %1 to %2").arg(from, to), error);
    }
    return true;
}

void makeFolder(const QString& path) {
    if (!QDir().mkpath(path)) {
        throw platform::FileAccessError(QStringLiteral("cannot make the folder %1").arg(path));
    }
}

void syncFolder(const QString& path) {
    const int descriptor =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor >= 0) {
        ::fsync(descriptor);
        ::close(descriptor);
    }
}

}  // namespace records
