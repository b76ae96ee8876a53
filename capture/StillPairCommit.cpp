#include "StillPairCommit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <cerrno>
#include <cstring>
#include <exception>

#include "DetachedWork.h"
#include "PlatformError.h"

namespace capture {

namespace {

bool exists(const QByteArray& path) {
    struct stat status {};
    return ::lstat(path.constData(), &status) == 0;
}

[[noreturn]] void throwFileError(const QString& what, int error) {
    throw platform::FileAccessError(what + QStringLiteral(": ") +
                                    QString::fromLocal8Bit(std::strerror(error)));
}

[[noreturn]] void throwAbandoned() {
    throw platform::FileAccessError(QStringLiteral("the capture was abandoned"));
}

// The renames themselves survive a power cut only once their folder is synced.
void syncFolder(const QByteArray& folder) {
    const int descriptor = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor >= 0) {
        ::fsync(descriptor);
        ::close(descriptor);
    }
}

// The names one commit works with. While the pair is renamed, the earlier first picture is kept
// under a hidden name of its own, so that it can go back when the second rename fails.
struct CommitNames {
    explicit CommitNames(const StillPairPaths& paths)
        : temporaries{QFile::encodeName(paths.temporaries[0]),
                      QFile::encodeName(paths.temporaries[1])},
          finals{QFile::encodeName(paths.finals[0]), QFile::encodeName(paths.finals[1])},
          earlier(QFile::encodeName(temporaryPathFor(paths.finals[0]))),
          folder(QFile::encodeName(QFileInfo(paths.finals[0]).absolutePath())) {}

    std::array<QByteArray, 2> temporaries;
    std::array<QByteArray, 2> finals;
    QByteArray earlier;
    QByteArray folder;
};

// Leaves the final names as they were before the commit began and removes what it made. The
// second final name is never touched before the last step, so only the first needs care.
void undo(const CommitNames& names) {
    const bool firstRenamed = !exists(names.temporaries[0]);
    if (exists(names.earlier) && (firstRenamed || !exists(names.finals[0]))) {
        ::rename(names.earlier.constData(), names.finals[0].constData());
    } else if (firstRenamed) {
        ::unlink(names.finals[0].constData());  // there was no earlier first picture
    }
    ::unlink(names.earlier.constData());  // a hard link beside an untouched first picture
    for (const QByteArray& temporary : names.temporaries) {
        ::unlink(temporary.constData());
    }
}

}  // namespace

QString temporaryPathFor(const QString& finalPath) {
    const QFileInfo info(finalPath);
    return QStringLiteral("%1/.%2-%3")
        .arg(info.path())
        .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'))
        .arg(info.fileName());
}

void commitStillPair(const StillPairPaths& paths, const std::atomic<bool>& abandoned,
                     const StillPairCommitProbe& probe) {
    const CommitNames names(paths);
    if (abandoned.load()) {
        undo(names);
        throwAbandoned();
    }
    // A hard link keeps the earlier picture under its final name meanwhile; a folder without
    // hard links gets it renamed aside.
    if (exists(names.finals[0]) &&
        !(probe.hardLinks && ::link(names.finals[0].constData(), names.earlier.constData()) == 0) &&
        ::rename(names.finals[0].constData(), names.earlier.constData()) != 0) {
        const int error = errno;
        undo(names);
        throwFileError(QStringLiteral("cannot keep the earlier picture %1")
                           .arg(QFile::decodeName(names.finals[0])),
                       error);
    }
    for (std::size_t i = 0; i < names.finals.size(); ++i) {
        if (i > 0) {
            if (probe.betweenRenames) {
                probe.betweenRenames();
            }
            if (abandoned.load()) {
                undo(names);
                throwAbandoned();
            }
        }
        if (::rename(names.temporaries[i].constData(), names.finals[i].constData()) != 0) {
            const int error = errno;
            undo(names);
            throwFileError(QStringLiteral("cannot rename %1 to %2")
                               .arg(QFile::decodeName(names.temporaries[i]),
                                    QFile::decodeName(names.finals[i])),
                           error);
        }
    }
    syncFolder(names.folder);
    ::unlink(names.earlier.constData());
}

QFuture<void> commitStillPairOnceWritten(const std::array<QFuture<void>, 2>& writes,
                                         const StillPairPaths& paths,
                                         std::shared_ptr<const std::atomic<bool>> abandoned) {
    return platform::runDetached([writes, paths, abandoned = std::move(abandoned)] {
        // Neither still gets its final name before both writes have ended well.
        std::exception_ptr failure;
        for (QFuture<void> write : writes) {
            try {
                write.waitForFinished();
            } catch (...) {
                if (!failure) {
                    failure = std::current_exception();
                }
            }
        }
        if (failure) {
            for (const QString& temporary : paths.temporaries) {
                QFile::remove(temporary);
            }
            std::rethrow_exception(failure);
        }
        commitStillPair(paths, *abandoned);
    });
}

}  // namespace capture
