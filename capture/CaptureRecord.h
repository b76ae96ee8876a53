#pragma once

#include "AcquisitionMetadata.h"
#include "CameraControl.h"
#include "RecordBook.h"
#include "StillPairCommit.h"

#include <QDateTime>
#include <QString>
#include <array>
#include <memory>

namespace capture {

// The records folder of a save folder: the setting's when it names one, else records/ inside it.
QString recordsFolderFor(const QString& saveFolder, const QString& recordsSetting);

// The record of a pair about to take its final names, once both writes have ended well: a capture,
// or a redo when the names hold a pair already. Each picture's metadata gets the size, format and
// digest its write reported; a redo names EARLIER_CAPTURE, the capture it replaces, when known.
// Throws platform::FileAccessError when a write failed.
records::RecordEvent pairRecord(const std::array<camera::StillWrite, 2>& stills,
                                std::array<records::AcquisitionMetadata, 2> pictures,
                                const StillPairPaths& paths, const QString& saveFolder,
                                const QUuid& earlierCapture = {});

// The record of a pair a crash cut short and whose renames were undone: the capture did not land,
// and the files of the sample that stand are named with their digests.
records::RecordEvent repairedRecord(const UnlandedPair& pair, const QString& saveFolder);

// The record of a delete: the sample's pictures are gone; FILES_THAT_STAY (its compressed copies)
// are named with their digests.
records::RecordEvent deleteRecord(const QString& sample, const std::vector<QString>& filesThatStay,
                                  const QString& saveFolder);

// At start-up: removes the temporaries of records a crash left from before STARTED_AT, then writes
// the repaired records of a recovery; a records folder that cannot be written is told to IT.
void recordRepairs(const std::vector<UnlandedPair>& pairs, const QString& saveFolder,
                   records::RecordBook& book, const QDateTime& startedAt = {});

}  // namespace capture
