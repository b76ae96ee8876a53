#include "RecordBook.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <array>
#include <map>
#include <utility>

#include "PlatformError.h"
#include "RecordJson.h"
#include "Sha256.h"
#include "WholeFile.h"

namespace records {

namespace {

struct EventName {
    RecordEventKind kind;
    const char* name;
};

constexpr std::array<EventName, 5> kEventNames{{{RecordEventKind::Capture, "capture"},
                                                {RecordEventKind::Redo, "redo"},
                                                {RecordEventKind::Delete, "delete"},
                                                {RecordEventKind::Forwarded, "forwarded"},
                                                {RecordEventKind::Repaired, "repaired"}}};

// Another writer of the same station (a second process started by mistake) may take a number
// first; each lost race means one more look at the folder.
constexpr int kAttempts = 8;

}  // namespace

QString eventName(RecordEventKind kind) {
    for (const EventName& entry : kEventNames) {
        if (entry.kind == kind) {
            return QString::fromLatin1(entry.name);
        }
    }
    return {};
}

std::optional<RecordEventKind> eventNamed(const QString& name) {
    for (const EventName& entry : kEventNames) {
        if (name == QLatin1String(entry.name)) {
            return entry.kind;
        }
    }
    return std::nullopt;
}

QString defaultRecordsFolder(const QString& saveFolder) {
    return QDir(saveFolder).filePath(QStringLiteral("records"));
}

RecordBook::RecordBook(QString recordsDir, QString station)
    : recordsDir_(std::move(recordsDir)), station_(std::move(station)) {}

std::shared_ptr<RecordBook> RecordBook::of(const QString& recordsDir, const QString& station) {
    static std::mutex booksMutex;
    static std::map<std::pair<QString, QString>, std::shared_ptr<RecordBook>> books;
    const std::lock_guard lock(booksMutex);
    std::shared_ptr<RecordBook>& book = books[{QDir(recordsDir).absolutePath(), station}];
    if (book == nullptr) {
        book = std::make_shared<RecordBook>(recordsDir, station);
    }
    return book;
}

QString RecordBook::stationFolder() const {
    return QDir(recordsDir_).filePath(stationFolderName(station_));
}

// The station's highest sequence number in the folder, whatever its bytes: a record that no
// longer parses still holds its place in the chain.
RecordBook::ChainEnd RecordBook::findChainEnd() const {
    const QDir folder(stationFolder());
    ChainEnd end;
    QString last;
    for (const QString& name : folder.entryList(QDir::Files)) {
        const std::optional<qint64> sequence = sequenceOfRecordFileName(name);
        if (sequence && *sequence > end.sequence) {
            end.sequence = *sequence;
            last = name;
        }
    }
    if (!last.isEmpty()) {
        end.sha256 = sha256OfFile(folder.filePath(last));
    }
    return end;
}

std::optional<Record> RecordBook::latestPairOf(const QString& sample) const {
    const QDir folder(stationFolder());
    std::vector<std::pair<qint64, QString>> candidates;
    for (const RecordEventKind kind :
         {RecordEventKind::Capture, RecordEventKind::Redo, RecordEventKind::Forwarded}) {
        // The name carries the sample, so only its own records are read.
        const QString ending = recordFileName(0, kind, sample).mid(8);
        for (const QString& name : folder.entryList({QStringLiteral("*") + ending}, QDir::Files)) {
            if (const std::optional<qint64> sequence = sequenceOfRecordFileName(name)) {
                candidates.emplace_back(*sequence, name);
            }
        }
    }
    std::sort(candidates.rbegin(), candidates.rend());  // the newest first
    for (const auto& [sequence, name] : candidates) {
        QFile file(folder.filePath(name));
        try {
            if (file.open(QIODevice::ReadOnly)) {
                Record record = recordOfBytes(file.readAll());
                if (record.event.sample == sample && !record.event.pictures.empty()) {
                    return record;
                }
            }
        } catch (const platform::FileAccessError&) {  // NOLINT(bugprone-empty-catch)
            // An unreadable record is the verifier's to report; an older one may still answer.
        }
    }
    return std::nullopt;
}

Record RecordBook::write(const RecordEvent& event) {
    const std::lock_guard lock(mutex_);
    makeFolder(stationFolder());
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (!end_) {
            end_ = findChainEnd();
        }
        Record record{event, station_, end_->sequence + 1, end_->sha256, {}, {}};
        const QString name = recordFileName(record.sequence, event.kind, event.sample);
        record.fileName = stationFolderName(station_) + QLatin1Char('/') + name;
        const QByteArray bytes = recordBytes(record);
        if (writeNewWholeFile(QDir(stationFolder()).filePath(name), bytes)) {
            record.sha256 = sha256Of(bytes);
            end_ = ChainEnd{record.sequence, record.sha256};
            return record;
        }
        end_.reset();
    }
    throw platform::FileAccessError(
        QStringLiteral("cannot write a record into %1: its numbers are taken")
            .arg(stationFolder()));
}

}  // namespace records
