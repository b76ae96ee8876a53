#pragma once

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

// The file contents of `picture` at 24 bits per pixel in the format for `path`; throws CameraError
// naming the path when it cannot be encoded.
QByteArray encodeStill(const QImage& picture, const QString& path);

// Replaces `path` with `contents` only once the whole file is written; a failure leaves any
// existing file untouched and throws CameraError naming the path.
void writeStillFile(const QByteArray& contents, const QString& path);

// Writes `picture` at 24 bits per pixel, replacing `path` only once the whole file is written;
// a failure leaves any existing file untouched and throws CameraError naming the path.
void writeStill(const QImage& picture, const QString& path);

}  // namespace camera
