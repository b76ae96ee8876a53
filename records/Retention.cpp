#include "Retention.h"

#include <QDir>

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

KeptFile keepFile(const QString& saveFolder, const QString& fileName, const QDateTime& captureTime,
                  KeptReason reason, const QByteArray& sha256) {
    const QDir save(saveFolder);
    const QString folder = keptFolderName(reason);
    makeFolder(save.filePath(folder));
    for (int attempt = 1; attempt <= kMaxAttempts; ++attempt) {
        const QString keptAs =
            folder + QLatin1Char('/') + keptFileName(fileName, captureTime, attempt);
        if (moveWithoutReplacing(save.filePath(fileName), save.filePath(keptAs))) {
            syncFolder(save.filePath(folder));
            syncFolder(save.absolutePath());
            return {fileName, keptAs, sha256};
        }
    }
    throw platform::FileAccessError(
        QStringLiteral("cannot keep %1: every name for it in %2 is taken")
            .arg(save.filePath(fileName), save.filePath(folder)));
}

}  // namespace records
