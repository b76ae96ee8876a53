#include "EmbeddedProvenance.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <cmath>
#include <exiv2/exiv2.hpp>
#include <mutex>

#include "PlatformError.h"

// Exiv2 0.27 hands its images out in std::auto_ptr.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace records {

namespace {

// The XMP toolkit is process-wide: it is set up once, before any use, and given a lock for the
// namespace table that decoding a copy's packet may add to from several threads at once (two
// copies finishing together). Exiv2 may take the lock again while holding it.
std::recursive_mutex xmpToolkitMutex;

void lockXmpToolkit(void* /*data*/, bool lock) {
    if (lock) {
        xmpToolkitMutex.lock();
    } else {
        xmpToolkitMutex.unlock();
    }
}

void initialiseXmp() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Failures reach the caller as exceptions; Exiv2's own warnings would only go to stderr.
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize(lockXmpToolkit, nullptr);
        Exiv2::XmpProperties::registerNs(kStationXmpUri, kStationXmpPrefix);
    });
}

std::string utf8(const QString& text) {
    return text.toStdString();
}

QString uuidUrn(const QUuid& id) {
    return QStringLiteral("uuid:") + idText(id);
}

QUuid idOfUrn(const std::string& text) {
    return QUuid::fromString(QString::fromStdString(text).remove(QStringLiteral("uuid:")));
}

// Control and identity names become XMP property names, which must be XML names.
QString propertyName(const QString& group, const QString& name) {
    static const QRegularExpression notNameCharacter(QStringLiteral("[^A-Za-z0-9_]"));
    return group + QString(name).replace(notNameCharacter, QStringLiteral("_"));
}

void setStation(Exiv2::XmpData& xmp, const QString& property, const QString& value) {
    xmp[utf8(QStringLiteral("Xmp.station.") + property)] = utf8(value);
}

// What the picture itself and every copy of it say of it; the document is the picture or the copy.
void writeAcquisitionXmp(Exiv2::XmpData& xmp, const AcquisitionMetadata& original,
                         const QUuid& documentId) {
    xmp["Xmp.dc.identifier"] = utf8(original.sample);
    xmp["Xmp.xmpMM.DocumentID"] = utf8(uuidUrn(documentId));
    xmp["Xmp.xmpMM.InstanceID"] = utf8(uuidUrn(documentId));
    setStation(xmp, QStringLiteral("captureId"), idText(original.captureId));
    setStation(xmp, QStringLiteral("view"), viewName(original.view));
    setStation(xmp, QStringLiteral("cameraIndex"), QString::number(original.cameraIndex));
    setStation(xmp, QStringLiteral("time"), localText(original.time));
    setStation(xmp, QStringLiteral("host"), original.station.host);
    setStation(xmp, QStringLiteral("user"), original.station.user);
    setStation(xmp, QStringLiteral("programVersion"), original.station.programVersion);
    for (const auto& [name, value] : original.camera) {
        setStation(xmp, propertyName(QStringLiteral("camera_"), name), value);
    }
    for (const auto& [name, reading] : original.controls) {
        const QString text = reading.readable()
                                 ? reading.value.toVariant().toString()
                                 : QStringLiteral("unreadable: ") + reading.unreadableReason;
        setStation(xmp, propertyName(QStringLiteral("control_"), name), text);
    }
}

void writeXmp(Exiv2::XmpData& xmp, const AcquisitionMetadata& original, const QUuid& copyId) {
    writeAcquisitionXmp(xmp, original, copyId);
    if (xmp.findKey(Exiv2::XmpKey("Xmp.xmpMM.DerivedFrom")) == xmp.end()) {
        Exiv2::XmpTextValue structure;
        structure.setXmpStruct();
        xmp.add(Exiv2::XmpKey("Xmp.xmpMM.DerivedFrom"), &structure);
    }
    xmp["Xmp.xmpMM.DerivedFrom/stRef:documentID"] = utf8(uuidUrn(original.pictureId));
    setStation(xmp, QStringLiteral("originalSHA256"), QString::fromLatin1(original.sha256.toHex()));
}

QString cameraField(const AcquisitionMetadata& original, const QString& key,
                    const QString& fallbackKey) {
    const auto found = original.camera.find(key);
    if (found != original.camera.end()) {
        return found->second;
    }
    const auto fallback = original.camera.find(fallbackKey);
    return fallback != original.camera.end() ? fallback->second : QString();
}

// EXIF's "+01:00".
QString offsetText(int seconds) {
    const int minutes = std::abs(seconds) / 60;
    return QStringLiteral("%1%2:%3")
        .arg(seconds < 0 ? QLatin1Char('-') : QLatin1Char('+'))
        .arg(minutes / 60, 2, 10, QLatin1Char('0'))
        .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

// V4L2 counts the absolute exposure time in units of 100 µs.
void writeExposure(Exiv2::ExifData& exif, const AcquisitionMetadata& original) {
    const auto found = original.controls.find(QStringLiteral("exposure_time_absolute"));
    if (found == original.controls.end() || !found->second.readable() ||
        !found->second.value.isDouble()) {
        return;
    }
    const auto units = static_cast<int32_t>(std::lround(found->second.value.toDouble()));
    if (units > 0) {
        exif["Exif.Photo.ExposureTime"] = Exiv2::URational(static_cast<uint32_t>(units), 10000);
    }
}

void writeExif(Exiv2::ExifData& exif, const AcquisitionMetadata& original) {
    const QDateTime local = original.time.toOffsetFromUtc(original.time.offsetFromUtc());
    exif["Exif.Photo.DateTimeOriginal"] =
        utf8(local.toString(QStringLiteral("yyyy:MM:dd HH:mm:ss")));
    exif["Exif.Photo.SubSecTimeOriginal"] = utf8(local.toString(QStringLiteral("zzz")));
    exif["Exif.Photo.OffsetTimeOriginal"] = utf8(offsetText(local.offsetFromUtc()));
    const QString make = cameraField(original, QStringLiteral("make"), QStringLiteral("driver"));
    const QString model = cameraField(original, QStringLiteral("model"), QStringLiteral("name"));
    if (!make.isEmpty()) {
        exif["Exif.Image.Make"] = utf8(make);
    }
    if (!model.isEmpty()) {
        exif["Exif.Image.Model"] = utf8(model);
    }
    writeExposure(exif, original);
}

Exiv2::Image::AutoPtr openImage(const QString& path) {
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    image->readMetadata();
    return image;
}

[[noreturn]] void throwExiv2(const QString& what, const QString& path, const std::exception& e) {
    throw platform::FileAccessError(
        QStringLiteral("cannot %1 %2: %3").arg(what, path, QString::fromLocal8Bit(e.what())));
}

}  // namespace

void embedProvenance(const QString& path, const AcquisitionMetadata& original,
                     const QUuid& copyId) {
    initialiseXmp();
    try {
        Exiv2::Image::AutoPtr image = openImage(path);
        writeXmp(image->xmpData(), original, copyId);
        writeExif(image->exifData(), original);
        image->writeMetadata();
    } catch (const Exiv2::AnyError& e) {
        throwExiv2(QStringLiteral("write the metadata of"), path, e);
    }
}

bool carriesXmp(const QString& path) {
    const QString extension = path.mid(path.lastIndexOf(QLatin1Char('.')) + 1).toLower();
    return QStringList{QStringLiteral("jpg"), QStringLiteral("jpeg"), QStringLiteral("png"),
                       QStringLiteral("tif"), QStringLiteral("tiff")}
        .contains(extension);
}

QByteArray withPictureMetadata(const QByteArray& encoded, const AcquisitionMetadata& picture) {
    initialiseXmp();
    try {
        Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(
            reinterpret_cast<const Exiv2::byte*>(encoded.constData()),  // NOLINT: Exiv2's bytes
            static_cast<long>(encoded.size()));
        image->readMetadata();
        writeAcquisitionXmp(image->xmpData(), picture, picture.pictureId);
        writeExif(image->exifData(), picture);
        image->writeMetadata();
        Exiv2::BasicIo& io = image->io();
        if (io.open() != 0) {
            throw Exiv2::Error(Exiv2::kerDataSourceOpenFailed, "memory");
        }
        const Exiv2::DataBuf bytes = io.read(static_cast<long>(io.size()));
        io.close();
        return {reinterpret_cast<const char*>(bytes.pData_),  // NOLINT: Exiv2's bytes
                static_cast<qsizetype>(bytes.size_)};
    } catch (const Exiv2::AnyError& e) {
        throw platform::FileAccessError(
            QStringLiteral("cannot embed the metadata of the picture of sample %1: %2")
                .arg(picture.sample, QString::fromLocal8Bit(e.what())));
    }
}

CopyProvenance readProvenance(const QString& path) {
    initialiseXmp();
    try {
        const Exiv2::Image::AutoPtr image = openImage(path);
        const Exiv2::XmpData& xmp = image->xmpData();
        const auto text = [&xmp](const char* key) {
            const auto found = xmp.findKey(Exiv2::XmpKey(key));
            return found == xmp.end() ? std::string() : found->toString();
        };
        return {QString::fromStdString(text("Xmp.dc.identifier")),
                idOfUrn(text("Xmp.xmpMM.DocumentID")),
                idOfUrn(text("Xmp.xmpMM.DerivedFrom/stRef:documentID")),
                QByteArray::fromHex(QByteArray::fromStdString(text("Xmp.station.originalSHA256")))};
    } catch (const Exiv2::AnyError& e) {
        throwExiv2(QStringLiteral("read the metadata of"), path, e);
    }
}

}  // namespace records
