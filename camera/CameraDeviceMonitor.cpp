#include "CameraDeviceMonitor.h"

#include "CameraConfig.h"

#include <algorithm>
#include <array>

namespace camera {

namespace {

std::optional<QString> devicePathOf(GstDevice* device) {
    const gst::StructurePtr properties(gst_device_get_properties(device));
    if (!properties) {
        return std::nullopt;
    }
    // Newer providers name the node api.v4l2.path, older ones device.path.
    constexpr std::array kPathKeys{"api.v4l2.path", "device.path"};
    for (const char* key : kPathKeys) {
        if (const gchar* path = gst_structure_get_string(properties.get(), key)) {
            return QString::fromUtf8(path);
        }
    }
    return std::nullopt;
}

QString propertyOf(const GstStructure* properties, const char* key) {
    const gchar* value = properties ? gst_structure_get_string(properties, key) : nullptr;
    return value ? QString::fromUtf8(value) : QString();
}

std::optional<QString> identityOf(GstDevice* device) {
    const gst::StructurePtr properties(gst_device_get_properties(device));
    return cameraconfig::deviceIdentity(propertyOf(properties.get(), "device.vendor.id"),
                                        propertyOf(properties.get(), "device.product.id"),
                                        propertyOf(properties.get(), "device.serial"),
                                        propertyOf(properties.get(), "device.bus_path"));
}

CameraSource sourceOf(GstDevice* device) {
    const gst::CharPtr name(gst_device_get_display_name(device));
    return CameraSource{name ? QString::fromUtf8(name.get()) : QStringLiteral("video device"),
                        devicePathOf(device), gst::shareRef(device), identityOf(device)};
}

}  // namespace

CameraDeviceMonitor::CameraDeviceMonitor(DeviceAdded onAdded) : onAdded_(std::move(onAdded)) {
    gst::ensureInitialised();
    monitor_ = gst::take(gst_device_monitor_new());
    gst_device_monitor_add_filter(monitor_.get(), "Video/Source", nullptr);
    bus_.reset(gst_device_monitor_get_bus(monitor_.get()));
    gst_bus_set_sync_handler(bus_.get(), &CameraDeviceMonitor::onBusMessage, this, nullptr);
    started_ = gst_device_monitor_start(monitor_.get()) != FALSE;
}

CameraDeviceMonitor::~CameraDeviceMonitor() {
    if (started_) {
        gst_device_monitor_stop(monitor_.get());
    }
    gst_bus_set_sync_handler(bus_.get(), nullptr, nullptr, nullptr);
}

std::vector<CameraSource> CameraDeviceMonitor::currentCameras() const {
    std::vector<CameraSource> found;
    GList* devices = gst_device_monitor_get_devices(monitor_.get());
    for (GList* item = devices; item != nullptr; item = item->next) {
        found.push_back(sourceOf(GST_DEVICE(item->data)));
    }
    g_list_free_full(devices, gst_object_unref);

    std::vector<cameraconfig::DeviceListing> listings(found.size());
    std::transform(found.begin(), found.end(), listings.begin(), [](const CameraSource& source) {
        return cameraconfig::DeviceListing{source.devicePath.value_or(QString()),
                                           source.description};
    });
    const std::vector<std::size_t> order = cameraconfig::deviceOrder(listings);
    std::vector<CameraSource> ordered(order.size());
    std::transform(order.begin(), order.end(), ordered.begin(),
                   [&found](std::size_t position) { return found[position]; });
    return ordered;
}

GstBusSyncReply CameraDeviceMonitor::onBusMessage(GstBus* /*bus*/, GstMessage* message,
                                                  gpointer self) {
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_DEVICE_ADDED) {
        GstDevice* rawDevice = nullptr;
        gst_message_parse_device_added(message, &rawDevice);
        const gst::ObjectPtr<GstDevice> device(rawDevice);
        const auto* monitor = static_cast<CameraDeviceMonitor*>(self);
        if (device && monitor->onAdded_) {
            monitor->onAdded_(sourceOf(device.get()));
        }
    }
    return GST_BUS_DROP;
}

}  // namespace camera
