#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

#include "RecordBook.h"

namespace records {

// A station's name as a folder name: characters other than letters, digits, '.', '_' and '-'
// become '_', and it never starts with '.'.
QString stationFolderName(const QString& station);

// "00000012-redo-12345678.json": never led by CLR_ or BTM_, so that nothing watching for the
// pictures' names takes a record for one.
QString recordFileName(qint64 sequence, RecordEventKind kind, const QString& sample);
std::optional<qint64> sequenceOfRecordFileName(const QString& fileName);

// The record's bytes as written; its file name and digest are not part of them.
QByteArray recordBytes(const Record& record);
// Throws platform::FileAccessError naming what is malformed.
Record recordOfBytes(const QByteArray& bytes);

}  // namespace records
