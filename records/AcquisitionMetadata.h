#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QSize>
#include <QString>
#include <QUuid>
#include <map>
#include <optional>

namespace records {

enum class PictureView { Color, Bottom };

QString viewName(PictureView view);  // "colour" or "bottom"
std::optional<PictureView> viewNamed(const QString& name);

// One camera control as read at the still: its value as the camera reports it (a number, text or
// flag), or the reason it could not be read. An unreadable control is never given a value.
struct ControlReading {
    QJsonValue value;
    QString unreadableReason;

    static ControlReading of(const QJsonValue& value) { return {value, {}}; }
    static ControlReading unreadable(const QString& reason) {
        return {QJsonValue::Undefined, reason};
    }
    bool readable() const { return unreadableReason.isEmpty(); }
    bool operator==(const ControlReading&) const = default;
};

// Who took a picture, where and with what: host, OS user and program version.
struct StationIdentity {
    QString host;
    QString user;
    QString programVersion;
    bool operator==(const StationIdentity&) const = default;
};

// This process's station: the host name, the OS user it runs as and the program's version.
StationIdentity thisStation();

// Now, to the millisecond, in local time with its offset from UTC.
QDateTime acquisitionTimeNow();

// Everything known about one still at the moment it was taken. Controls the camera does not have
// are absent from the map.
struct AcquisitionMetadata {
    QString sample;  // as scanned, trimmed
    PictureView view = PictureView::Color;
    int cameraIndex = 0;
    QUuid captureId;  // shared by the two pictures of a pair
    QUuid pictureId;
    QDateTime time;  // with the local offset
    StationIdentity station;
    std::map<QString, QString> camera;  // identity: name, device, driver, serial, make, model...
    std::map<QString, ControlReading> controls;
    QSize size;
    QString format;     // "BMP", "PNG", ...
    QByteArray sha256;  // of the picture's bytes, 32 raw bytes

    bool operator==(const AcquisitionMetadata&) const = default;
};

// The metadata of one still of a pair just taken: a new picture id, the sample trimmed, the time
// and the station filled in.
AcquisitionMetadata newPictureMetadata(const QString& scannedSample, PictureView view,
                                       int cameraIndex, const QUuid& captureId);

// Times as ISO 8601 with milliseconds: "2026-12-10T14:35:01.123Z" and "...15:35:01.123+01:00".
QString utcText(const QDateTime& time);
QString localText(const QDateTime& time);

QJsonObject toJson(const AcquisitionMetadata& metadata);
// Throws platform::FileAccessError naming what is missing or malformed.
AcquisitionMetadata metadataFromJson(const QJsonObject& json);

// "uuid" text without braces, as records and embedded metadata write identifiers.
QString idText(const QUuid& id);

}  // namespace records
