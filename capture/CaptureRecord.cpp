#include "CaptureRecord.h"

#include "Diagnostics.h"
#include "PlatformError.h"
#include "RecordJson.h"
#include "Retention.h"
#include "Sha256.h"
#include "StillMetadata.h"
#include "WholeFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace capture {

QString recordsFolderFor(const QString& saveFolder, const QString& recordsSetting) {
    return recordsSetting.trimmed().isEmpty() ? records::defaultRecordsFolder(saveFolder)
                                              : recordsSetting.trimmed();
}

namespace {

// A redo names the capture it replaces, from the sample's latest record, and keeps the pictures
// under the final names and their copies unless the station is set not to.
void noteReplacing(records::RecordEvent& event, const std::array<QString, 2>& finals,
                   const QString& saveFolder, const Replacing& replacing) {
    const std::optional<records::Record> earlier =
        replacing.book != nullptr ? replacing.book->latestPairOf(event.sample) : std::nullopt;
    if (earlier) {
        event.supersedes = earlier->event.pictures.front().captureId;
    }
    event.originalsKept = replacing.keepOriginals;
    if (replacing.keepOriginals) {
        std::vector<QString> earlierFiles{finals[0], finals[1]};
        earlierFiles.insert(earlierFiles.end(), replacing.copies.begin(), replacing.copies.end());
        event.kept = keepEarlierPair(saveFolder, earlierFiles, earlier);
    }
}

}  // namespace

records::RecordEvent pairRecord(const std::array<camera::StillWrite, 2>& stills,
                                std::array<records::AcquisitionMetadata, 2> pictures,
                                const StillPairPaths& paths, const QString& saveFolder,
                                const Replacing& replacing) {
    records::RecordEvent event;
    const bool replaces = QFile::exists(paths.finals[0]) || QFile::exists(paths.finals[1]);
    event.kind = replaces ? records::RecordEventKind::Redo : records::RecordEventKind::Capture;
    event.sample = pictures[0].sample;
    if (replaces) {
        noteReplacing(event, paths.finals, saveFolder, replacing);
    }
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

KeptFacts keptFactsOf(const QString& saveFolder, const QString& path,
                      const std::optional<records::Record>& earlier) {
    KeptFacts facts{QDir(saveFolder).relativeFilePath(path), QFileInfo(path).lastModified(), {}};
    if (earlier) {
        facts.taken = earlier->event.pictures.front().time;
        for (const records::RecordedFile& file : earlier->event.files) {
            facts.sha256 = file.name == facts.name ? file.sha256 : facts.sha256;
        }
    }
    // A copy, or a picture no record of this station names: read back, once, as it is kept.
    if (facts.sha256.isEmpty()) {
        facts.sha256 = records::sha256OfFile(path);
    }
    return facts;
}

std::vector<records::KeptFile> keepEarlierPair(const QString& saveFolder,
                                               const std::vector<QString>& paths,
                                               const std::optional<records::Record>& earlier) {
    std::vector<records::KeptFile> kept;
    for (const QString& path : paths) {
        if (QFileInfo::exists(path)) {
            const KeptFacts facts = keptFactsOf(saveFolder, path, earlier);
            kept.push_back(
                records::keepBeforeReplacing(saveFolder, facts.name, facts.taken, facts.sha256));
        }
    }
    return kept;
}

std::vector<QString> compressedCopiesOf(const std::array<QString, 2>& finals,
                                        const QString& savedExt, const QString& compressedExt) {
    std::vector<QString> copies;
    for (const QString& final : finals) {
        if (!compressedExt.isEmpty() && compressedExt != savedExt && final.endsWith(savedExt)) {
            copies.push_back(final.chopped(savedExt.size()) + compressedExt);
        }
    }
    return copies;
}

void writePendingRecord(const QString& path, const records::RecordEvent& event) {
    records::makeFolder(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    const records::Record pending{event, records::thisStation().host, 0, {}, {}, {}};
    if (!file.open(QIODevice::WriteOnly) || file.write(records::recordBytes(pending)) < 0 ||
        !file.commit()) {
        throw platform::FileAccessError(
            QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    }
}

std::optional<records::RecordEvent> readPendingRecord(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    try {
        return records::recordOfBytes(file.readAll()).event;
    } catch (const platform::FileAccessError&) {
        return std::nullopt;
    }
}

records::RecordEvent forwardedRecord(const std::optional<records::RecordEvent>& pending,
                                     const QString& sample, const std::array<QString, 2>& spooled,
                                     const std::array<QString, 2>& finals,
                                     const Replacing& replacing) {
    records::RecordEvent event;
    const QString saveFolder = QFileInfo(finals[0]).absolutePath();
    const QDir folder(saveFolder);
    event.kind = records::RecordEventKind::Forwarded;
    event.sample = pending ? pending->sample : sample;
    if (pending) {
        event.pictures = pending->pictures;
    }
    for (std::size_t i = 0; i < finals.size(); ++i) {
        const QString spooledName = QFileInfo(spooled.at(i)).fileName();
        records::RecordedFile file;
        if (pending) {
            for (const records::RecordedFile& recorded : pending->files) {
                // Named as in the spool, where a claimed file's name has a mark in front.
                file = spooledName.endsWith(recorded.name) ? recorded : file;
            }
        }
        file.name = folder.relativeFilePath(finals.at(i));
        if (file.sha256.isEmpty()) {
            file.sha256 = records::sha256OfFile(spooled.at(i));
        }
        event.files.push_back(file);
    }
    if (QFile::exists(finals[0]) || QFile::exists(finals[1])) {
        noteReplacing(event, finals, saveFolder, replacing);
    }
    return event;
}

records::RecordEvent deleteRecord(const QString& sample, const std::vector<QString>& filesThatStay,
                                  const QString& saveFolder, std::vector<records::KeptFile> kept,
                                  bool originalsKept) {
    records::RecordEvent event;
    event.kind = records::RecordEventKind::Delete;
    event.sample = sample.trimmed();
    event.kept = std::move(kept);
    event.originalsKept = originalsKept;
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
