#pragma once

#include <QString>

#include <map>
#include <optional>
#include <vector>

// Pure rules of the camera control's configuration: where its file lives, what its lines mean, and
// in which order capture devices are numbered when there is no file.
namespace camera::cameraconfig {

// The camera software key the station and its set-up program pass: it names the configuration file.
inline const QString kCameraSoftwareKey =
    QStringLiteral("HKEY_LOCAL_MACHINE\\Software\\HPortal\\PortalCam");

// Maps the camera software key ("HKEY_LOCAL_MACHINE\Software\Vendor\Product") to
// CONFIG_HOME/Vendor/Product.conf, where CONFIG_HOME is xdgConfigHome when it is an absolute path
// and homeDir/.config otherwise. Empty when the key has no part after "Software\".
std::optional<QString> configPathForKey(const QString& softwareKey, const QString& xdgConfigHome,
                                        const QString& homeDir);

// Reads "cameraN=DESCRIPTION" lines into N -> DESCRIPTION. Blank lines, '#' comments, lines of
// other keys and empty descriptions are skipped; a repeated index keeps its last description.
std::map<int, QString> parseCameraLines(const QString& text);

// The text with the lines of the given indexes replaced by "cameraN=DESCRIPTION" (new indexes at
// the end), comments, other lines and other indexes kept as they are.
QString withCameraLines(const QString& text, const std::map<int, QString>& descriptions);

struct CameraMode {
    QString format;  // "MJPG" for JPEG pictures, else the raw format ("YUY2", "NV12", ...)
    int width = 0;
    int height = 0;
    int fpsNumerator = 0;
    int fpsDenominator = 1;
};

// "v4l2src device=DEVICE extra-controls="c,..." ! image/jpeg,... ! jpegdec", or with video/x-raw
// caps for a raw mode; no extra-controls when `extraControls` is empty.
QString cameraDescription(const QString& device, const CameraMode& mode,
                          const QString& extraControls);

// The largest MJPEG mode at 15 frames per second or more; failing that the largest mode at that
// rate, failing that the largest.
std::optional<CameraMode> defaultMode(const std::vector<CameraMode>& modes);

// The device node a description opens ("v4l2src device=/dev/video2 ! ..." -> "/dev/video2"), so
// that the camera can be restarted when that device is plugged in again.
std::optional<QString> v4l2DevicePath(const QString& description);

// What identifies a camera across a replug, from its device's properties: vendor, product and
// serial when it has a serial number, else the USB port it is plugged into; empty otherwise.
std::optional<QString> deviceIdentity(const QString& vendorId, const QString& productId,
                                      const QString& serial, const QString& busPath);

struct DeviceId {
    std::optional<QString> path;  // device node or a udev link to it (/dev/v4l/by-id/...)
    std::optional<QString> identity;
};

// Whether a device that appeared is the camera known as `known`: the same identity, or paths
// that are or lead to the same node.
bool sameDevice(const DeviceId& known, const DeviceId& appeared);

// The description with the device node that its v4l2src opens replaced by `path`.
QString withDevicePath(const QString& description, const QString& path);

struct DeviceListing {
    QString path;  // device node, empty when the provider reports none
    QString displayName;
};

// Capture devices in the order that gives them their indexes: by device path (numbers compared
// as numbers, so /dev/video2 precedes /dev/video10), devices without a path last, then by name.
// Returns the positions of `devices` in that order.
std::vector<std::size_t> deviceOrder(const std::vector<DeviceListing>& devices);

}  // namespace camera::cameraconfig
