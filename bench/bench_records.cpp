// Makes a save folder as a day of captures leaves it, for timing station-records verify: COUNT
// samples, each a colour and a bottom BMP of WIDTHxHEIGHT, their JPEG copies carrying their
// provenance, and one capture record naming all four files.
// Usage: bench_records FOLDER COUNT WIDTHxHEIGHT
#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTextStream>
#include <cstdint>

#include "AcquisitionMetadata.h"
#include "EmbeddedProvenance.h"
#include "PlatformError.h"
#include "RecordBook.h"
#include "Sha256.h"

using namespace records;

namespace {

// Noise, so that the copies have the size of real pictures rather than of a flat colour.
QImage pictureOf(QSize size, std::uint32_t seed) {
    QImage image(size, QImage::Format_RGB888);
    std::uint32_t state = seed * 2654435761U + 1U;
    for (int y = 0; y < size.height(); ++y) {
        uchar* line = image.scanLine(y);
        for (int x = 0; x < size.width() * 3; ++x) {
            state = state * 1664525U + 1013904223U;
            line[x] = static_cast<uchar>((x / 3 + y + (state >> 28)) & 0xff);
        }
    }
    return image;
}

QByteArray encoded(const QImage& image, const char* format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        throw platform::FileAccessError(QStringLiteral("cannot write %1").arg(path));
    }
}

RecordEvent captureOf(const QDir& save, const QString& sample, QSize size, std::uint32_t seed) {
    RecordEvent event;
    event.sample = sample;
    const QUuid captureId = QUuid::createUuid();
    for (const PictureView view : {PictureView::Color, PictureView::Bottom}) {
        const QString stem =
            (view == PictureView::Color ? QStringLiteral("CLR_") : QStringLiteral("BTM_")) +
            sample + QStringLiteral("_01");
        const QImage image = pictureOf(size, seed * 2 + (view == PictureView::Color ? 0 : 1));
        const QByteArray picture = encoded(image, "BMP");
        writeFile(save.filePath(stem + QStringLiteral(".BMP")), picture);
        AcquisitionMetadata metadata =
            newPictureMetadata(sample, view, view == PictureView::Color ? 1 : 0, captureId);
        metadata.size = size;
        metadata.format = QStringLiteral("BMP");
        metadata.sha256 = sha256Of(picture);
        const QString copy = save.filePath(stem + QStringLiteral(".JPG"));
        writeFile(copy, encoded(image, "JPG"));
        const QUuid copyId = QUuid::createUuid();
        embedProvenance(copy, metadata, copyId);
        event.files.push_back(
            {stem + QStringLiteral(".BMP"), metadata.sha256, metadata.pictureId, {}});
        event.files.push_back(
            {stem + QStringLiteral(".JPG"), sha256OfFile(copy), copyId, metadata.pictureId});
        event.pictures.push_back(metadata);
    }
    return event;
}

}  // namespace

int main(int argc, char* argv[]) {
    const QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const QStringList sizeText = arguments.value(3).split(QLatin1Char('x'));
    const int count = arguments.value(2).toInt();
    const QSize size(sizeText.value(0).toInt(), sizeText.value(1).toInt());
    if (arguments.size() != 4 || count <= 0 || size.isEmpty()) {
        QTextStream(stderr) << "usage: bench_records FOLDER COUNT WIDTHxHEIGHT\n";
        return 2;
    }
    try {
        const QDir save(arguments[1]);
        if (!QDir().mkpath(save.path())) {
            throw platform::FileAccessError(QStringLiteral("cannot make %1").arg(save.path()));
        }
        RecordBook book(defaultRecordsFolder(save.path()), QStringLiteral("bench-station"));
        for (int i = 0; i < count; ++i) {
            const QString sample = QStringLiteral("%1").arg(10000000 + i);
            book.write(captureOf(save, sample, size, static_cast<std::uint32_t>(i)));
        }
    } catch (const platform::PlatformError& e) {
        QTextStream(stderr) << e.message() << '\n';
        return 1;
    }
    return 0;
}
