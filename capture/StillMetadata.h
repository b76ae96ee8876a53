#pragma once

#include "AcquisitionMetadata.h"
#include "CameraControl.h"
#include "CameraDescription.h"
#include "ImageNaming.h"

#include <QUuid>

namespace capture {

records::PictureView recordsView(View view);

// The metadata of one still as its camera describes itself right after the still was taken: the
// camera's identity and the controls it read back. A description that could not be read whole
// leaves its reason under "controls" instead of any value.
records::AcquisitionMetadata stillMetadata(const camera::CameraDescription& camera,
                                           const QString& scannedSample, View view, int cameraIndex,
                                           const QUuid& captureId);

// The encoded picture with its own metadata embedded; as encoded, with the reason told to IT, when
// it cannot carry it (its record still describes it).
QByteArray embeddedOrAsEncoded(const QByteArray& encoded,
                               const records::AcquisitionMetadata& picture);

// The metadata completed with what the write reported: size, format and digest.
void addWrittenStill(records::AcquisitionMetadata& metadata, const camera::WrittenStill& written);

}  // namespace capture
