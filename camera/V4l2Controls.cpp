#include "V4l2Controls.h"

#include <QRegularExpression>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace camera {

namespace {

// An automatic mode and the value that turns it off. Both the current and the older kernel
// names; 1 is V4L2's manual exposure.
struct AutoMode {
    const char* name;
    std::int64_t off;
};
constexpr std::array kAutoModes{
    AutoMode{"auto_exposure", 1},
    AutoMode{"exposure_auto", 1},
    AutoMode{"white_balance_automatic", 0},
    AutoMode{"white_balance_temperature_auto", 0},
    AutoMode{"focus_automatic_continuous", 0},
    AutoMode{"focus_auto", 0},
    // Lets the camera lower its frame rate in dim light.
    AutoMode{"exposure_dynamic_framerate", 0},
    AutoMode{"exposure_auto_priority", 0},
};

std::optional<std::int64_t> autoOffValue(const QString& name) {
    for (const AutoMode& mode : kAutoModes) {
        if (name == QLatin1String(mode.name)) {
            return mode.off;
        }
    }
    return std::nullopt;
}

bool settable(const V4l2Control& control) {
    return !control.readOnly && control.kind != V4l2Control::Kind::Other;
}

int retryIoctl(int fd, unsigned long request, void* argument) {
    int result = 0;
    do {
        result = ::ioctl(fd, request, argument);
    } while (result < 0 && errno == EINTR);
    return result;
}

class DeviceControls final : public CameraControls {
public:
    explicit DeviceControls(int fd) : fd_(fd) {}
    ~DeviceControls() override { ::close(fd_); }
    DeviceControls(const DeviceControls&) = delete;
    DeviceControls& operator=(const DeviceControls&) = delete;

    std::vector<V4l2Control> list() override {
        std::vector<V4l2Control> found;
        v4l2_query_ext_ctrl query{};
        query.id = V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
        while (retryIoctl(fd_, VIDIOC_QUERY_EXT_CTRL, &query) == 0) {
            if ((query.flags & V4L2_CTRL_FLAG_DISABLED) == 0 &&
                query.type != V4L2_CTRL_TYPE_CTRL_CLASS) {
                found.push_back(controlOf(query));
            }
            query.id |= V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
        }
        return found;
    }

    std::optional<std::int64_t> get(std::uint32_t id) override {
        v4l2_ext_control control{};
        control.id = id;
        v4l2_ext_controls controls{};
        controls.which = V4L2_CTRL_WHICH_CUR_VAL;
        controls.count = 1;
        controls.controls = &control;
        if (retryIoctl(fd_, VIDIOC_G_EXT_CTRLS, &controls) != 0) {
            return std::nullopt;
        }
        return is64(id) ? control.value64 : control.value;
    }

    bool set(std::uint32_t id, std::int64_t value) override {
        v4l2_ext_control control{};
        control.id = id;
        if (is64(id)) {
            control.value64 = value;
        } else {
            control.value = static_cast<std::int32_t>(value);
        }
        v4l2_ext_controls controls{};
        controls.which = V4L2_CTRL_WHICH_CUR_VAL;
        controls.count = 1;
        controls.controls = &control;
        return retryIoctl(fd_, VIDIOC_S_EXT_CTRLS, &controls) == 0;
    }

private:
    bool is64(std::uint32_t id) const {
        return std::find(wide_.begin(), wide_.end(), id) != wide_.end();
    }

    V4l2Control controlOf(const v4l2_query_ext_ctrl& query) {
        V4l2Control control;
        control.id = query.id;
        control.name = normalisedControlName(QString::fromUtf8(
            query.name, static_cast<qsizetype>(strnlen(query.name, sizeof query.name))));
        switch (query.type) {
            case V4L2_CTRL_TYPE_INTEGER64:
                wide_.push_back(query.id);
                control.kind = V4l2Control::Kind::Integer;
                break;
            case V4L2_CTRL_TYPE_INTEGER:
                control.kind = V4l2Control::Kind::Integer;
                break;
            case V4L2_CTRL_TYPE_BOOLEAN:
                control.kind = V4l2Control::Kind::Boolean;
                break;
            case V4L2_CTRL_TYPE_MENU:
                control.kind = V4l2Control::Kind::Menu;
                break;
            case V4L2_CTRL_TYPE_INTEGER_MENU:
                control.kind = V4l2Control::Kind::IntegerMenu;
                break;
            default:
                control.kind = V4l2Control::Kind::Other;
                break;
        }
        control.minimum = query.minimum;
        control.maximum = query.maximum;
        control.step = static_cast<std::int64_t>(query.step);
        control.defaultValue = query.default_value;
        control.inactive = (query.flags & V4L2_CTRL_FLAG_INACTIVE) != 0;
        control.readOnly = (query.flags & V4L2_CTRL_FLAG_READ_ONLY) != 0;
        control.grabbed = (query.flags & V4L2_CTRL_FLAG_GRABBED) != 0;
        if (control.kind == V4l2Control::Kind::Menu ||
            control.kind == V4l2Control::Kind::IntegerMenu) {
            for (std::int64_t index = query.minimum; index <= query.maximum; ++index) {
                v4l2_querymenu item{};
                item.id = query.id;
                item.index = static_cast<std::uint32_t>(index);
                // Menus may have gaps: an index the device does not name is skipped.
                if (retryIoctl(fd_, VIDIOC_QUERYMENU, &item) != 0) {
                    continue;
                }
                const QString label =
                    control.kind == V4l2Control::Kind::Menu
                        ? QString::fromUtf8(
                              reinterpret_cast<const char*>(item.name),
                              static_cast<qsizetype>(strnlen(
                                  reinterpret_cast<const char*>(item.name), sizeof item.name)))
                        : QString::number(item.value);
                control.menu.emplace_back(index, label);
            }
        }
        if (control.kind != V4l2Control::Kind::Other) {
            control.value = get(query.id).value_or(query.default_value);
        }
        return control;
    }

    const int fd_;
    std::vector<std::uint32_t> wide_;  // 64-bit controls, whose value is in value64
};

}  // namespace

std::unique_ptr<CameraControls> openV4l2Controls(const QString& node, QString* error) {
    const int fd = ::open(node.toLocal8Bit().constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (error != nullptr) {
            *error = QStringLiteral("cannot open %1: %2")
                         .arg(node, QString::fromLocal8Bit(std::strerror(errno)));
        }
        return nullptr;
    }
    return std::make_unique<DeviceControls>(fd);
}

QString normalisedControlName(const QString& deviceName) {
    static const QRegularExpression others(QStringLiteral("[^a-z0-9]+"));
    QString name = deviceName.toLower();
    name.replace(others, QStringLiteral("_"));
    // No separator at either end: "Exposure (Absolute)" -> "exposure_absolute".
    while (name.endsWith(QLatin1Char('_'))) {
        name.chop(1);
    }
    while (name.startsWith(QLatin1Char('_'))) {
        name.remove(0, 1);
    }
    return name;
}

LockedControls lockControls(CameraControls& controls) {
    LockedControls locked;
    const std::vector<V4l2Control> before = controls.list();
    // Auto modes off first: a device ignores or refuses a value while its auto mode is on.
    for (const V4l2Control& control : before) {
        const std::optional<std::int64_t> off = autoOffValue(control.name);
        if (!off || !settable(control)) {
            continue;
        }
        if (controls.set(control.id, *off) && controls.get(control.id) == off) {
            locked.values.emplace_back(control.name, *off);
        } else {
            locked.refused << control.name;
        }
    }
    // The values the camera had settled on, now with the auto modes off, set and read back.
    for (const V4l2Control& control : controls.list()) {
        if (autoOffValue(control.name) || !settable(control)) {
            continue;
        }
        const std::optional<std::int64_t> settled = controls.get(control.id);
        if (!settled) {
            locked.refused << control.name;
            continue;
        }
        if (controls.set(control.id, *settled) && controls.get(control.id) == settled) {
            locked.values.emplace_back(control.name, *settled);
        } else {
            locked.refused << control.name;
        }
    }
    return locked;
}

QString extraControls(const std::vector<std::pair<QString, std::int64_t>>& values) {
    QString text = QStringLiteral("c");
    for (const auto& [name, value] : values) {
        text += QStringLiteral(",%1=%2").arg(name).arg(value);
    }
    return text;
}

}  // namespace camera
