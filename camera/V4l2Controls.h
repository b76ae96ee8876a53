#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

// A camera's own controls (exposure, white balance, focus, ...) as the device offers them, and
// the rule that locks them so that pictures taken on different days stay comparable.
namespace camera {

struct V4l2Control {
    enum class Kind { Integer, Boolean, Menu, IntegerMenu, Other };
    std::uint32_t id = 0;
    QString name;  // normalised: "exposure_time_absolute"
    Kind kind = Kind::Other;
    std::int64_t minimum = 0;
    std::int64_t maximum = 0;
    std::int64_t step = 1;
    std::int64_t defaultValue = 0;
    std::int64_t value = 0;
    std::vector<std::pair<std::int64_t, QString>> menu;  // entries the device names
    bool inactive = false;                               // depends on an automatic mode
    bool readOnly = false;
    bool grabbed = false;  // cannot change while streaming
};

// The controls of one device node. Implemented with ioctls on the node; faked in tests.
class CameraControls {
public:
    virtual ~CameraControls() = default;
    virtual std::vector<V4l2Control> list() = 0;
    virtual std::optional<std::int64_t> get(std::uint32_t id) = 0;
    // False when the device refuses the value.
    virtual bool set(std::uint32_t id, std::int64_t value) = 0;
};

// The controls of a V4L2 device node; empty and with `error()` set when the node cannot be
// opened.
std::unique_ptr<CameraControls> openV4l2Controls(const QString& node, QString* error);

// A control's name the way v4l2-ctl prints it: lower case, every run of other characters one '_'.
QString normalisedControlName(const QString& deviceName);

struct LockedControls {
    // In the order to apply them: automatic modes off first, then the values they had settled on.
    std::vector<std::pair<QString, std::int64_t>> values;
    QStringList refused;  // controls the device did not take or read back differently
};

// Turns the automatic modes off and keeps the values the camera has settled on, reading every
// value back after it is set.
LockedControls lockControls(CameraControls& controls);

// "c,auto_exposure=1,exposure_time_absolute=250" for v4l2src's extra-controls.
QString extraControls(const std::vector<std::pair<QString, std::int64_t>>& values);

}  // namespace camera
