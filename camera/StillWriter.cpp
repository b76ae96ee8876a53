#include "StillWriter.h"

#include "CameraError.h"
#include "Sha256.h"

#include <QBuffer>
#include <QFileInfo>
#include <QImageWriter>
#include <QSaveFile>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cstring>
#include <future>

namespace camera {

namespace {

[[noreturn]] void throwWriteError(const QString& path, const QString& reason) {
    throw StillFileError(QStringLiteral("cannot write the picture to %1: %2").arg(path, reason));
}

constexpr int kJpegQuality = 95;
constexpr qsizetype kBmpHeaderSize = 14 + 40;  // file header, then BITMAPINFOHEADER
constexpr quint32 kPixelsPerMetre = 3780;      // 96 dpi

template <typename T>
char* put(char* at, T value) {
    qToLittleEndian(value, at);
    return at + sizeof(T);
}

// Copies one camera row into a BMP row: blue, green, red per pixel. Camera frames arrive as
// 32-bit pixels whose bytes already are blue, green, red, padding on this little-endian machine,
// so dropping every fourth byte is the whole conversion, done on this thread in one pass.
void copyRowAsBgr(const uchar* source, char* target, int width, QImage::Format format) {
    static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "32-bit pixels are read as B, G, R, X bytes");
    Q_ASSERT(format == QImage::Format_RGB32 || format == QImage::Format_ARGB32);
    Q_UNUSED(format);
    for (int x = 0; x < width; ++x) {
        target[0] = static_cast<char>(source[0]);
        target[1] = static_cast<char>(source[1]);
        target[2] = static_cast<char>(source[2]);
        source += 4;
        target += 3;
    }
}

// A 24-bit bottom-up BMP. Qt's own BMP writer encodes pixel by pixel through several layers and
// takes several times longer on camera-sized pictures.
QByteArray encodeBmp24(const QImage& picture) {
    const bool direct =
        picture.format() == QImage::Format_RGB32 || picture.format() == QImage::Format_ARGB32;
    const QImage bgr = direct ? picture : picture.convertToFormat(QImage::Format_BGR888);
    const qsizetype rowBytes = (qsizetype{bgr.width()} * 3 + 3) & ~qsizetype{3};
    const qsizetype pixelBytes = rowBytes * bgr.height();
    QByteArray file(kBmpHeaderSize + pixelBytes, '\0');

    char* at = file.data();
    *at++ = 'B';
    *at++ = 'M';
    at = put<quint32>(at, static_cast<quint32>(file.size()));
    at = put<quint32>(at, 0);  // reserved
    at = put<quint32>(at, static_cast<quint32>(kBmpHeaderSize));
    at = put<quint32>(at, 40);
    at = put<qint32>(at, bgr.width());
    at = put<qint32>(at, bgr.height());  // positive: the last row comes first
    at = put<quint16>(at, 1);            // planes
    at = put<quint16>(at, 24);           // bits per pixel
    at = put<quint32>(at, 0);            // no compression
    at = put<quint32>(at, static_cast<quint32>(pixelBytes));
    at = put<quint32>(at, kPixelsPerMetre);
    at = put<quint32>(at, kPixelsPerMetre);
    at = put<quint32>(at, 0);  // colours used
    put<quint32>(at, 0);       // important colours

    char* const pixels = file.data() + kBmpHeaderSize;
    const qsizetype copied = std::min<qsizetype>(rowBytes, bgr.bytesPerLine());
    for (int row = 0; row < bgr.height(); ++row) {
        char* const target = pixels + (bgr.height() - 1 - row) * rowBytes;
        if (direct) {
            copyRowAsBgr(bgr.constScanLine(row), target, bgr.width(), bgr.format());
        } else {
            std::memcpy(target, bgr.constScanLine(row), static_cast<std::size_t>(copied));
        }
    }
    return file;
}

QByteArray encodeWithQt(const QImage& picture, const QByteArray& format, const QString& path) {
    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    if (format == "jpg" || format == "jpeg") {
        writer.setQuality(kJpegQuality);
    }
    if (!writer.write(picture.convertToFormat(QImage::Format_RGB888))) {
        throwWriteError(path, writer.errorString());
    }
    return encoded;
}

}  // namespace

QByteArray stillFormatForPath(const QString& path) {
    return stillFormatForPath(path, QImageWriter::supportedImageFormats());
}

QByteArray stillFormatForPath(const QString& path, const QList<QByteArray>& writableFormats) {
    QByteArray suffix = QFileInfo(path).suffix().toLower().toLatin1();
    // The Debian package that gives Qt each colour format: a picture whose bytes do not match
    // its name is worse than no picture, so a missing writer fails the capture.
    struct ColourFormat {
        const char* suffix;
        const char* name;
        const char* package;
    };
    constexpr std::array kColourFormats{ColourFormat{"jpg", "JPEG", "libqt6gui6"},
                                        ColourFormat{"jpeg", "JPEG", "libqt6gui6"},
                                        ColourFormat{"png", "PNG", "libqt6gui6"},
                                        ColourFormat{"ppm", "PPM", "libqt6gui6"},
                                        ColourFormat{"tif", "TIFF", "qt6-image-formats-plugins"},
                                        ColourFormat{"tiff", "TIFF", "qt6-image-formats-plugins"}};
    const auto* const known =
        std::find_if(kColourFormats.begin(), kColourFormats.end(),
                     [&suffix](const ColourFormat& format) { return suffix == format.suffix; });
    if (known == kColourFormats.end()) {
        return QByteArrayLiteral("bmp");  // our own encoder, also for BMP itself
    }
    if (!writableFormats.contains(suffix)) {
        throwWriteError(path, QStringLiteral("Qt cannot write the %1 format here; install the "
                                             "Debian package %2")
                                  .arg(QLatin1String(known->name), QLatin1String(known->package)));
    }
    return suffix;
}

QString stillFormatName(const QString& path) {
    const QByteArray format = stillFormatForPath(path, QImageWriter::supportedImageFormats());
    if (format == "jpg" || format == "jpeg") {
        return QStringLiteral("JPEG");
    }
    if (format == "tif" || format == "tiff") {
        return QStringLiteral("TIFF");
    }
    return QString::fromLatin1(format).toUpper();
}

QByteArray encodeStill(const QImage& picture, const QString& path) {
    const QByteArray format = stillFormatForPath(path);
    return format == "bmp" ? encodeBmp24(picture) : encodeWithQt(picture, format, path);
}

WrittenStill writeStillFile(const QByteArray& contents, const QString& path) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        throwWriteError(path, file.errorString());
    }
    if (file.write(contents) != contents.size()) {
        file.cancelWriting();
        throwWriteError(path, file.errorString());
    }
    // The buffer is hashed while the kernel syncs the same bytes: the digest costs no time of its
    // own, and it is of the bytes as written, not as read back later. The buffer outlives the
    // hash, which is waited for on every path.
    std::future<QByteArray> digest =
        std::async(std::launch::async, [&contents] { return records::sha256Of(contents); });
    const bool committed = file.commit();
    QByteArray sha256 = digest.get();
    if (!committed) {
        throwWriteError(path, file.errorString());
    }
    return {std::move(sha256), contents.size(), {}, {}};
}

WrittenStill writeStill(const QImage& picture, const QString& path) {
    WrittenStill written = writeStillFile(encodeStill(picture, path), path);
    written.size = picture.size();
    written.format = stillFormatName(path);
    return written;
}

}  // namespace camera
