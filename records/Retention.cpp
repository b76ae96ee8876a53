#include "Retention.h"

#include <unistd.h>
#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>

#include "PlatformError.h"
#include "WholeFile.h"

namespace records {

namespace {

// Enough for every picture of one name taken within the same millisecond, and then some.
constexpr int kMaxAttempts = 1000;

}  // namespace

QString keptFolderName(KeptReason reason) {
    return reason == KeptReason::Superseded ? QStringLiteral("superseded")
                                            : QStringLiteral("deleted");
}

QString keptFileName(const QString& fileName, const QDateTime& captureTime, int attempt) {
    QString time = captureTime.toUTC().toString(QStringLiteral("yyyyMMddTHHmmss.zzzZ"));
    if (attempt > 1) {
        time += QStringLiteral("-%1").arg(attempt);
    }
    return time + QLatin1Char('_') + fileName;
}

namespace {

// Tries the kept names in turn until PUT takes one (false: the name is taken).
KeptFile keepUnder(const QString& saveFolder, const QString& fileName, const QDateTime& captureTime,
                   KeptReason reason, const QByteArray& sha256,
                   const std::function<bool(const QString& keptPath)>& put) {
    const QDir save(saveFolder);
    const QString folder = keptFolderName(reason);
    makeFolder(save.filePath(folder));
    for (int attempt = 1; attempt <= kMaxAttempts; ++attempt) {
        const QString keptAs =
            folder + QLatin1Char('/') + keptFileName(fileName, captureTime, attempt);
        if (put(save.filePath(keptAs))) {
            syncFolder(save.filePath(folder));
            syncFolder(save.absolutePath());
            return {fileName, keptAs, sha256};
        }
    }
    throw platform::FileAccessError(
        QStringLiteral("cannot keep %1: every name for it in %2 is taken")
            .arg(save.filePath(fileName), save.filePath(folder)));
}

// A hard link, or where the folder has none a whole copy; false when the name is taken.
bool linkOrCopy(const QString& from, const QString& to) {
    if (::link(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0) {
        return true;
    }
    const int error = errno;
    if (error == EEXIST) {
        return false;
    }
    if (error != EPERM && error != ENOTSUP && error != EOPNOTSUPP && error != EXDEV &&
        error != EMLINK) {
        throw platform::FileAccessError(
            QStringLiteral("cannot keep %1 as %2: %3")
                .arg(from, to, QString::fromLocal8Bit(std::strerror(error))));
    }
    QFile file(from);
    if (!file.open(QIODevice::ReadOnly)) {
        throw platform::FileAccessError(
            QStringLiteral("cannot read %1: %2").arg(from, file.errorString()));
    }
    return writeNewWholeFile(to, file.readAll());
}

}  // namespace

KeptFile keepFile(const QString& saveFolder, const QString& fileName, const QDateTime& captureTime,
                  KeptReason reason, const QByteArray& sha256, const MoveWithoutReplacing& move) {
    const QString from = QDir(saveFolder).filePath(fileName);
    return keepUnder(saveFolder, fileName, captureTime, reason, sha256,
                     [&](const QString& keptPath) { return move(from, keptPath); });
}

KeptFile keepBeforeReplacing(const QString& saveFolder, const QString& fileName,
                             const QDateTime& captureTime, const QByteArray& sha256) {
    const QString from = QDir(saveFolder).filePath(fileName);
    return keepUnder(saveFolder, fileName, captureTime, KeptReason::Superseded, sha256,
                     [&](const QString& keptPath) { return linkOrCopy(from, keptPath); });
}

}  // namespace records
