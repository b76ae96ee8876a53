#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "EmbeddedProvenance.h"
#include "PlatformError.h"
#include "RecordVerifier.h"
#include "Sha256.h"

namespace records {

namespace {

// A file a record vouches for, and the record that does.
struct ExpectedFile {
    QString name;  // relative to the save folder
    QByteArray sha256;
    QString recordName;
    QString problem;  // filled in by the check
};

// The record a sample's files are checked against, and the file it lies in.
struct Latest {
    const Record* record = nullptr;
    const LoadedRecord* loaded = nullptr;
};

// Per sample, the record written last; two stations' records of one sample are ordered by time.
std::map<QString, Latest> latestPerSample(const std::vector<LoadedRecord>& loaded) {
    std::map<QString, Latest> latest;
    for (const LoadedRecord& candidate : loaded) {
        if (!candidate.record) {
            continue;
        }
        const Record& record = *candidate.record;
        Latest& current = latest[record.event.sample];
        // Within a station the number orders the records even if the clock went back.
        if (!current.record || (current.loaded->station == candidate.station
                                    ? current.loaded->sequence < candidate.sequence
                                    : current.record->event.time < record.event.time)) {
            current = {&record, &candidate};
        }
    }
    return latest;
}

std::vector<ExpectedFile> expectedFiles(const std::vector<LoadedRecord>& loaded,
                                        const std::map<QString, Latest>& latest) {
    std::vector<ExpectedFile> expected;
    for (const auto& [sample, record] : latest) {
        for (const RecordedFile& file : record.record->event.files) {
            expected.push_back({file.name, file.sha256, record.loaded->fileName, {}});
        }
    }
    // Kept files never move again, whichever record moved them.
    for (const LoadedRecord& record : loaded) {
        if (const std::optional<Record>& contents = record.record) {
            for (const KeptFile& kept : contents->event.kept) {
                expected.push_back({kept.keptAs, kept.sha256, record.fileName, {}});
            }
        }
    }
    return expected;
}

void check(const QDir& save, ExpectedFile& file) {
    const QString path = save.filePath(file.name);
    try {
        if (sha256OfFile(path) != file.sha256) {
            file.problem =
                QStringLiteral("%1 was altered: its SHA-256 is not the one record %2 holds")
                    .arg(file.name, file.recordName);
        }
    } catch (const platform::FileAccessError& e) {
        file.problem = QFileInfo::exists(path)
                           ? QStringLiteral("%1 cannot be read: %2").arg(file.name, e.message())
                           : QStringLiteral("%1 is missing: record %2 names it")
                                 .arg(file.name, file.recordName);
    }
}

// The pictures are most of the work; a few threads keep the disk and the cores busy together.
void checkAll(const QDir& save, std::vector<ExpectedFile>& files, int threads) {
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i = next++; i < files.size(); i = next++) {
            check(save, files[i]);
        }
    };
    std::vector<std::jthread> workers;
    for (int i = 1; i < std::max(threads, 1); ++i) {
        workers.emplace_back(work);
    }
    work();
}

// A copy made after its record was written says in its own metadata which picture it was made of.
bool explainedAsCopy(const QString& path, const std::map<QUuid, const RecordedFile*>& pictures) {
    try {
        const CopyProvenance provenance = readProvenance(path);
        const auto found = pictures.find(provenance.originalId);
        return found != pictures.end() && !provenance.originalId.isNull() &&
               found->second->sha256 == provenance.originalSha256 &&
               QFileInfo(found->second->name).completeBaseName() ==
                   QFileInfo(path).completeBaseName();
    } catch (const platform::FileAccessError&) {
        return false;
    }
}

void findUnexplained(const QDir& save, const std::map<QString, Latest>& latest,
                     VerifyReport& report) {
    std::set<QString> named;
    std::map<QUuid, const RecordedFile*> pictures;
    for (const auto& [sample, record] : latest) {
        for (const RecordedFile& file : record.record->event.files) {
            named.insert(file.name);
            if (file.derivedFrom.isNull() && !file.id.isNull()) {
                pictures[file.id] = &file;
            }
        }
    }
    const QStringList stationNames{QStringLiteral("CLR_*"), QStringLiteral("BTM_*")};
    for (const QString& name : save.entryList(stationNames, QDir::Files | QDir::System)) {
        if (!named.contains(name) && !explainedAsCopy(save.filePath(name), pictures)) {
            report.problems.append(QStringLiteral("%1: no record explains it").arg(name));
        }
    }
}

}  // namespace

void verifyFiles(const QString& saveFolder, const std::vector<LoadedRecord>& loaded, int threads,
                 VerifyReport& report) {
    const QDir save(saveFolder);
    const std::map<QString, Latest> latest = latestPerSample(loaded);
    std::vector<ExpectedFile> files = expectedFiles(loaded, latest);
    checkAll(save, files, threads);
    for (const ExpectedFile& file : files) {
        if (!file.problem.isEmpty()) {
            report.problems.append(file.problem);
        }
    }
    findUnexplained(save, latest, report);
    report.samples = static_cast<int>(latest.size());
    report.filesChecked = static_cast<int>(files.size());
}

}  // namespace records
