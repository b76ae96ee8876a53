#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

#include "RecordBook.h"

namespace records {

struct VerifyOptions {
    QString saveFolder;
    QString recordsFolder;  // empty: records/ inside the save folder
    int threads = 2;        // files hashed at once
};

// What an auditor learns of a save folder: a line per station, and one per problem, each naming
// the record or file. Names are relative to the save folder, so a copied folder verifies as well.
struct VerifyReport {
    QStringList stations;
    QStringList problems;
    int samples = 0;
    int filesChecked = 0;
    bool ok() const { return problems.isEmpty(); }
};

// Every station's chain whole, every file that the latest record of each sample names (and every
// kept file) present with its recorded SHA-256, and no CLR_*/BTM_* file in the save folder that no
// record explains. A compressed copy that no record names is explained when its embedded
// provenance names a picture of its sample's latest record with that picture's SHA-256.
VerifyReport verifySaveFolder(const VerifyOptions& options);

// A sample's events, oldest first, one line each.
QStringList sampleHistory(const QString& recordsFolder, const QString& sample);

// One record file as the verifier reads it: its digest, and its contents unless they are
// malformed.
struct LoadedRecord {
    QString station;   // the folder it lies in
    QString fileName;  // relative to the records folder
    qint64 sequence = 0;
    QByteArray sha256;
    std::optional<Record> record;
    QString error;
};

// Every record of every station, by station and sequence number.
std::vector<LoadedRecord> loadRecords(const QString& recordsFolder);

// The files part of the verification: hashes, missing and unexplained files, into REPORT.
void verifyFiles(const QString& saveFolder, const std::vector<LoadedRecord>& loaded, int threads,
                 VerifyReport& report);

}  // namespace records
