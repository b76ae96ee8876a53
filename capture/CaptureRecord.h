#pragma once

#include "AcquisitionMetadata.h"
#include "CameraControl.h"
#include "RecordBook.h"
#include "StillPairCommit.h"

#include <QDateTime>
#include <QString>
#include <array>
#include <memory>
#include <optional>
#include <vector>

namespace capture {

// The records folder of a save folder: the setting's when it names one, else records/ inside it.
QString recordsFolderFor(const QString& saveFolder, const QString& recordsSetting);

// What a pair's record needs to know of the pair it may replace.
struct Replacing {
    const records::RecordBook* book = nullptr;  // where the earlier pair's record is looked up
    std::vector<QString> copies;  // the compressed copies' paths, where the earlier pair has them
    bool keepOriginals = true;
};

// The record of a pair about to take its final names, once both writes have ended well: a capture,
// or a redo when the names hold a pair already. Each picture's metadata gets the size, format and
// digest its write reported. A redo names the capture it replaces, from the sample's latest
// record, and keeps the earlier pictures and their copies in superseded/ unless the station is set
// not to. Throws platform::FileAccessError when a write failed or the earlier pair cannot be kept.
records::RecordEvent pairRecord(const std::array<camera::StillWrite, 2>& stills,
                                std::array<records::AcquisitionMetadata, 2> pictures,
                                const StillPairPaths& paths, const QString& saveFolder,
                                const Replacing& replacing);

// What a kept file's record says of it: its name in the save folder, when it was taken (from
// EARLIER, its record, else the file's time) and its digest (from EARLIER where it names the file,
// else read now).
struct KeptFacts {
    QString name;
    QDateTime taken;
    QByteArray sha256;
};
KeptFacts keptFactsOf(const QString& saveFolder, const QString& path,
                      const std::optional<records::Record>& earlier);

// Keeps the files at PATHS (those that exist) in superseded/ before new ones replace them, under
// the capture time and with the digests of EARLIER, their record, where it names them.
std::vector<records::KeptFile> keepEarlierPair(const QString& saveFolder,
                                               const std::vector<QString>& paths,
                                               const std::optional<records::Record>& earlier);

// The compressed copies' paths beside a pair's final names (whose names differ only in their
// extension); none when the extensions are the same.
std::vector<QString> compressedCopiesOf(const std::array<QString, 2>& finals,
                                        const QString& savedExt, const QString& compressedExt);

// A pair kept on this PC carries its capture's record beside it in the spool until it is
// forwarded: written whole, replacing that of an older pair of the sample kept there.
void writePendingRecord(const QString& path, const records::RecordEvent& event);
// Nothing when there is none or it cannot be read.
std::optional<records::RecordEvent> readPendingRecord(const QString& path);

// The record of a pair kept on this PC as it reaches the save folder: its capture's record
// (PENDING) with the time it arrived, or, where that was lost, the digests of the files it arrives
// as (SPOOLED, read back). An earlier pair under the final names is kept as a redo keeps it.
records::RecordEvent forwardedRecord(const std::optional<records::RecordEvent>& pending,
                                     const QString& sample, const std::array<QString, 2>& spooled,
                                     const std::array<QString, 2>& finals,
                                     const Replacing& replacing);

// The record of a pair a crash cut short and whose renames were undone: the capture did not land,
// and the files of the sample that stand are named with their digests.
records::RecordEvent repairedRecord(const UnlandedPair& pair, const QString& saveFolder);

// The record of a delete: the sample's pictures are gone (KEPT says where they went; none when the
// station keeps no originals); FILES_THAT_STAY (its compressed copies) are named with their
// digests.
records::RecordEvent deleteRecord(const QString& sample, const std::vector<QString>& filesThatStay,
                                  const QString& saveFolder, std::vector<records::KeptFile> kept,
                                  bool originalsKept);

// At start-up: removes the temporaries of records a crash left from before STARTED_AT, then writes
// the repaired records of a recovery; a records folder that cannot be written is told to IT.
void recordRepairs(const std::vector<UnlandedPair>& pairs, const QString& saveFolder,
                   records::RecordBook& book, const QDateTime& startedAt = {});

}  // namespace capture
