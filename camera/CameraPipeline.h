#pragma once

#include "CameraDescription.h"
#include "CameraHealth.h"
#include "GstHandles.h"

#include <QString>

#include <gst/app/gstappsink.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace camera {

class JpegFrame;

// Where one camera's pictures come from.
struct CameraSource {
    QString description;                // gst-launch fragment, or the device's name
    std::optional<QString> devicePath;  // device node, to restart when it is plugged in again
    std::shared_ptr<GstDevice> device;  // set when the camera was found by the device monitor
    // Survives a replug onto another node: vendor, product and serial, or the USB port.
    std::optional<QString> identity;
};

// The element that raised a pipeline's error.
struct ErrorOrigin {
    QString factory;  // e.g. "v4l2src"; empty when unknown
    QString device;   // the node it opens, from its "device" property; empty when it has none
};

// The cause of an error that a camera pipeline reported. Its domain and code decide first, then
// the errno of opening the device again, then the untranslated parts of the debug text; the
// words of the message (which glibc and GStreamer translate) only when nothing else tells.
CameraFailure classifyError(const GError& error, const QString& debug, const ErrorOrigin& origin);

// One camera running continuously: SOURCE ! appsink, keeping the latest picture as delivered.
// A source that cannot be built, an error or the end of the stream leaves it failed for good; a
// new CameraPipeline is built to try again.
class CameraPipeline {
public:
    // Both are called on GStreamer threads (or during a call into this object), never with a
    // lock held; they must only hand work over to the owner's thread, or do what is safe on any
    // thread (a diagnostic).
    struct Listener {
        std::function<void()> frameArrived;
        std::function<void(const CameraFailure& failure)> failed;
    };

    CameraPipeline(CameraSource source, Listener listener);
    ~CameraPipeline();
    CameraPipeline(const CameraPipeline&) = delete;
    CameraPipeline& operator=(const CameraPipeline&) = delete;

    void play();
    // Stops the pipeline and closes its device, keeping the failure; for a camera that has
    // failed, so that the device is free when it comes back. Not on a GStreamer thread.
    void release();

    const CameraSource& source() const { return source_; }
    CameraState state() const;
    bool hasFailed() const;

    // Blocks until the first frame or a failure arrives, or until `deadline`.
    CameraState awaitFirstFrame(CameraClock::time_point deadline) const;

    // The GenICam camera (an ArvCamera) that the source's aravissrc has open; empty for other
    // sources and before it is open.
    std::shared_ptr<GObject> genicamCamera() const;
    // Its vendor, model, serial, firmware, interface and address, read once per opening.
    CameraDescription::Values genicamIdentity() const;

    // What the end of a camera line leaves for the sink once its decoder is taken out.
    enum class Delivers { Raw, Jpeg, Bayer };

private:
    static GstFlowReturn onNewSample(GstAppSink* sink, gpointer self);
    static GstBusSyncReply onBusMessage(GstBus* bus, GstMessage* message, gpointer self);

    void build();
    // The source as one element with a src pad; empty (and failed) when it cannot be made.
    // `delivers` tells what it delivers once a decoder at its end is taken out.
    gst::ObjectPtr<GstElement> makeSource(Delivers& delivers);
    void takeSample(GstAppSink* sink);
    // Streaming thread only.
    std::optional<LatestFrame> frameOf(gst::SamplePtr& sample);
    // Counts the frames a GenICam camera lost before this one, from the gap in its timestamps.
    void countLostFrames(const GstBuffer& buffer, std::optional<CameraClock::duration> interval);
    // Frames lost in the seconds before the last picture arrived: a stopped stream is reported
    // only a time-out after its last frame, by when the losses that explain it are that old.
    int framesLostBeforeLastPicture() const;
    void fail(const CameraFailure& failure);
    void failOnError(GstMessage* message);

    const CameraSource source_;
    const Listener listener_;
    gst::ObjectPtr<GstElement> pipeline_;
    gst::ObjectPtr<GstBus> bus_;

    const bool genicam_;
    // A GenICam camera is looked for on the network when it starts, which takes up to a
    // second: it is started on a thread of its own, not the caller's.
    std::thread starter_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    CameraState state_;                           // guarded by mutex_
    std::deque<CameraClock::time_point> losses_;  // guarded by mutex_: when frames were lost
    mutable CameraDescription::Values identity_;  // guarded by mutex_
    std::shared_ptr<const JpegFrame> lastJpeg_;   // streaming thread only
};

}  // namespace camera
