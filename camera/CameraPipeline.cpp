#include "CameraPipeline.h"

#include <gst/video/video.h>

#include <utility>

namespace camera {

namespace {

// The pixel layout whose bytes QImage::Format_RGB32 reads as 0xffRRGGBB words.
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
constexpr const char* kSinkCaps = "video/x-raw,format=BGRx";
#else
constexpr const char* kSinkCaps = "video/x-raw,format=xRGB";
#endif

// A mapped video frame that lives exactly as long as the QImage that shows its pixels.
struct MappedFrame {
    GstVideoFrame frame{};
    bool mapped = false;

    ~MappedFrame() {
        if (mapped) {
            gst_video_frame_unmap(&frame);
        }
    }
    static void release(void* self) { delete static_cast<MappedFrame*>(self); }
};

std::optional<CameraClock::duration> frameIntervalOf(const GstVideoInfo& info) {
    if (GST_VIDEO_INFO_FPS_N(&info) <= 0 || GST_VIDEO_INFO_FPS_D(&info) <= 0) {
        return std::nullopt;
    }
    const std::chrono::duration<double> seconds(static_cast<double>(GST_VIDEO_INFO_FPS_D(&info)) /
                                                GST_VIDEO_INFO_FPS_N(&info));
    return std::chrono::duration_cast<CameraClock::duration>(seconds);
}

gst::ObjectPtr<GstElement> makeElement(const char* factory) {
    return gst::take(gst_element_factory_make(factory, nullptr));
}

bool mentions(const QString& message, const QString& debug, const char* text) {
    const QLatin1String needle(text);
    return message.contains(needle, Qt::CaseInsensitive) ||
           debug.contains(needle, Qt::CaseInsensitive);
}

}  // namespace

CameraFailure classifyError(const GError& error, const QString& debug,
                            const QString& sourceFactory) {
    const QString message = QString::fromUtf8(error.message != nullptr ? error.message : "");
    const auto is = [&error](GQuark domain, int code) {
        return error.domain == domain && error.code == code;
    };
    FailureReason reason = FailureReason::Other;
    if (error.domain == GST_PARSE_ERROR) {
        reason = FailureReason::ParseError;
    } else if (is(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_BUSY) ||
               mentions(message, debug, "Device or resource busy")) {
        reason = FailureReason::DeviceBusy;
    } else if (mentions(message, debug, "Permission denied")) {
        reason = FailureReason::PermissionDenied;
    } else if (mentions(message, debug, "No space left on device") ||
               (sourceFactory == QLatin1String("v4l2src") &&
                is(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_SETTINGS) &&
                mentions(message, debug, "Buffer pool activation failed"))) {
        // v4l2src reports a refused VIDIOC_STREAMON (ENOSPC) only as a pool that cannot start.
        reason = FailureReason::UsbBandwidth;
    } else if (is(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_NOT_FOUND) ||
               mentions(message, debug, "No such device") ||
               mentions(message, debug, "No such file or directory")) {
        reason = FailureReason::NoSuchDevice;
    } else if (mentions(message, debug, "reason not-linked")) {
        reason = FailureReason::NotLinked;
    }
    return CameraFailure{reason, message};
}

CameraPipeline::CameraPipeline(CameraSource source, Listener listener)
    : source_(std::move(source)), listener_(std::move(listener)) {
    gst::ensureInitialised();
    build();
}

CameraPipeline::~CameraPipeline() {
    if (pipeline_) {
        // Joins the streaming threads, so no callback runs after this.
        gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    }
    if (bus_) {
        gst_bus_set_sync_handler(bus_.get(), nullptr, nullptr, nullptr);
    }
}

gst::ObjectPtr<GstElement> CameraPipeline::makeConvertedSource() {
    if (source_.device) {
        auto device = gst::take(gst_device_create_element(source_.device.get(), nullptr));
        auto convert = makeElement("videoconvert");
        auto bin = gst::take(gst_bin_new(nullptr));
        if (!device || !convert || !bin) {
            fail({FailureReason::Other, QStringLiteral("the device cannot be opened")});
            return nullptr;
        }
        gst_bin_add_many(GST_BIN(bin.get()), device.get(), convert.get(), nullptr);
        gst::ObjectPtr<GstPad> output(gst_element_get_static_pad(convert.get(), "src"));
        if (!gst_element_link(device.get(), convert.get()) ||
            !gst_element_add_pad(bin.get(), gst_ghost_pad_new("src", output.get()))) {
            fail({FailureReason::NotLinked,
                  QStringLiteral("the device delivers no video that can be converted")});
            return nullptr;
        }
        return bin;
    }
    // The converter goes into the parsed text because a fragment may end in caps, which the
    // parser accepts only between two elements.
    const QByteArray description =
        (source_.description + QStringLiteral(" ! videoconvert")).toUtf8();
    GError* rawError = nullptr;
    auto bin = gst::take(gst_parse_bin_from_description(description.constData(), TRUE, &rawError));
    const gst::ErrorPtr error(rawError);
    if (error) {
        // A description with a recoverable mistake still yields a bin; it is refused all the same.
        fail({FailureReason::ParseError, QString::fromUtf8(error->message)});
        return nullptr;
    }
    if (!bin) {
        fail({FailureReason::ParseError, QStringLiteral("the description yields no element")});
    }
    return bin;
}

void CameraPipeline::build() {
    auto converted = makeConvertedSource();
    if (!converted) {
        return;
    }
    auto sink = makeElement("appsink");
    auto pipeline = gst::take(gst_pipeline_new(nullptr));
    if (!sink || !pipeline) {
        fail({FailureReason::Other, QStringLiteral("the GStreamer element appsink is missing")});
        return;
    }

    auto* appSink = GST_APP_SINK(sink.get());
    const gst::CapsPtr caps(gst_caps_from_string(kSinkCaps));
    gst_app_sink_set_caps(appSink, caps.get());
    gst_app_sink_set_max_buffers(appSink, 1);
    gst_app_sink_set_drop(appSink, TRUE);
    g_object_set(sink.get(), "sync", FALSE, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = &CameraPipeline::onNewSample;
    gst_app_sink_set_callbacks(appSink, &callbacks, this, nullptr);

    // The bin takes its own references; ours end with this scope.
    gst_bin_add_many(GST_BIN(pipeline.get()), converted.get(), sink.get(), nullptr);
    if (!gst_element_link(converted.get(), sink.get())) {
        fail({FailureReason::NotLinked,
              QStringLiteral("the source delivers no video that can be converted")});
        return;
    }

    bus_.reset(gst_element_get_bus(pipeline.get()));
    // A sync handler sees errors on the thread that raises them, whatever event loop the
    // application runs, and dropping every message keeps the bus from filling up.
    gst_bus_set_sync_handler(bus_.get(), &CameraPipeline::onBusMessage, this, nullptr);
    pipeline_ = std::move(pipeline);
}

void CameraPipeline::play() {
    {
        const std::lock_guard lock(mutex_);
        state_.playingSince = CameraClock::now();
    }
    if (!pipeline_) {
        return;
    }
    if (gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        // The error message, when there is one, has already been recorded by the bus handler.
        fail({FailureReason::Other, QStringLiteral("the source cannot be started")});
    }
}

void CameraPipeline::release() {
    if (pipeline_) {
        gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    }
}

CameraState CameraPipeline::state() const {
    const std::lock_guard lock(mutex_);
    return state_;
}

bool CameraPipeline::hasFailed() const {
    const std::lock_guard lock(mutex_);
    return state_.failure.has_value();
}

CameraState CameraPipeline::awaitFirstFrame(CameraClock::time_point deadline) const {
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, deadline,
                        [this] { return state_.frame.has_value() || state_.failure.has_value(); });
    return state_;
}

GstFlowReturn CameraPipeline::onNewSample(GstAppSink* sink, gpointer self) {
    static_cast<CameraPipeline*>(self)->takeSample(sink);
    return GST_FLOW_OK;
}

void CameraPipeline::takeSample(GstAppSink* sink) {
    const gst::SamplePtr sample(gst_app_sink_pull_sample(sink));
    if (!sample) {
        return;
    }
    GstCaps* caps = gst_sample_get_caps(sample.get());
    GstBuffer* buffer = gst_sample_get_buffer(sample.get());
    GstVideoInfo info;
    if (caps == nullptr || buffer == nullptr || !gst_video_info_from_caps(&info, caps)) {
        return;
    }
    auto mapped = std::make_unique<MappedFrame>();
    // The mapping holds its own reference to the buffer, so the sample can go.
    mapped->mapped = gst_video_frame_map(&mapped->frame, &info, buffer, GST_MAP_READ);
    if (!mapped->mapped) {
        return;
    }
    const QImage image(static_cast<const uchar*>(GST_VIDEO_FRAME_PLANE_DATA(&mapped->frame, 0)),
                       GST_VIDEO_FRAME_WIDTH(&mapped->frame),
                       GST_VIDEO_FRAME_HEIGHT(&mapped->frame),
                       GST_VIDEO_FRAME_PLANE_STRIDE(&mapped->frame, 0), QImage::Format_RGB32,
                       &MappedFrame::release, mapped.get());
    if (image.isNull()) {
        return;
    }
    static_cast<void>(mapped.release());  // the image owns it now

    std::optional<LatestFrame> previous;
    {
        const std::lock_guard lock(mutex_);
        previous = std::exchange(state_.frame,
                                 LatestFrame{image, CameraClock::now(), frameIntervalOf(info)});
    }
    previous.reset();  // gives the old buffer back outside the lock
    changed_.notify_all();
    if (listener_.frameArrived) {
        listener_.frameArrived();
    }
}

GstBusSyncReply CameraPipeline::onBusMessage(GstBus* /*bus*/, GstMessage* message, gpointer self) {
    auto* camera = static_cast<CameraPipeline*>(self);
    switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_ERROR: {
            GError* rawError = nullptr;
            gchar* rawDebug = nullptr;
            gst_message_parse_error(message, &rawError, &rawDebug);
            const gst::ErrorPtr error(rawError);
            const gst::CharPtr debug(rawDebug);
            QString factory;
            if (GST_IS_ELEMENT(GST_MESSAGE_SRC(message))) {
                if (GstElementFactory* made =
                        gst_element_get_factory(GST_ELEMENT(GST_MESSAGE_SRC(message)))) {
                    factory = QString::fromUtf8(gst_plugin_feature_get_name(made));
                }
            }
            camera->fail(error ? classifyError(*error, QString::fromUtf8(debug.get()), factory)
                               : CameraFailure{FailureReason::Other, QString()});
            break;
        }
        case GST_MESSAGE_EOS:
            camera->fail({FailureReason::StreamEnded, QString()});
            break;
        default:
            break;
    }
    return GST_BUS_DROP;
}

void CameraPipeline::fail(CameraFailure failure) {
    bool first = false;
    {
        const std::lock_guard lock(mutex_);
        if (!state_.failure) {
            state_.failure = describeFailure(failure);
            state_.failureCause = std::move(failure);
            first = true;
        }
    }
    changed_.notify_all();
    if (first && listener_.failed) {
        listener_.failed();
    }
}

}  // namespace camera
