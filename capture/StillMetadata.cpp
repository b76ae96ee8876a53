#include "StillMetadata.h"

#include <QJsonValue>

#include "Diagnostics.h"
#include "EmbeddedProvenance.h"
#include "PlatformError.h"

namespace capture {

namespace {

// A control as the camera reports it: a number stays a number, so that a record never turns
// "0" into text or text into 0.
QJsonValue controlValue(const QString& text) {
    bool whole = false;
    const qlonglong number = text.toLongLong(&whole);
    if (whole) {
        return {number};
    }
    bool real = false;
    const double value = text.toDouble(&real);
    return real ? QJsonValue(value) : QJsonValue(text);
}

}  // namespace

records::PictureView recordsView(View view) {
    return view == View::Bottom ? records::PictureView::Bottom : records::PictureView::Color;
}

records::AcquisitionMetadata stillMetadata(const camera::CameraDescription& camera,
                                           const QString& scannedSample, View view, int cameraIndex,
                                           const QUuid& captureId) {
    records::AcquisitionMetadata metadata =
        records::newPictureMetadata(scannedSample, recordsView(view), cameraIndex, captureId);
    for (const auto& [name, value] : camera.identity) {
        metadata.camera.emplace(name, value);
    }
    for (const auto& [name, value] : camera.controls) {
        metadata.controls.emplace(name, records::ControlReading::of(controlValue(value)));
    }
    if (!camera.reason.isEmpty()) {
        metadata.controls.emplace(QStringLiteral("controls"),
                                  records::ControlReading::unreadable(camera.reason));
    }
    return metadata;
}

QByteArray embeddedOrAsEncoded(const QByteArray& encoded,
                               const records::AcquisitionMetadata& picture) {
    try {
        return records::withPictureMetadata(encoded, picture);
    } catch (const std::exception& error) {
        platform::diagnose(platform::lcCapture(), QtWarningMsg,
                           QStringLiteral("a picture was saved without its embedded metadata"),
                           {{"SAMPLE", picture.sample}, {"REASON", platform::reasonOf(error)}});
        return encoded;
    }
}

void addWrittenStill(records::AcquisitionMetadata& metadata, const camera::WrittenStill& written) {
    metadata.size = written.size;
    metadata.format = written.format;
    metadata.sha256 = written.sha256;
}

}  // namespace capture
