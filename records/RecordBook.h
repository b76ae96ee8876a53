#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUuid>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "AcquisitionMetadata.h"

namespace records {

enum class RecordEventKind { Capture, Redo, Delete, Forwarded, Repaired };

QString eventName(RecordEventKind kind);  // "capture", "redo", ...
std::optional<RecordEventKind> eventNamed(const QString& name);

// A file under its final name, relative to the save folder. A compressed copy names the picture
// it was made from.
struct RecordedFile {
    QString name;
    QByteArray sha256;
    QUuid id;
    QUuid derivedFrom;
    bool operator==(const RecordedFile&) const = default;
};

// A file that a new pair or a delete moved out of the way, and where it went (relative to the save
// folder: superseded/... or deleted/...).
struct KeptFile {
    QString name;
    QString keptAs;
    QByteArray sha256;
    bool operator==(const KeptFile&) const = default;
};

// One event that puts files under their final names or takes them away.
struct RecordEvent {
    RecordEventKind kind = RecordEventKind::Capture;
    QString sample;
    QDateTime time = acquisitionTimeNow();
    QString user = thisStation().user;
    std::vector<RecordedFile> files;
    std::vector<AcquisitionMetadata> pictures;
    QUuid supersedes;  // the capture id a redo replaces
    std::vector<KeptFile> kept;
    // False when the station was set not to keep replaced and deleted pictures: a redo overwrote
    // the earlier pair, a delete removed the pictures.
    bool originalsKept = true;
    bool operator==(const RecordEvent&) const = default;
};

// A record as written: its place in the station's chain and the digest of its file's bytes.
struct Record {
    RecordEvent event;
    QString station;
    qint64 sequence = 0;
    QByteArray previousSha256;  // empty for a station's first record
    QString fileName;  // relative to the records folder: STATION/SEQUENCE-EVENT-SAMPLE.json
    QByteArray sha256;
};

// "records" inside the save folder, unless a setting names another folder.
QString defaultRecordsFolder(const QString& saveFolder);

// One station's chain of records in RECORDS_DIR/STATION/. Each record is written whole, synced
// and renamed into place, with the next sequence number and the SHA-256 of the station's previous
// record; a book made after a restart finds that record in the folder. Safe from several threads.
class RecordBook {
public:
    RecordBook(QString recordsDir, QString station);

    // The one book of this process for a records folder and station, shared by the window and the
    // threads that forward pairs, so that their records follow each other in one chain.
    static std::shared_ptr<RecordBook> of(const QString& recordsDir, const QString& station);

    // Throws platform::FileAccessError when the folder cannot be written.
    Record write(const RecordEvent& event);

    QString stationFolder() const;

    // The station's latest record of SAMPLE that put pictures under their names (a capture, redo
    // or forwarded pair), when the folder holds one that can be read.
    std::optional<Record> latestPairOf(const QString& sample) const;

private:
    struct ChainEnd {
        qint64 sequence = 0;
        QByteArray sha256;
    };
    ChainEnd findChainEnd() const;

    QString recordsDir_;
    QString station_;
    std::mutex mutex_;
    std::optional<ChainEnd> end_;
};

}  // namespace records
