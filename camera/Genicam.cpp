// Before Qt: GLib's headers name struct members "signals", which Qt defines as a macro.
#include <arv.h>

#include "Genicam.h"
#include "GstHandles.h"

#include <QRegularExpression>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <numeric>

namespace camera::genicam {

namespace {

constexpr std::array kAutoFeatures{"ExposureAuto", "GainAuto", "BalanceWhiteAuto"};
// Cameras name the same value differently: SFNC's name first, then the older GigE one.
constexpr std::array kExposureFeatures{"ExposureTime", "ExposureTimeAbs"};
constexpr std::array kGainFeatures{"Gain", "GainRaw"};
constexpr std::array kBalanceFeatures{"BalanceRatio", "BalanceRatioAbs"};

using Error = gst::ErrorPtr;

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using CameraPtr = std::unique_ptr<ArvCamera, ObjectUnref>;

QString text(const char* value) {
    return value != nullptr ? QString::fromUtf8(value) : QString();
}

ArvCamera* asCamera(GObject* camera) {
    return camera != nullptr && ARV_IS_CAMERA(camera) ? ARV_CAMERA(camera) : nullptr;
}

ArvGcFeatureNode* featureNode(ArvCamera* camera, const char* name) {
    GError* raw = nullptr;
    const bool available = arv_camera_is_feature_available(camera, name, &raw) != FALSE;
    const Error error(raw);
    ArvGcNode* node =
        available ? arv_device_get_feature(arv_camera_get_device(camera), name) : nullptr;
    return node != nullptr && ARV_IS_GC_FEATURE_NODE(node) ? ARV_GC_FEATURE_NODE(node) : nullptr;
}

std::optional<QString> valueOf(ArvCamera* camera, const char* name) {
    ArvGcFeatureNode* node = featureNode(camera, name);
    if (node == nullptr) {
        return std::nullopt;
    }
    GError* raw = nullptr;
    const char* value = arv_gc_feature_node_get_value_as_string(node, &raw);
    const Error error(raw);
    if (error || value == nullptr) {
        return std::nullopt;
    }
    return QString::fromUtf8(value);
}

bool setValue(ArvCamera* camera, const char* name, const QString& value) {
    ArvGcFeatureNode* node = featureNode(camera, name);
    if (node == nullptr) {
        return false;
    }
    GError* raw = nullptr;
    arv_gc_feature_node_set_value_from_string(node, value.toUtf8().constData(), &raw);
    const Error error(raw);
    return !error && valueOf(camera, name) == value;
}

// The first of `names` the camera has, with its value; `absent` gets the first name otherwise.
template <std::size_t N>
void readFirst(ArvCamera* camera, const std::array<const char*, N>& names, Features& values,
               QStringList* absent) {
    for (const char* name : names) {
        if (const std::optional<QString> value = valueOf(camera, name)) {
            values.emplace_back(QString::fromLatin1(name), *value);
            return;
        }
    }
    if (absent != nullptr) {
        absent->append(QString::fromLatin1(names[0]));
    }
}

// BalanceRatio is one value per colour channel, chosen with BalanceRatioSelector.
void readBalance(ArvCamera* camera, Features& values, QStringList* absent) {
    guint count = 0;
    GError* raw = nullptr;
    const char** channels = featureNode(camera, "BalanceRatioSelector") != nullptr
                                ? arv_camera_dup_available_enumerations_as_strings(
                                      camera, "BalanceRatioSelector", &count, &raw)
                                : nullptr;
    const Error error(raw);
    if (channels == nullptr) {
        readFirst(camera, kBalanceFeatures, values, absent);
        return;
    }
    for (guint i = 0; i < count; ++i) {
        const QString channel = QString::fromUtf8(channels[i]);
        if (setValue(camera, "BalanceRatioSelector", channel)) {
            values.emplace_back(QStringLiteral("BalanceRatioSelector"), channel);
            readFirst(camera, kBalanceFeatures, values, i == 0 ? absent : nullptr);
        }
    }
    g_free(static_cast<gpointer>(channels));
}

struct PixelCaps {
    const char* format;
    const char* caps;
};
constexpr std::array kPixelCaps{
    PixelCaps{"Mono8", "video/x-raw,format=GRAY8"},
    PixelCaps{"RGB8", "video/x-raw,format=RGB"},
    PixelCaps{"RGB8Packed", "video/x-raw,format=RGB"},
    PixelCaps{"BayerBG8", "video/x-bayer,format=bggr"},
    PixelCaps{"BayerRG8", "video/x-bayer,format=rggb"},
    PixelCaps{"BayerGR8", "video/x-bayer,format=grbg"},
    PixelCaps{"BayerGB8", "video/x-bayer,format=gbrg"},
};

const PixelCaps* capsOf(const QString& format) {
    for (const PixelCaps& caps : kPixelCaps) {
        if (format == QLatin1String(caps.format)) {
            return &caps;
        }
    }
    return nullptr;
}

}  // namespace

std::vector<DeviceInfo> discover() {
    arv_update_device_list();
    std::vector<DeviceInfo> devices;
    devices.reserve(arv_get_n_devices());
    for (unsigned int i = 0; i < arv_get_n_devices(); ++i) {
        devices.push_back({text(arv_get_device_id(i)), text(arv_get_device_vendor(i)),
                           text(arv_get_device_model(i)), text(arv_get_device_serial_nbr(i)),
                           text(arv_get_device_protocol(i)), text(arv_get_device_address(i))});
    }
    return devices;
}

QStringList lastDiscoveredIds() {
    QStringList ids;
    for (unsigned int i = 0; i < arv_get_n_devices(); ++i) {
        ids << text(arv_get_device_id(i));
    }
    return ids;
}

std::optional<QString> cameraName(const QString& description) {
    static const QRegularExpression pattern(QStringLiteral(
        R"re((?:^|!)\s*aravissrc\b[^!]*?\bcamera-name\s*=\s*(?:"([^"]*)"|'([^']*)'|([^\s!]+)))re"));
    const QRegularExpressionMatch match = pattern.match(description);
    for (int group = 1; group <= 3; ++group) {
        if (match.capturedLength(group) > 0) {
            return match.captured(group);
        }
    }
    return std::nullopt;
}

std::optional<CameraFailure> classifyGenicamError(const GenicamError& raised,
                                                  const QStringList& present) {
    const GError& error = raised.error;
    const QString message = text(error.message);
    // aravissrc reports "not found" by Aravis's own code; its words are translated.
    if (error.domain == GST_RESOURCE_ERROR && error.code == GST_RESOURCE_ERROR_NOT_FOUND) {
        return CameraFailure{
            FailureReason::GenicamNotFound,
            QStringLiteral("looked for %1; cameras that answer: %2")
                .arg(raised.id, present.isEmpty() ? QStringLiteral("none")
                                                  : present.join(QStringLiteral(", ")))};
    }
    // The stream stopped: a camera that dies also loses its control access once its heartbeat
    // goes unanswered, so this comes before the control check.
    if (error.domain == GST_STREAM_ERROR && error.code == GST_STREAM_ERROR_FAILED &&
        raised.flowReturn.value_or(GST_FLOW_ERROR) == GST_FLOW_ERROR) {
        return CameraFailure{FailureReason::StreamStopped, QString()};
    }
    // Opening a GigE Vision camera asks for its control access; another program holding it
    // leaves the camera open but without it, and every setting then fails (a time-out, or
    // "access denied", depending on the camera).
    ArvCamera* const arvCamera = asCamera(raised.camera);
    ArvDevice* const device = arvCamera != nullptr ? arv_camera_get_device(arvCamera) : nullptr;
    if (device != nullptr && ARV_IS_GV_DEVICE(device) &&
        arv_gv_device_is_controller(ARV_GV_DEVICE(device)) == FALSE) {
        return CameraFailure{FailureReason::GenicamControlled, message};
    }
    // No code for it: Aravis's own words, which it does not translate, inside aravissrc's.
    if (message.contains(QLatin1String("bandwidth"), Qt::CaseInsensitive) ||
        message.contains(QLatin1String("throughput"), Qt::CaseInsensitive)) {
        return CameraFailure{FailureReason::NetworkBandwidth, message};
    }
    return std::nullopt;
}

Lock lockFeatures(GObject* object) {
    Lock lock;
    ArvCamera* const camera = asCamera(object);
    if (camera == nullptr) {
        return lock;
    }
    for (const char* name : kAutoFeatures) {
        if (featureNode(camera, name) == nullptr) {
            lock.absent << QString::fromLatin1(name);
        } else if (setValue(camera, name, QStringLiteral("Off"))) {
            lock.values.emplace_back(QString::fromLatin1(name), QStringLiteral("Off"));
        } else {
            lock.refused << QString::fromLatin1(name);
        }
    }
    const Features settled = readFeatures(object, &lock.absent);
    lock.values.insert(lock.values.end(), settled.begin(), settled.end());
    return lock;
}

Features readFeatures(GObject* object, QStringList* absent) {
    Features values;
    ArvCamera* const camera = asCamera(object);
    if (camera == nullptr) {
        return values;
    }
    readFirst(camera, kExposureFeatures, values, absent);
    readFirst(camera, kGainFeatures, values, absent);
    readBalance(camera, values, absent);
    return values;
}

std::optional<QString> featureValue(GObject* camera, const char* name) {
    ArvCamera* const arvCamera = asCamera(camera);
    return arvCamera != nullptr ? valueOf(arvCamera, name) : std::nullopt;
}

Features identity(GObject* object) {
    Features values;
    ArvCamera* const camera = asCamera(object);
    if (camera == nullptr) {
        return values;
    }
    const auto add = [&](const char* key, const std::optional<QString>& value) {
        if (value && !value->isEmpty()) {
            values.emplace_back(QString::fromLatin1(key), *value);
        }
    };
    add("vendor", valueOf(camera, "DeviceVendorName"));
    add("model", valueOf(camera, "DeviceModelName"));
    const std::optional<QString> serial = valueOf(camera, "DeviceSerialNumber");
    add("serial", serial ? serial : valueOf(camera, "DeviceID"));
    const std::optional<QString> firmware = valueOf(camera, "DeviceFirmwareVersion");
    add("firmware", firmware ? firmware : valueOf(camera, "DeviceVersion"));
    ArvDevice* device = arv_camera_get_device(camera);
    const bool gige = ARV_IS_GV_DEVICE(device);
    add("interface", gige ? QStringLiteral("GigEVision") : QStringLiteral("USB3Vision"));
    if (gige) {
        GSocketAddress* socket = arv_gv_device_get_device_address(ARV_GV_DEVICE(device));
        GInetAddress* address =
            socket != nullptr && G_IS_INET_SOCKET_ADDRESS(socket)
                ? g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(socket))
                : nullptr;
        const gst::CharPtr name(address != nullptr ? g_inet_address_to_string(address) : nullptr);
        add("address", text(name.get()));
    }
    return values;
}

QString featuresProperty(const Features& values) {
    QStringList assignments;
    for (const auto& [name, value] : values) {
        assignments << name + QLatin1Char('=') + value;
    }
    return assignments.join(QLatin1Char(' '));
}

std::vector<cameraconfig::CameraMode> modesOf(const QString& id, QString* error) {
    GError* raw = nullptr;
    const CameraPtr camera(arv_camera_new(id.toUtf8().constData(), &raw));
    Error failure(raw);
    std::vector<cameraconfig::CameraMode> modes;
    if (!camera) {
        if (error != nullptr) {
            *error = failure ? text(failure->message) : QStringLiteral("cannot be opened");
        }
        return modes;
    }
    guint count = 0;
    const char** formats =
        arv_camera_dup_available_pixel_formats_as_strings(camera.get(), &count, nullptr);
    gint x = 0;
    gint y = 0;
    gint width = 0;
    gint height = 0;
    arv_camera_get_region(camera.get(), &x, &y, &width, &height, nullptr);
    gint maxWidth = 0;
    gint maxHeight = 0;
    arv_camera_get_width_bounds(camera.get(), nullptr, &maxWidth, nullptr);
    arv_camera_get_height_bounds(camera.get(), nullptr, &maxHeight, nullptr);
    const double rate = arv_camera_get_frame_rate(camera.get(), nullptr);
    // GStreamer takes the rate as a fraction; a hundredth of a frame per second is close enough.
    const int rateNumerator = rate > 0 ? int(std::lround(rate * 100)) : 0;
    for (guint i = 0; formats != nullptr && i < count; ++i) {
        const QString format = QString::fromUtf8(formats[i]);
        if (capsOf(format) == nullptr) {
            continue;  // Mono16, packed 10- and 12-bit formats: not shown by the station
        }
        modes.push_back({format, width, height, rateNumerator, 100});
        if (maxWidth * maxHeight > width * height) {
            modes.push_back({format, maxWidth, maxHeight, rateNumerator, 100});
        }
    }
    g_free(static_cast<gpointer>(formats));
    return modes;
}

QString cameraDescription(const QString& id, const cameraconfig::CameraMode& mode,
                          const Features& features) {
    QString description = QStringLiteral("aravissrc camera-name=%1").arg(id);
    if (!features.empty()) {
        description += QStringLiteral(" features=\"%1\"").arg(featuresProperty(features));
    }
    const PixelCaps* caps = capsOf(mode.format);
    const QString capsText = caps != nullptr ? QString::fromLatin1(caps->caps)
                                             : QStringLiteral("video/x-raw,format=GRAY8");
    // Equal fractions are written in lowest terms, as GStreamer prints them.
    const int divisor = std::gcd(mode.fpsNumerator, std::max(1, mode.fpsDenominator));
    description += QStringLiteral(" ! %1,width=%2,height=%3,framerate=%4/%5")
                       .arg(capsText)
                       .arg(mode.width)
                       .arg(mode.height)
                       .arg(mode.fpsNumerator / std::max(1, divisor))
                       .arg(std::max(1, mode.fpsDenominator) / std::max(1, divisor));
    if (capsText.startsWith(QLatin1String("video/x-bayer"))) {
        description += QStringLiteral(" ! bayer2rgb");
    }
    return description;
}

}  // namespace camera::genicam
