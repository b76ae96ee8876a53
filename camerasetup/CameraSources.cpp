#include "CameraSources.h"

#include "CameraDeviceMonitor.h"

#include <QDir>
#include <QFileInfo>

namespace camerasetup {

using camera::cameraconfig::CameraMode;

namespace {

void addRates(const GValue* rates, CameraMode mode, std::vector<CameraMode>& modes) {
    if (rates == nullptr) {
        modes.push_back(mode);
    } else if (GST_VALUE_HOLDS_FRACTION(rates)) {
        mode.fpsNumerator = gst_value_get_fraction_numerator(rates);
        mode.fpsDenominator = gst_value_get_fraction_denominator(rates);
        modes.push_back(mode);
    } else if (GST_VALUE_HOLDS_LIST(rates)) {
        for (guint i = 0; i < gst_value_list_get_size(rates); ++i) {
            addRates(gst_value_list_get_value(rates, i), mode, modes);
        }
    } else if (GST_VALUE_HOLDS_FRACTION_RANGE(rates)) {
        addRates(gst_value_get_fraction_range_max(rates), mode, modes);
    }
}

}  // namespace

std::vector<CameraMode> modesOfCaps(const GstCaps* caps) {
    std::vector<CameraMode> modes;
    if (caps == nullptr) {
        return modes;
    }
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        const GstStructure* structure = gst_caps_get_structure(caps, i);
        CameraMode mode;
        if (gst_structure_has_name(structure, "image/jpeg")) {
            mode.format = QStringLiteral("MJPG");
        } else if (gst_structure_has_name(structure, "video/x-raw")) {
            const gchar* format = gst_structure_get_string(structure, "format");
            if (format == nullptr) {
                continue;
            }
            mode.format = QString::fromUtf8(format);
        } else {
            continue;
        }
        // Fixed sizes only: a camera lists each of its sizes.
        if (!gst_structure_get_int(structure, "width", &mode.width) ||
            !gst_structure_get_int(structure, "height", &mode.height)) {
            continue;
        }
        addRates(gst_structure_get_value(structure, "framerate"), mode, modes);
    }
    return modes;
}

std::optional<QString> byIdLinkFor(const QString& node, const QString& byIdFolder) {
    const QString target = QFileInfo(node).canonicalFilePath();
    if (target.isEmpty()) {
        return std::nullopt;
    }
    std::optional<QString> found;
    const QDir folder(byIdFolder);
    for (const QFileInfo& link : folder.entryInfoList(QDir::System | QDir::Files, QDir::Name)) {
        if (link.canonicalFilePath() != target) {
            continue;
        }
        if (!found || link.fileName().endsWith(QLatin1String("index0"))) {
            found = link.absoluteFilePath();
        }
    }
    return found;
}

std::vector<SourceInfo> listGenicamSources() {
    std::vector<SourceInfo> sources;
    for (camera::genicam::DeviceInfo& device : camera::genicam::discover()) {
        SourceInfo info;
        info.modes = camera::genicam::modesOf(device.id, &info.modesError);
        info.source.description =
            QStringLiteral("%1 %2 (%3)").arg(device.vendor, device.model, device.interface);
        info.node = device.address;
        info.genicam = std::move(device);
        sources.push_back(std::move(info));
    }
    return sources;
}

std::vector<SourceInfo> listSources(const QString& byIdFolder) {
    const camera::CameraDeviceMonitor monitor(nullptr);
    std::vector<SourceInfo> sources;
    for (camera::CameraSource& source : monitor.currentCameras()) {
        SourceInfo info;
        info.node = source.devicePath.value_or(QString());
        info.byId = byIdLinkFor(info.node, byIdFolder);
        if (source.device) {
            const camera::gst::CapsPtr caps(gst_device_get_caps(source.device.get()));
            info.modes = modesOfCaps(caps.get());
        }
        info.source = std::move(source);
        sources.push_back(std::move(info));
    }
    return sources;
}

}  // namespace camerasetup
