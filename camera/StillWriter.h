#pragma once

#include "CameraControl.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QString>

namespace camera {

// The image format for a still path's extension, case-insensitive: one that keeps 24-bit colour
// (BMP, JPEG, PNG, PPM, TIFF), BMP for any other or no extension. Throws CameraError
// naming the format and the package that provides it when Qt cannot write that format.
QByteArray stillFormatForPath(const QString& path);
QByteArray stillFormatForPath(const QString& path, const QList<QByteArray>& writableFormats);

// The records' name of the format for a still path: "BMP", "JPEG", "PNG", "PPM" or "TIFF".
QString stillFormatName(const QString& path);

// The file contents of `picture` at 24 bits per pixel in the format for `path`; throws CameraError
// naming the path when it cannot be encoded.
QByteArray encodeStill(const QImage& picture, const QString& path);

// Replaces `path` with `contents` only once the whole file is written; a failure leaves any
// existing file untouched and throws CameraError naming the path. The digest of `contents` is
// computed on another thread while the file is synced. The size and format stay empty.
WrittenStill writeStillFile(const QByteArray& contents, const QString& path);

// Writes `picture` at 24 bits per pixel, replacing `path` only once the whole file is written;
// a failure leaves any existing file untouched and throws CameraError naming the path.
WrittenStill writeStill(const QImage& picture, const QString& path);

}  // namespace camera
