#pragma once

#include "CameraConfig.h"
#include "CameraPipeline.h"
#include "Genicam.h"

#include <QString>

#include <optional>
#include <vector>

// The video sources of the machine as the installer chooses among them.
namespace camerasetup {

struct SourceInfo {
    camera::CameraSource source;
    QString node;                 // /dev/videoN, empty when the provider names none
    std::optional<QString> byId;  // the stable /dev/v4l/by-id link to the node
    std::vector<camera::cameraconfig::CameraMode> modes;
    // Set for a GigE Vision or USB3 Vision camera, which Aravis lists instead of the monitor.
    std::optional<camera::genicam::DeviceInfo> genicam;
    QString modesError;  // why a GenICam camera's modes could not be read

    // What a configuration line names: the stable link where there is one.
    QString configuredDevice() const { return byId.value_or(node); }
};

// The modes of a device's caps: image/jpeg as "MJPG", raw video by its format; one mode per
// size and frame rate, lists and ranges of rates expanded to the rates they name.
std::vector<camera::cameraconfig::CameraMode> modesOfCaps(const GstCaps* caps);

// The link in `byIdFolder` that leads to `node`, the picture-delivering "index0" one first.
std::optional<QString> byIdLinkFor(const QString& node, const QString& byIdFolder);

// The GenICam cameras that answer now, with the modes their features offer. Blocks for a second
// or more: never on the window's thread.
std::vector<SourceInfo> listGenicamSources();

// The sources a device monitor reports now.
std::vector<SourceInfo> listSources(const QString& byIdFolder = QStringLiteral("/dev/v4l/by-id"));

}  // namespace camerasetup
