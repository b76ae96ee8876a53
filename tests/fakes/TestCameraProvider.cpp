#include "TestCameraProvider.h"

#include <gst/gst.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace {

struct WeakRefFree {
    void operator()(GWeakRef* ref) const {
        g_weak_ref_clear(ref);
        delete ref;
    }
};
using WeakRef = std::unique_ptr<GWeakRef, WeakRefFree>;

struct DeviceData {
    std::uint32_t argb = 0;
    QString serial;
};

// The sources made for each serial number, to fail them on unplug and to see whether they run.
struct MadeSources {
    std::mutex mutex;
    std::map<QString, std::vector<WeakRef>> bySerial;
};
MadeSources& madeSources() {
    static MadeSources sources;
    return sources;
}

}  // namespace

extern "C" {

struct TestCameraDevice {
    GstDevice parent;
    DeviceData* data;
};
struct TestCameraDeviceClass {
    GstDeviceClass parent_class;
};

struct TestCameraProvider {
    GstDeviceProvider parent;
    gboolean started;
};
struct TestCameraProviderClass {
    GstDeviceProviderClass parent_class;
};

G_DEFINE_TYPE(TestCameraDevice, test_camera_device, GST_TYPE_DEVICE)
G_DEFINE_TYPE(TestCameraProvider, test_camera_provider, GST_TYPE_DEVICE_PROVIDER)

static GstElement* test_camera_device_create_element(GstDevice* device, const gchar* name) {
    DeviceData* data = reinterpret_cast<TestCameraDevice*>(device)->data;
    GstElement* source = gst_element_factory_make("videotestsrc", name);
    if (source == nullptr) {
        return nullptr;
    }
    gst_util_set_object_arg(G_OBJECT(source), "pattern", "solid-color");
    g_object_set(source, "is-live", TRUE, "foreground-color", data->argb, nullptr);
    WeakRef ref(new GWeakRef);
    g_weak_ref_init(ref.get(), source);
    MadeSources& made = madeSources();
    const std::lock_guard lock(made.mutex);
    made.bySerial[data->serial].push_back(std::move(ref));
    return source;
}

static void test_camera_device_finalize(GObject* object) {
    delete reinterpret_cast<TestCameraDevice*>(object)->data;
    G_OBJECT_CLASS(test_camera_device_parent_class)->finalize(object);
}

static void test_camera_device_class_init(TestCameraDeviceClass* klass) {
    GST_DEVICE_CLASS(klass)->create_element = test_camera_device_create_element;
    G_OBJECT_CLASS(klass)->finalize = test_camera_device_finalize;
}

static void test_camera_device_init(TestCameraDevice* device) {
    device->data = new DeviceData;
}

static std::vector<GstDevice*>& pluggedIn() {
    static std::vector<GstDevice*> devices;  // one reference each
    return devices;
}

static GList* test_camera_provider_probe(GstDeviceProvider* /*provider*/) {
    GList* devices = nullptr;
    for (GstDevice* device : pluggedIn()) {
        devices = g_list_append(devices, gst_object_ref(device));
    }
    return devices;
}

static gboolean test_camera_provider_start(GstDeviceProvider* provider) {
    reinterpret_cast<TestCameraProvider*>(provider)->started = TRUE;
    for (GstDevice* device : pluggedIn()) {
        // A device that is not floating keeps its caller's reference; the provider takes its own.
        gst_device_provider_device_add(provider, device);
    }
    return TRUE;
}

static void test_camera_provider_stop(GstDeviceProvider* provider) {
    reinterpret_cast<TestCameraProvider*>(provider)->started = FALSE;
}

static void test_camera_provider_class_init(TestCameraProviderClass* klass) {
    GstDeviceProviderClass* providerClass = GST_DEVICE_PROVIDER_CLASS(klass);
    providerClass->probe = test_camera_provider_probe;
    providerClass->start = test_camera_provider_start;
    providerClass->stop = test_camera_provider_stop;
    gst_device_provider_class_set_static_metadata(providerClass, "Station test cameras",
                                                  "Source/Video", "Simulated USB cameras",
                                                  "station tests");
}

static void test_camera_provider_init(TestCameraProvider* provider) {
    provider->started = FALSE;
}

}  // extern "C"

namespace testcamera {

namespace {

constexpr const char* kProviderName = "stationtestcameras";

// The factory keeps one provider instance for the whole process.
GstDeviceProvider* provider() {
    return gst_device_provider_factory_get_by_name(kProviderName);
}

void postDeviceGone(GstElement* source) {
    GError* error = g_error_new_literal(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_READ,
                                        "Could not read from resource.");
    gst_element_post_message(source, gst_message_new_error(GST_OBJECT(source), error,
                                                           "poll error 1: No such device (19)"));
    g_error_free(error);
}

}  // namespace

void registerProvider() {
    static std::once_flag once;
    std::call_once(once, [] {
        gst_init(nullptr, nullptr);
        gst_device_provider_register(nullptr, kProviderName, GST_RANK_PRIMARY,
                                     test_camera_provider_get_type());
    });
}

void plugIn(const Device& device) {
    const QByteArray node = device.node.toUtf8();
    const QByteArray serial = device.serial.toUtf8();
    GstStructure* properties = gst_structure_new(
        "test-camera", "device.path", G_TYPE_STRING, node.constData(), "device.api", G_TYPE_STRING,
        "test", "device.vendor.id", G_TYPE_STRING, "1d6b", "device.product.id", G_TYPE_STRING,
        "0102", "device.serial", G_TYPE_STRING, serial.constData(), nullptr);
    GstCaps* caps = gst_caps_from_string(
        "image/jpeg,width=1280,height=720,framerate=30/1; "
        "image/jpeg,width=640,height=480,framerate=30/1; "
        "video/x-raw,format=YUY2,width=1280,height=720,framerate=10/1; "
        "video/x-raw,format=YUY2,width=640,height=480,framerate={30/1,15/1}");
    auto* made = static_cast<TestCameraDevice*>(g_object_new(
        test_camera_device_get_type(), "display-name", device.name.toUtf8().constData(),
        "device-class", "Video/Source", "caps", caps, "properties", properties, nullptr));
    gst_caps_unref(caps);
    gst_structure_free(properties);
    made->data->argb = device.argb;
    made->data->serial = device.serial;
    GstDevice* added = GST_DEVICE(gst_object_ref_sink(made));
    pluggedIn().push_back(GST_DEVICE(gst_object_ref(added)));

    GstDeviceProvider* instance = provider();
    if (reinterpret_cast<TestCameraProvider*>(instance)->started) {
        gst_device_provider_device_add(instance, added);
    }
    gst_object_unref(added);
    gst_object_unref(instance);
}

void unplug(const QString& serial) {
    auto& devices = pluggedIn();
    const auto found = std::find_if(devices.begin(), devices.end(), [&serial](GstDevice* device) {
        GstStructure* properties = gst_device_get_properties(device);
        const bool same =
            QString::fromUtf8(gst_structure_get_string(properties, "device.serial")) == serial;
        gst_structure_free(properties);
        return same;
    });
    if (found == devices.end()) {
        return;
    }
    GstDevice* device = *found;
    devices.erase(found);
    {
        MadeSources& made = madeSources();
        const std::lock_guard lock(made.mutex);
        for (const WeakRef& ref : made.bySerial[serial]) {
            if (auto* source = static_cast<GstElement*>(g_weak_ref_get(ref.get()))) {
                postDeviceGone(source);
                gst_object_unref(source);
            }
        }
    }
    GstDeviceProvider* instance = provider();
    if (reinterpret_cast<TestCameraProvider*>(instance)->started) {
        gst_device_provider_device_remove(instance, device);
    }
    gst_object_unref(instance);
    gst_object_unref(device);
}

int runningSources(const QString& serial) {
    MadeSources& made = madeSources();
    const std::lock_guard lock(made.mutex);
    int running = 0;
    for (const WeakRef& ref : made.bySerial[serial]) {
        if (auto* source = static_cast<GstElement*>(g_weak_ref_get(ref.get()))) {
            GstState state = GST_STATE_VOID_PENDING;
            gst_element_get_state(source, &state, nullptr, 0);
            running += state > GST_STATE_NULL ? 1 : 0;
            gst_object_unref(source);
        }
    }
    return running;
}

void unplugAll() {
    while (!pluggedIn().empty()) {
        GstStructure* properties = gst_device_get_properties(pluggedIn().front());
        const QString serial =
            QString::fromUtf8(gst_structure_get_string(properties, "device.serial"));
        gst_structure_free(properties);
        unplug(serial);
    }
}

}  // namespace testcamera
