// The UVC control set as uvcvideo presents it: kernel names, types and flags, automatic modes
// that make their values inactive (and keep moving them), and the ext-control error rules.
#include "fake_uvc_state.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace fakeuvc {

namespace {

constexpr std::uint32_t kClassFlags = V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY;

bool automatic(const Controls::Control& master, std::int64_t value) {
    // auto_exposure is a menu whose manual entry is 1; the others are on/off switches.
    return master.id == V4L2_CID_EXPOSURE_AUTO ? value != V4L2_EXPOSURE_MANUAL : value != 0;
}

}  // namespace

Controls::Controls() {
    using C = Control;
    controls_ = {
        C{V4L2_CID_USER_CLASS, "User Controls", V4L2_CTRL_TYPE_CTRL_CLASS, 0, 0, 0, 0, 0, 0, 0, 0},
        C{V4L2_CID_BRIGHTNESS, "Brightness", V4L2_CTRL_TYPE_INTEGER, -64, 64, 1, 0, 0, 0, 0, 0},
        C{V4L2_CID_AUTO_WHITE_BALANCE, "White Balance, Automatic", V4L2_CTRL_TYPE_BOOLEAN, 0, 1, 1,
          1, 1, 0, 0, 0},
        C{V4L2_CID_GAIN, "Gain", V4L2_CTRL_TYPE_INTEGER, 0, 100, 1, 0, 0, 0, 0, 0},
        C{V4L2_CID_POWER_LINE_FREQUENCY, "Power Line Frequency", V4L2_CTRL_TYPE_MENU, 0, 2, 1, 1, 1,
          0, 0, 0},
        C{V4L2_CID_WHITE_BALANCE_TEMPERATURE, "White Balance Temperature", V4L2_CTRL_TYPE_INTEGER,
          2800, 6500, 1, 4600, 4600, V4L2_CID_AUTO_WHITE_BALANCE, 300, 0},
        C{V4L2_CID_CAMERA_CLASS, "Camera Controls", V4L2_CTRL_TYPE_CTRL_CLASS, 0, 0, 0, 0, 0, 0, 0,
          0},
        // Only manual (1) and aperture priority (3), as most UVC cameras offer.
        C{V4L2_CID_EXPOSURE_AUTO, "Auto Exposure", V4L2_CTRL_TYPE_MENU, 0, 3, 1, 3, 3, 0, 0,
          (1U << 0) | (1U << 2)},
        C{V4L2_CID_EXPOSURE_ABSOLUTE, "Exposure Time, Absolute", V4L2_CTRL_TYPE_INTEGER, 3, 2047, 1,
          250, 250, V4L2_CID_EXPOSURE_AUTO, 40, 0},
        C{V4L2_CID_EXPOSURE_AUTO_PRIORITY, "Exposure, Dynamic Framerate", V4L2_CTRL_TYPE_BOOLEAN, 0,
          1, 1, 0, 0, 0, 0, 0},
        C{V4L2_CID_FOCUS_ABSOLUTE, "Focus, Absolute", V4L2_CTRL_TYPE_INTEGER, 0, 250, 5, 0, 0,
          V4L2_CID_FOCUS_AUTO, 20, 0},
        C{V4L2_CID_FOCUS_AUTO, "Focus, Automatic Continuous", V4L2_CTRL_TYPE_BOOLEAN, 0, 1, 1, 1, 1,
          0, 0, 0},
    };
}

Controls::Control* Controls::find(std::uint32_t id) {
    for (Control& control : controls_) {
        if (control.id == id) {
            return &control;
        }
    }
    return nullptr;
}

const Controls::Control* Controls::next(std::uint32_t id) const {
    for (const Control& control : controls_) {  // sorted by id
        if (control.id > id) {
            return &control;
        }
    }
    return nullptr;
}

bool Controls::inactive(const Control& control) const {
    if (control.autoMode == 0) {
        return false;
    }
    const auto master = std::find_if(controls_.begin(), controls_.end(),
                                     [&](const Control& c) { return c.id == control.autoMode; });
    return automatic(*master, master->value);
}

std::int64_t Controls::current(const Control& control) const {
    if (!inactive(control)) {
        return control.value;
    }
    // An automatic mode settles slowly: a swing over half a minute around the stored value.
    const double seconds = std::chrono::duration<double>(Clock::now() - since_).count();
    const auto moved =
        control.value + static_cast<std::int64_t>(std::lround(static_cast<double>(control.drift) *
                                                              std::sin(seconds * 2 * M_PI / 30.0)));
    const std::int64_t stepped =
        control.minimum + (moved - control.minimum) / control.step * control.step;
    return std::clamp(stepped, control.minimum, control.maximum);
}

int Controls::validate(const Control& control, std::int64_t* value) const {
    switch (control.type) {
        case V4L2_CTRL_TYPE_CTRL_CLASS:
            return -EACCES;
        case V4L2_CTRL_TYPE_MENU:
            if (*value < control.minimum || *value > control.maximum) {
                return -ERANGE;
            }
            return (control.menuSkipMask >> *value) & 1U ? -EINVAL : 0;
        default: {
            // uvcvideo clamps integers and rounds them to the step.
            const std::int64_t clamped = std::clamp(*value, control.minimum, control.maximum);
            const std::int64_t offset = clamped - control.minimum;
            const std::int64_t rounded =
                control.minimum + (offset + control.step / 2) / control.step * control.step;
            *value = std::min(rounded, control.maximum);
            return 0;
        }
    }
}

void Controls::store(Control& control, std::int64_t value) {
    if (control.autoMode == 0) {
        // Switching an automatic mode off keeps the values it had settled on.
        for (Control& slave : controls_) {
            if (slave.autoMode == control.id && !automatic(control, value)) {
                slave.value = current(slave);
            }
        }
    }
    control.value = value;
}

int Controls::setByName(std::string_view name, std::int64_t value) {
    for (Control& control : controls_) {
        std::string normalised;
        for (const char* c = control.name; *c != '\0'; ++c) {
            const bool alnum = std::isalnum(static_cast<unsigned char>(*c)) != 0;
            if (alnum) {
                normalised += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
            } else if (!normalised.empty() && normalised.back() != '_') {
                normalised += '_';
            }
        }
        if (normalised == name) {
            const int refused = validate(control, &value);
            if (refused == 0) {
                store(control, value);
            }
            return refused;
        }
    }
    return -EINVAL;
}

int Controls::queryExt(v4l2_query_ext_ctrl* query) {
    const std::uint32_t flags =
        query->id & (V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
    const std::uint32_t id = query->id & ~flags;
    // None of these controls is compound: asking for compound ones only finds nothing.
    const Control* control = (flags & V4L2_CTRL_FLAG_NEXT_CTRL) != 0 ? next(id)
                             : flags != 0                            ? nullptr
                                                                     : find(id);
    if (control == nullptr) {
        return -EINVAL;
    }
    std::memset(query, 0, sizeof *query);
    query->id = control->id;
    query->type = control->type;
    std::strncpy(query->name, control->name, sizeof query->name - 1);
    const bool isClass = control->type == V4L2_CTRL_TYPE_CTRL_CLASS;
    query->minimum = control->minimum;
    query->maximum = control->maximum;
    query->step = static_cast<std::uint64_t>(control->step);
    query->default_value = control->defaultValue;
    query->flags = isClass ? kClassFlags : 0;
    if (inactive(*control)) {
        query->flags |= V4L2_CTRL_FLAG_INACTIVE;
    }
    const bool isMaster = std::any_of(controls_.begin(), controls_.end(),
                                      [&](const Control& c) { return c.autoMode == control->id; });
    if (isMaster) {
        query->flags |= V4L2_CTRL_FLAG_UPDATE;
    }
    query->elem_size = isClass ? 0 : 4;
    query->elems = 1;
    return 0;
}

int Controls::extControls(unsigned long request, v4l2_ext_controls* set, bool mayWrite) {
    const bool get = request == VIDIOC_G_EXT_CTRLS;
    const bool apply = request == VIDIOC_S_EXT_CTRLS;
    const std::uint32_t which = set->which;
    if (which == V4L2_CTRL_WHICH_REQUEST_VAL || (which == V4L2_CTRL_WHICH_DEF_VAL && !get)) {
        return -EINVAL;
    }
    if (which != V4L2_CTRL_WHICH_CUR_VAL && which != V4L2_CTRL_WHICH_DEF_VAL &&
        find(which | 1) == nullptr) {
        return -EINVAL;  // an old-style class that has no controls here
    }
    set->error_idx = set->count;
    if (set->count == 0) {
        return 0;
    }
    if (set->count > V4L2_CID_MAX_CTRLS || set->controls == nullptr) {
        return -EINVAL;
    }
    if (apply && !mayWrite) {
        return -EBUSY;
    }
    std::vector<std::int64_t> values(set->count);
    std::vector<Control*> found(set->count);
    for (std::uint32_t i = 0; i < set->count; ++i) {
        v4l2_ext_control& item = set->controls[i];
        Control* control = find(item.id);
        const bool wrongClass = which != V4L2_CTRL_WHICH_CUR_VAL &&
                                which != V4L2_CTRL_WHICH_DEF_VAL &&
                                V4L2_CTRL_ID2WHICH(item.id) != which;
        const int refused = control == nullptr || wrongClass             ? -EINVAL
                            : control->type == V4L2_CTRL_TYPE_CTRL_CLASS ? -EACCES
                                                                         : 0;
        if (refused != 0) {
            // TRY names the control it stopped at; S (and G on a write-only one) do not.
            set->error_idx = apply || (get && refused == -EACCES) ? set->count : i;
            return refused;
        }
        found[i] = control;
        values[i] = item.value;
    }
    if (get) {
        for (std::uint32_t i = 0; i < set->count; ++i) {
            set->controls[i].value = static_cast<std::int32_t>(
                which == V4L2_CTRL_WHICH_DEF_VAL ? found[i]->defaultValue : current(*found[i]));
        }
        return 0;
    }
    for (std::uint32_t i = 0; i < set->count; ++i) {
        int refused = validate(*found[i], &values[i]);
        if (refused == 0 && apply && found[i]->autoMode != 0) {
            // Inactive unless the same call switches its automatic mode off first.
            const Control* master = find(found[i]->autoMode);
            std::int64_t masterValue = master->value;
            for (std::uint32_t j = 0; j < i; ++j) {
                if (found[j] == master) {
                    masterValue = values[j];
                }
            }
            refused = automatic(*master, masterValue) ? -EACCES : 0;
        }
        if (refused != 0) {
            set->error_idx = apply ? set->count : i;
            return refused;
        }
    }
    for (std::uint32_t i = 0; i < set->count; ++i) {
        if (apply) {
            store(*found[i], values[i]);
        }
        set->controls[i].value = static_cast<std::int32_t>(values[i]);
    }
    return 0;
}

int Controls::ioctl(unsigned long request, void* argument, bool mayWrite) {
    switch (request) {
        case VIDIOC_QUERY_EXT_CTRL:
            return queryExt(static_cast<v4l2_query_ext_ctrl*>(argument));
        case VIDIOC_QUERYCTRL: {
            auto* old = static_cast<v4l2_queryctrl*>(argument);
            v4l2_query_ext_ctrl query{};
            query.id = old->id;
            if ((old->id & V4L2_CTRL_FLAG_NEXT_COMPOUND) != 0 &&
                (old->id & V4L2_CTRL_FLAG_NEXT_CTRL) == 0) {
                return -EINVAL;
            }
            const int result = queryExt(&query);
            if (result != 0) {
                return result;
            }
            std::memset(old, 0, sizeof *old);
            old->id = query.id;
            old->type = query.type;
            std::memcpy(old->name, query.name, sizeof old->name);
            old->minimum = static_cast<std::int32_t>(query.minimum);
            old->maximum = static_cast<std::int32_t>(query.maximum);
            old->step = static_cast<std::int32_t>(query.step);
            old->default_value = static_cast<std::int32_t>(query.default_value);
            old->flags = query.flags;
            return 0;
        }
        case VIDIOC_QUERYMENU: {
            auto* item = static_cast<v4l2_querymenu*>(argument);
            const Control* control = find(item->id);
            if (control == nullptr || control->type != V4L2_CTRL_TYPE_MENU ||
                item->index < control->minimum || item->index > control->maximum ||
                ((control->menuSkipMask >> item->index) & 1U) != 0) {
                return -EINVAL;
            }
            static const char* const kPowerLine[] = {"Disabled", "50 Hz", "60 Hz"};
            static const char* const kExposure[] = {"", "Manual Mode", "",
                                                    "Aperture Priority Mode"};
            const char* name = control->id == V4L2_CID_EXPOSURE_AUTO ? kExposure[item->index]
                                                                     : kPowerLine[item->index];
            item->reserved = 0;
            std::memset(item->name, 0, sizeof item->name);
            std::strncpy(reinterpret_cast<char*>(item->name), name, sizeof item->name - 1);
            return 0;
        }
        case VIDIOC_G_CTRL:
        case VIDIOC_S_CTRL: {
            auto* old = static_cast<v4l2_control*>(argument);
            v4l2_ext_control item{};
            item.id = old->id;
            item.value = old->value;
            v4l2_ext_controls set{};
            set.which = V4L2_CTRL_WHICH_CUR_VAL;
            set.count = 1;
            set.controls = &item;
            const int result = extControls(
                request == VIDIOC_G_CTRL ? VIDIOC_G_EXT_CTRLS : VIDIOC_S_EXT_CTRLS, &set, mayWrite);
            if (result == 0) {
                old->value = item.value;
            }
            return result;
        }
        case VIDIOC_G_EXT_CTRLS:
        case VIDIOC_S_EXT_CTRLS:
        case VIDIOC_TRY_EXT_CTRLS:
            return extControls(request, static_cast<v4l2_ext_controls*>(argument), mayWrite);
        default:
            return kNotControl;
    }
}

}  // namespace fakeuvc
