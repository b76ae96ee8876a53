#include "RecordVerifier.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <map>
#include <tuple>

#include "PlatformError.h"
#include "RecordJson.h"
#include "Sha256.h"

namespace records {

namespace {

LoadedRecord loadRecord(const QDir& stationFolder, const QString& name, qint64 sequence) {
    LoadedRecord loaded;
    loaded.station = stationFolder.dirName();
    loaded.fileName = loaded.station + QLatin1Char('/') + name;
    loaded.sequence = sequence;
    QFile file(stationFolder.filePath(name));
    if (!file.open(QIODevice::ReadOnly)) {
        loaded.error = file.errorString();
        return loaded;
    }
    const QByteArray bytes = file.readAll();
    loaded.sha256 = sha256Of(bytes);
    try {
        loaded.record = recordOfBytes(bytes);
    } catch (const platform::FileAccessError& e) {
        loaded.error = e.message();
    }
    return loaded;
}

QString sequenceRange(qint64 first, qint64 last) {
    return first == last ? QStringLiteral("record %1 is missing").arg(first)
                         : QStringLiteral("records %1 to %2 are missing").arg(first).arg(last);
}

// Whether a record's contents still agree with its own name and its place in the chain.
void checkOwnName(const LoadedRecord& loaded, QStringList& problems) {
    if (!loaded.record) {
        problems.append(
            QStringLiteral("record %1 cannot be read: %2").arg(loaded.fileName, loaded.error));
        return;
    }
    const Record& record = *loaded.record;
    if (record.sequence != loaded.sequence || stationFolderName(record.station) != loaded.station ||
        (loaded.sequence == 1 && !record.previousSha256.isEmpty())) {
        problems.append(QStringLiteral("record %1 was altered: its number or station is not "
                                       "the one of its name")
                            .arg(loaded.fileName));
    }
}

// One station's records in order of their numbers: gaps, duplicates and broken links.
void verifyChain(const std::vector<const LoadedRecord*>& chain, VerifyReport& report) {
    const int before = static_cast<int>(report.problems.size());
    const LoadedRecord* previous = nullptr;
    for (const LoadedRecord* loaded : chain) {
        checkOwnName(*loaded, report.problems);
        const qint64 expected = previous ? previous->sequence + 1 : 1;
        if (previous && loaded->sequence == previous->sequence) {
            report.problems.append(QStringLiteral("records %1 and %2 have the same number")
                                       .arg(previous->fileName, loaded->fileName));
        } else if (loaded->sequence > expected) {
            report.problems.append(
                QStringLiteral("station %1: %2")
                    .arg(loaded->station, sequenceRange(expected, loaded->sequence - 1)));
        } else if (previous && loaded->record &&
                   loaded->record->previousSha256 != previous->sha256) {
            report.problems.append(
                QStringLiteral("record %1 was altered: record %2 holds another SHA-256 for it")
                    .arg(previous->fileName, loaded->fileName));
        }
        previous = loaded;
    }
    // No later record vouches for the newest one: an auditor notes its digest to compare later.
    const bool whole = report.problems.size() == before;
    report.stations.append(QStringLiteral("station %1: %2 records, chain %3; newest %4 SHA-256 %5")
                               .arg(chain.front()->station)
                               .arg(chain.size())
                               .arg(whole ? QStringLiteral("whole") : QStringLiteral("broken"))
                               .arg(chain.back()->sequence)
                               .arg(QString::fromLatin1(chain.back()->sha256.toHex())));
}

}  // namespace

std::vector<LoadedRecord> loadRecords(const QString& recordsFolder) {
    std::vector<LoadedRecord> loaded;
    const QDir folder(recordsFolder);
    for (const QString& station : folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QDir stationFolder(folder.filePath(station));
        for (const QString& name : stationFolder.entryList(QDir::Files)) {
            if (const std::optional<qint64> sequence = sequenceOfRecordFileName(name)) {
                loaded.push_back(loadRecord(stationFolder, name, *sequence));
            }
        }
    }
    std::sort(loaded.begin(), loaded.end(), [](const LoadedRecord& a, const LoadedRecord& b) {
        return std::tie(a.station, a.sequence, a.fileName) <
               std::tie(b.station, b.sequence, b.fileName);
    });
    return loaded;
}

VerifyReport verifySaveFolder(const VerifyOptions& options) {
    const QString recordsFolder = options.recordsFolder.isEmpty()
                                      ? defaultRecordsFolder(options.saveFolder)
                                      : options.recordsFolder;
    VerifyReport report;
    if (!QDir(options.saveFolder).exists()) {
        report.problems.append(
            QStringLiteral("the save folder %1 does not exist").arg(options.saveFolder));
        return report;
    }
    const std::vector<LoadedRecord> loaded = loadRecords(recordsFolder);
    std::map<QString, std::vector<const LoadedRecord*>> chains;
    for (const LoadedRecord& record : loaded) {
        chains[record.station].push_back(&record);
    }
    for (const auto& [station, chain] : chains) {
        verifyChain(chain, report);
    }
    verifyFiles(options.saveFolder, loaded, options.threads, report);
    return report;
}

QStringList sampleHistory(const QString& recordsFolder, const QString& sample) {
    std::vector<const Record*> events;
    const std::vector<LoadedRecord> loaded = loadRecords(recordsFolder);
    for (const LoadedRecord& record : loaded) {
        if (record.record && record.record->event.sample == sample) {
            events.push_back(&*record.record);
        }
    }
    // The records come by station and number; among equal times they keep that order.
    std::sort(events.begin(), events.end(), [](const Record* a, const Record* b) {
        return std::tie(a->event.time, a->station, a->sequence) <
               std::tie(b->event.time, b->station, b->sequence);
    });
    QStringList lines;
    for (const Record* record : events) {
        QStringList parts{localText(record->event.time), eventName(record->event.kind),
                          QStringLiteral("%1 #%2").arg(record->station).arg(record->sequence),
                          record->event.user};
        for (const RecordedFile& file : record->event.files) {
            parts.append(file.name);
        }
        for (const KeptFile& kept : record->event.kept) {
            parts.append(kept.name + QStringLiteral(" -> ") + kept.keptAs);
        }
        lines.append(parts.join(QStringLiteral("  ")));
    }
    return lines;
}

}  // namespace records
