#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

namespace camera {

// The image format for a still path's extension, case-insensitive: one that keeps 24-bit colour
// (BMP, JPEG, PNG, PPM, TIFF when available), BMP for any other or no extension.
QByteArray stillFormatForPath(const QString& path);

// Writes `picture` at 24 bits per pixel, replacing `path` only once the whole file is written;
// a failure leaves any existing file untouched and throws VideoControlError naming the path.
void writeStill(const QImage& picture, const QString& path);

}  // namespace camera
