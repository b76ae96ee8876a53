#pragma once

#include <QDateTime>
#include <QString>
#include <functional>

#include "WholeFile.h"

#include "RecordBook.h"

namespace records {

enum class KeptReason { Superseded, Deleted };

// "superseded" or "deleted", inside the save folder.
QString keptFolderName(KeptReason reason);

// The name a kept file takes: its capture time in UTC leads, so that a name led by CLR_ or BTM_
// no longer passes for a live picture, and pictures of the same name taken at other times never
// meet: "20261210T143501.123Z_CLR_12345678_01.BMP". ATTEMPT > 1 (a name already taken) adds
// "-ATTEMPT" after the time.
QString keptFileName(const QString& fileName, const QDateTime& captureTime, int attempt = 1);

// Moves FROM to TO unless TO is taken (false then); throws platform::FileAccessError otherwise.
using MoveWithoutReplacing = std::function<bool(const QString& from, const QString& to)>;

// Moves SAVE_FOLDER/FILE_NAME into the kept folder under keptFileName, never over an earlier kept
// file, and syncs both folders. The digest is the caller's (from the file's record, or computed
// when there is none). Throws platform::FileAccessError naming the file.
KeptFile keepFile(const QString& saveFolder, const QString& fileName, const QDateTime& captureTime,
                  KeptReason reason, const QByteArray& sha256,
                  const MoveWithoutReplacing& move = moveWithoutReplacing);

// As keepFile, but the file also stays under its name until a new one replaces it: the kept file
// is a hard link to it, or a whole synced copy where the folder has no hard links. A pair about to
// be replaced is kept so, before its replacement's renames begin, so that a crash at any point
// leaves it under one name or the other.
KeptFile keepBeforeReplacing(const QString& saveFolder, const QString& fileName,
                             const QDateTime& captureTime, const QByteArray& sha256);

}  // namespace records
