#pragma once

#include <QString>

#include <map>
#include <optional>
#include <vector>

// Pure rules of the camera control's configuration: where its file lives, what its lines mean, and
// in which order capture devices are numbered when there is no file.
namespace camera::cameraconfig {

// Maps the camera software key ("HKEY_LOCAL_MACHINE\Software\Vendor\Product") to
// CONFIG_HOME/Vendor/Product.conf, where CONFIG_HOME is xdgConfigHome when it is an absolute path
// and homeDir/.config otherwise. Empty when the key has no part after "Software\".
std::optional<QString> configPathForKey(const QString& softwareKey, const QString& xdgConfigHome,
                                        const QString& homeDir);

// Reads "cameraN=DESCRIPTION" lines into N -> DESCRIPTION. Blank lines, '#' comments, lines of
// other keys and empty descriptions are skipped; a repeated index keeps its last description.
std::map<int, QString> parseCameraLines(const QString& text);

// The device node a description opens ("v4l2src device=/dev/video2 ! ..." -> "/dev/video2"), so
// that the camera can be restarted when that device is plugged in again.
std::optional<QString> v4l2DevicePath(const QString& description);

struct DeviceListing {
    QString path;  // device node, empty when the provider reports none
    QString displayName;
};

// Capture devices in the order that gives them their indexes: by device path (numbers compared
// as numbers, so /dev/video2 precedes /dev/video10), devices without a path last, then by name.
// Returns the positions of `devices` in that order.
std::vector<std::size_t> deviceOrder(const std::vector<DeviceListing>& devices);

}  // namespace camera::cameraconfig
