#include "StillPairCommit.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "PlatformError.h"

namespace capture {

namespace {

[[noreturn]] void throwRenameError(const QByteArray& from, const QByteArray& to, int error) {
    throw platform::FileAccessError(QStringLiteral("cannot rename %1 to %2: %3")
                                        .arg(QFile::decodeName(from), QFile::decodeName(to),
                                             QString::fromLocal8Bit(std::strerror(error))));
}

// Renames both stills into their final names, or leaves both earlier pictures as they were: the
// first earlier picture is exchanged rather than overwritten, so it can go back when the second
// rename fails. A file system without exchange gets plain renames.
void commitStillsImpl(const std::array<QString, 2>& temporaries,
                      const std::array<QString, 2>& finals, const std::atomic<bool>& abandoned) {
    const QByteArray firstTemp = QFile::encodeName(temporaries[0]);
    const QByteArray firstFinal = QFile::encodeName(finals[0]);
    const QByteArray otherTemp = QFile::encodeName(temporaries[1]);
    const QByteArray otherFinal = QFile::encodeName(finals[1]);
    const auto removeTemporaries = [&] {
        ::unlink(firstTemp.constData());
        ::unlink(otherTemp.constData());
    };
    if (abandoned.load()) {
        removeTemporaries();
        throw platform::FileAccessError(QStringLiteral("the capture was abandoned"));
    }
    const bool firstExisted = ::access(firstFinal.constData(), F_OK) == 0;
    bool exchanged = firstExisted && ::renameat2(AT_FDCWD, firstTemp.constData(), AT_FDCWD,
                                                 firstFinal.constData(), RENAME_EXCHANGE) == 0;
    if (!exchanged && ::rename(firstTemp.constData(), firstFinal.constData()) != 0) {
        const int error = errno;
        removeTemporaries();
        throwRenameError(firstTemp, firstFinal, error);
    }
    if (abandoned.load() || ::rename(otherTemp.constData(), otherFinal.constData()) != 0) {
        const int error = abandoned.load() ? ETIMEDOUT : errno;
        if (exchanged) {
            ::renameat2(AT_FDCWD, firstTemp.constData(), AT_FDCWD, firstFinal.constData(),
                        RENAME_EXCHANGE);
        } else if (!firstExisted) {
            ::unlink(firstFinal.constData());
        }
        removeTemporaries();
        throwRenameError(otherTemp, otherFinal, error);
    }
    if (exchanged) {
        ::unlink(firstTemp.constData());  // the earlier first picture
    }
    // The renames themselves survive a power cut only once the folder is synced.
    const QByteArray folder = QFile::encodeName(QFileInfo(finals[0]).absolutePath());
    const int descriptor = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor >= 0) {
        ::fsync(descriptor);
        ::close(descriptor);
    }
}

}  // namespace

void commitStillPair(const StillPairPaths& paths, const std::atomic<bool>& abandoned) {
    commitStillsImpl(paths.temporaries, paths.finals, abandoned);
}

}  // namespace capture
