#pragma once

#include "CameraPipeline.h"

#include <functional>
#include <vector>

namespace camera {

// The video capture devices of the machine, and notice of devices plugged in while it runs.
class CameraDeviceMonitor {
public:
    // Called on a GStreamer thread for every video source that appears.
    using DeviceAdded = std::function<void(const CameraSource& added)>;

    explicit CameraDeviceMonitor(DeviceAdded onAdded);
    ~CameraDeviceMonitor();
    CameraDeviceMonitor(const CameraDeviceMonitor&) = delete;
    CameraDeviceMonitor& operator=(const CameraDeviceMonitor&) = delete;

    // The devices present now, in the stable order that numbers the cameras.
    std::vector<CameraSource> currentCameras() const;

private:
    static GstBusSyncReply onBusMessage(GstBus* bus, GstMessage* message, gpointer self);

    const DeviceAdded onAdded_;
    gst::ObjectPtr<GstDeviceMonitor> monitor_;
    gst::ObjectPtr<GstBus> bus_;
    bool started_ = false;
};

}  // namespace camera
