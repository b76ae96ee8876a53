#pragma once

#include "CameraConfig.h"
#include "CameraHealth.h"

#include <QString>
#include <QStringList>

#include <glib-object.h>

#include <optional>
#include <utility>
#include <vector>

// GigE Vision and USB3 Vision cameras, reached through Aravis (its GStreamer element aravissrc).
// Aravis's types stay in the .cpp: a camera is handed around as the GObject that aravissrc's
// "camera" property gives.
namespace camera::genicam {

// A GenICam camera as Aravis's device enumeration lists it.
struct DeviceInfo {
    QString id;  // VENDOR-SERIAL, what a camera line names; stable when the address changes
    QString vendor;
    QString model;
    QString serial;
    QString interface;  // "GigEVision" or "USB3Vision"
    QString address;    // IP address, or the USB bus position
};

// The cameras that answer now. Blocks for up to a second while GigE cameras are asked: never on
// the window's thread.
std::vector<DeviceInfo> discover();
// The ids found by the last discovery, without asking again.
QStringList lastDiscoveredIds();

// The camera-name an "aravissrc camera-name=ID ..." line opens; empty for other lines.
std::optional<QString> cameraName(const QString& description);

// What an error that aravissrc raised tells.
struct GenicamError {
    const GError& error;
    std::optional<int> flowReturn;  // of a stopped stream, from the error's details
    GObject* camera;                // the ArvCamera it opened; null when it opened none
    QString id;                     // the camera it looked for
};

// The cause, from the error's domain and code and from the camera it opened; empty when neither
// tells. `present` are the ids that answer, named when the camera is not found.
std::optional<CameraFailure> classifyGenicamError(const GenicamError& raised,
                                                  const QStringList& present);

// Feature name -> value as the camera reports it, in the order to apply them.
using Features = std::vector<std::pair<QString, QString>>;

struct Lock {
    Features values;     // automatic modes off first, then the values they settled on
    QStringList absent;  // features this camera does not have
    QStringList refused;
};

// Turns ExposureAuto, GainAuto and BalanceWhiteAuto off where the camera has them and reads back
// the values they settled on (ExposureTime, Gain, BalanceRatio per channel). `camera` is the
// ArvCamera of a streaming aravissrc.
Lock lockFeatures(GObject* camera);
// The same features as they are now, without changing any; absent ones are left out.
Features readFeatures(GObject* camera, QStringList* absent);
// One feature's value as text; empty when the camera lacks it or it cannot be read.
std::optional<QString> featureValue(GObject* camera, const char* name);
// Vendor, model, serial, firmware version, interface and address.
Features identity(GObject* camera);

// "ExposureAuto=Off ExposureTime=5000 ..." for aravissrc's features property.
QString featuresProperty(const Features& values);

// The modes a camera offers from its features: each pixel format the station shows (Mono8, RGB8,
// Bayer), at its current size and at its largest, at its current frame rate. Opens the camera
// for a moment (blocking, as discover()); empty with `error` set when it cannot.
std::vector<cameraconfig::CameraMode> modesOf(const QString& id, QString* error);

// "aravissrc camera-name=ID features="..." ! CAPS", with "! bayer2rgb" after Bayer caps.
QString cameraDescription(const QString& id, const cameraconfig::CameraMode& mode,
                          const Features& features);

}  // namespace camera::genicam
