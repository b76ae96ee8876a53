#pragma once

#include <QByteArray>
#include <QString>
#include <QUuid>

#include "AcquisitionMetadata.h"

namespace records {

// The station's own XMP namespace for what no standard schema holds.
inline constexpr auto kStationXmpPrefix = "station";
inline constexpr auto kStationXmpUri = "http://ns.example.org/sample-image-station/1.0/";

// Writes into an existing JPEG, PNG or TIFF file (a compressed copy, before it takes its final
// name) what ties it to its original: XMP dc:identifier (the sample), xmpMM:DocumentID (the copy's
// id), xmpMM:DerivedFrom (the original's id), the original's SHA-256 and the rest of its
// acquisition metadata in the station namespace, and EXIF DateTimeOriginal, OffsetTimeOriginal,
// Make, Model and ExposureTime where known. Metadata already in the file is kept. Throws
// platform::FileAccessError naming the file.
void embedProvenance(const QString& path, const AcquisitionMetadata& original, const QUuid& copyId);

// Whether a picture written to PATH carries XMP: its extension names JPEG, PNG or TIFF, as the
// still writer picks the format.
bool carriesXmp(const QString& path);

// The encoded picture (JPEG, PNG or TIFF) with its own acquisition metadata embedded: XMP
// dc:identifier, xmpMM:DocumentID (the picture's id) and the rest in the station namespace, and
// the EXIF fields as in a copy. Its digest cannot be among them: it is of these bytes. Throws
// platform::FileAccessError when the bytes cannot be read as such a picture.
QByteArray withPictureMetadata(const QByteArray& encoded, const AcquisitionMetadata& picture);

// What a copy says of itself; empty members where it says nothing.
struct CopyProvenance {
    QString sample;
    QUuid copyId;
    QUuid originalId;
    QByteArray originalSha256;
};

// Throws platform::FileAccessError naming the file when it cannot be read as an image.
CopyProvenance readProvenance(const QString& path);

}  // namespace records
