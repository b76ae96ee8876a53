#include "FileOps.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "PlatformError.h"

namespace capture {

void throwFileError(const QString& what, int error) {
    throw platform::FileAccessError(what + QStringLiteral(": ") +
                                    QString::fromLocal8Bit(std::strerror(error)));
}

void syncFolder(const QByteArray& folder) {
    const int descriptor = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor >= 0) {
        ::fsync(descriptor);
        ::close(descriptor);
    }
}

void writeNewFileSynced(const QByteArray& path, const QByteArray& bytes, const QString& what) {
    const int descriptor = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const bool written =
        descriptor >= 0 &&
        ::write(descriptor, bytes.constData(), static_cast<std::size_t>(bytes.size())) ==
            static_cast<ssize_t>(bytes.size()) &&
        ::fsync(descriptor) == 0;
    const int error = errno;
    if (descriptor >= 0) {
        ::close(descriptor);
    }
    if (!written) {
        if (descriptor >= 0) {
            ::unlink(path.constData());
        }
        throwFileError(what, error);
    }
}

}  // namespace capture
