#include "AcquisitionMetadata.h"

#include <pwd.h>
#include <unistd.h>
#include <QSysInfo>
#include <array>

#include "PlatformError.h"

namespace records {

namespace {

[[noreturn]] void throwMalformed(const QString& what) {
    throw platform::FileAccessError(QStringLiteral("acquisition metadata: %1").arg(what));
}

QString required(const QJsonObject& json, const QString& key) {
    const QJsonValue value = json.value(key);
    if (!value.isString()) {
        throwMalformed(QStringLiteral("\"%1\" is missing").arg(key));
    }
    return value.toString();
}

QUuid requiredId(const QJsonObject& json, const QString& key) {
    const QUuid id = QUuid::fromString(required(json, key));
    if (id.isNull()) {
        throwMalformed(QStringLiteral("\"%1\" is no identifier").arg(key));
    }
    return id;
}

QString osUser() {
    std::array<char, 4096> buffer{};
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
        return QString::fromLocal8Bit(found->pw_name);
    }
    return qEnvironmentVariable("USER", QString::number(::geteuid()));
}

QJsonObject controlsJson(const std::map<QString, ControlReading>& controls) {
    QJsonObject json;
    for (const auto& [name, reading] : controls) {
        json.insert(name, reading.readable() ? reading.value
                                             : QJsonObject{{QStringLiteral("unreadable"),
                                                            reading.unreadableReason}});
    }
    return json;
}

std::map<QString, ControlReading> controlsOf(const QJsonObject& json) {
    std::map<QString, ControlReading> controls;
    for (auto it = json.begin(); it != json.end(); ++it) {
        const QJsonValue value = it.value();
        if (value.isObject()) {
            controls[it.key()] = ControlReading::unreadable(
                value.toObject().value(QStringLiteral("unreadable")).toString());
        } else {
            controls[it.key()] = ControlReading::of(value);
        }
    }
    return controls;
}

}  // namespace

QString viewName(PictureView view) {
    return view == PictureView::Color ? QStringLiteral("colour") : QStringLiteral("bottom");
}

std::optional<PictureView> viewNamed(const QString& name) {
    if (name == viewName(PictureView::Color)) {
        return PictureView::Color;
    }
    if (name == viewName(PictureView::Bottom)) {
        return PictureView::Bottom;
    }
    return std::nullopt;
}

StationIdentity thisStation() {
    return {QSysInfo::machineHostName(), osUser(), QStringLiteral(STATION_VERSION)};
}

QDateTime acquisitionTimeNow() {
    const QDateTime now = QDateTime::currentDateTime();
    return now.toOffsetFromUtc(now.offsetFromUtc());
}

AcquisitionMetadata newPictureMetadata(const QString& scannedSample, PictureView view,
                                       int cameraIndex, const QUuid& captureId) {
    AcquisitionMetadata metadata;
    metadata.sample = scannedSample.trimmed();
    metadata.view = view;
    metadata.cameraIndex = cameraIndex;
    metadata.captureId = captureId;
    metadata.pictureId = QUuid::createUuid();
    metadata.time = acquisitionTimeNow();
    metadata.station = thisStation();
    return metadata;
}

QString utcText(const QDateTime& time) {
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QString localText(const QDateTime& time) {
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QString idText(const QUuid& id) {
    return id.toString(QUuid::WithoutBraces);
}

QJsonObject toJson(const AcquisitionMetadata& metadata) {
    QJsonObject camera;
    for (const auto& [name, value] : metadata.camera) {
        camera.insert(name, value);
    }
    return {
        {QStringLiteral("sample"), metadata.sample},
        {QStringLiteral("view"), viewName(metadata.view)},
        {QStringLiteral("cameraIndex"), metadata.cameraIndex},
        {QStringLiteral("captureId"), idText(metadata.captureId)},
        {QStringLiteral("pictureId"), idText(metadata.pictureId)},
        {QStringLiteral("time"), utcText(metadata.time)},
        {QStringLiteral("localTime"), localText(metadata.time)},
        {QStringLiteral("host"), metadata.station.host},
        {QStringLiteral("user"), metadata.station.user},
        {QStringLiteral("programVersion"), metadata.station.programVersion},
        {QStringLiteral("camera"), camera},
        {QStringLiteral("controls"), controlsJson(metadata.controls)},
        {QStringLiteral("width"), metadata.size.width()},
        {QStringLiteral("height"), metadata.size.height()},
        {QStringLiteral("format"), metadata.format},
        {QStringLiteral("sha256"), QString::fromLatin1(metadata.sha256.toHex())},
    };
}

AcquisitionMetadata metadataFromJson(const QJsonObject& json) {
    AcquisitionMetadata metadata;
    metadata.sample = required(json, QStringLiteral("sample"));
    const std::optional<PictureView> view = viewNamed(required(json, QStringLiteral("view")));
    if (!view) {
        throwMalformed(QStringLiteral("\"view\" names no view"));
    }
    metadata.view = *view;
    metadata.cameraIndex = json.value(QStringLiteral("cameraIndex")).toInt(-1);
    metadata.captureId = requiredId(json, QStringLiteral("captureId"));
    metadata.pictureId = requiredId(json, QStringLiteral("pictureId"));
    metadata.time =
        QDateTime::fromString(required(json, QStringLiteral("localTime")), Qt::ISODateWithMs);
    if (!metadata.time.isValid()) {
        throwMalformed(QStringLiteral("\"localTime\" is no time"));
    }
    metadata.station = {json.value(QStringLiteral("host")).toString(),
                        json.value(QStringLiteral("user")).toString(),
                        json.value(QStringLiteral("programVersion")).toString()};
    const QJsonObject camera = json.value(QStringLiteral("camera")).toObject();
    for (auto it = camera.begin(); it != camera.end(); ++it) {
        metadata.camera[it.key()] = it.value().toString();
    }
    metadata.controls = controlsOf(json.value(QStringLiteral("controls")).toObject());
    metadata.size = {json.value(QStringLiteral("width")).toInt(),
                     json.value(QStringLiteral("height")).toInt()};
    metadata.format = json.value(QStringLiteral("format")).toString();
    metadata.sha256 =
        QByteArray::fromHex(json.value(QStringLiteral("sha256")).toString().toLatin1());
    return metadata;
}

}  // namespace records
