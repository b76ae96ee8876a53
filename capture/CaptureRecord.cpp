#include "CaptureRecord.h"

#include "Diagnostics.h"
#include "PlatformError.h"
#include "Sha256.h"
#include "StillMetadata.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace capture {

QString recordsFolderFor(const QString& saveFolder, const QString& recordsSetting) {
    return recordsSetting.trimmed().isEmpty() ? records::defaultRecordsFolder(saveFolder)
                                              : recordsSetting.trimmed();
}

records::RecordEvent pairRecord(const std::array<camera::StillWrite, 2>& stills,
                                std::array<records::AcquisitionMetadata, 2> pictures,
                                const StillPairPaths& paths, const QString& saveFolder,
                                const QUuid& earlierCapture) {
    records::RecordEvent event;
    const bool replaces = QFile::exists(paths.finals[0]) || QFile::exists(paths.finals[1]);
    event.kind = replaces ? records::RecordEventKind::Redo : records::RecordEventKind::Capture;
    if (replaces) {
        event.supersedes = earlierCapture;
    }
    event.sample = pictures[0].sample;
    const QDir folder(saveFolder);
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        addWrittenStill(pictures.at(i), stills.at(i).result());
        event.files.push_back({folder.relativeFilePath(paths.finals.at(i)),
                               pictures.at(i).sha256,
                               pictures.at(i).pictureId,
                               {}});
        event.pictures.push_back(pictures.at(i));
    }
    return event;
}

records::RecordEvent deleteRecord(const QString& sample, const std::vector<QString>& filesThatStay,
                                  const QString& saveFolder) {
    records::RecordEvent event;
    event.kind = records::RecordEventKind::Delete;
    event.sample = sample.trimmed();
    const QDir folder(saveFolder);
    for (const QString& path : filesThatStay) {
        event.files.push_back({folder.relativeFilePath(path), records::sha256OfFile(path), {}, {}});
    }
    return event;
}

records::RecordEvent repairedRecord(const UnlandedPair& pair, const QString& saveFolder) {
    records::RecordEvent event;
    event.kind = records::RecordEventKind::Repaired;
    event.sample = pair.sample;
    const QDir folder(saveFolder);
    for (const QString& path : pair.finals) {
        // Read back here, at start-up: these are the earlier pictures that stayed.
        if (QFile::exists(path)) {
            event.files.push_back(
                {folder.relativeFilePath(path), records::sha256OfFile(path), {}, {}});
        }
    }
    return event;
}

void recordRepairs(const std::vector<UnlandedPair>& pairs, const QString& saveFolder,
                   records::RecordBook& book, const QDateTime& startedAt) {
    if (startedAt.isValid()) {
        // A record is written hidden and renamed whole; one a crash cut short was never a record.
        const QDir folder(book.stationFolder());
        for (const QFileInfo& info :
             folder.entryInfoList({QStringLiteral(".*.json.*")}, QDir::Files | QDir::Hidden)) {
            if (info.lastModified() < startedAt) {
                QFile::remove(info.absoluteFilePath());
            }
        }
    }
    for (const UnlandedPair& pair : pairs) {
        try {
            book.write(repairedRecord(pair, saveFolder));
        } catch (const std::exception& error) {
            platform::diagnose(platform::lcRecovery(), QtWarningMsg,
                               QStringLiteral("the record of a repaired pair cannot be written"),
                               {{"SAMPLE", pair.sample},
                                {"FOLDER", saveFolder},
                                {"REASON", platform::reasonOf(error)}});
        }
    }
}

}  // namespace capture
