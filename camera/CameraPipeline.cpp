#include "CameraPipeline.h"

#include "CameraFrames.h"
#include "Genicam.h"

#include <QFile>
#include <QRegularExpression>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <utility>

namespace camera {

namespace {

// What the sink takes: the screen's own layout first, so that a source free to choose delivers
// pictures that need no conversion, then any uncompressed layout, converted only when shown.
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
constexpr const char* kRawCaps = "video/x-raw,format=BGRx; video/x-raw";
#else
constexpr const char* kRawCaps = "video/x-raw,format=xRGB; video/x-raw";
#endif
// Only for a line that decoded JPEG at its end: a source that may choose is not pushed to MJPEG.
constexpr const char* kCompressedCaps = "image/jpeg";
// Only for a line that ended in bayer2rgb: the mosaic is kept and demosaiced when shown.
constexpr const char* kBayerCaps = "video/x-bayer";
// Frames lost this long ago still explain why a GenICam camera's pictures stopped.
constexpr std::chrono::seconds kLossMemory{3};

// Frames of one camera that exist at once: the one the source is filling, the newest kept here,
// and one being painted or encoded as a still. Left to size its own pool, a source adds a frame
// (8 MiB at 1080p) for good whenever more holds than ever before happen to coincide, hours into
// the day. Bounded, it allocates them at start, and when a painting and a still coincide it
// waits a moment for one to come back.
constexpr guint kCameraFrames = 3;

// The element that a camera line ends in; named so that the decoder before it can be found.
constexpr const char* kOutputName = "station-camera-output";

using Delivers = CameraPipeline::Delivers;

// Decoders that a camera line may end in. They are taken out so that pictures stay compressed
// (or a mosaic) until one is shown or taken as a still.
Delivers decoderKind(GstElement* element) {
    GstElementFactory* factory = gst_element_get_factory(element);
    if (factory == nullptr) {
        return Delivers::Raw;
    }
    const QLatin1String name(gst_plugin_feature_get_name(factory));
    if (name == QLatin1String("jpegdec") || name == QLatin1String("avdec_mjpeg")) {
        return Delivers::Jpeg;
    }
    return name == QLatin1String("bayer2rgb") ? Delivers::Bayer : Delivers::Raw;
}

struct PadLink {
    gst::ObjectPtr<GstPad> peer;  // the other element's pad
    gst::ObjectPtr<GstElement> element;
};

// The element linked before `pad`, and its pad that is linked to it.
std::optional<PadLink> linkBefore(GstPad* pad) {
    gst::ObjectPtr<GstPad> peer(gst_pad_get_peer(pad));
    if (!peer) {
        return std::nullopt;
    }
    gst::ObjectPtr<GstElement> element(gst_pad_get_parent_element(peer.get()));
    if (!element) {
        return std::nullopt;
    }
    return PadLink{std::move(peer), std::move(element)};
}

// Removes a JPEG or Bayer decoder linked straight before `output`; what is left delivers.
Delivers takeOutDecoder(GstBin* bin, GstElement* output) {
    const gst::ObjectPtr<GstPad> outputSink(gst_element_get_static_pad(output, "sink"));
    const std::optional<PadLink> decoder = outputSink ? linkBefore(outputSink.get()) : std::nullopt;
    if (!decoder) {
        return Delivers::Raw;
    }
    const Delivers kind = decoderKind(decoder->element.get());
    if (kind == Delivers::Raw) {
        return Delivers::Raw;
    }
    const gst::ObjectPtr<GstPad> decoderSink(
        gst_element_get_static_pad(decoder->element.get(), "sink"));
    const gst::ObjectPtr<GstPad> upstream(decoderSink ? gst_pad_get_peer(decoderSink.get())
                                                      : nullptr);
    if (!upstream) {
        return Delivers::Raw;
    }
    gst_pad_unlink(upstream.get(), decoderSink.get());
    gst_pad_unlink(decoder->peer.get(), outputSink.get());
    gst_bin_remove(bin, decoder->element.get());
    return gst_pad_link(upstream.get(), outputSink.get()) == GST_PAD_LINK_OK ? kind : Delivers::Raw;
}

// Answers the source's allocation query for raw video with a bounded pool of kCameraFrames.
GstPadProbeReturn boundCameraPool(GstPad* /*pad*/, GstPadProbeInfo* info, gpointer /*unused*/) {
    GstQuery* const query = GST_PAD_PROBE_INFO_QUERY(info);
    if (query == nullptr || GST_QUERY_TYPE(query) != GST_QUERY_ALLOCATION) {
        return GST_PAD_PROBE_OK;
    }
    GstCaps* caps = nullptr;
    gst_query_parse_allocation(query, &caps, nullptr);
    GstVideoInfo video;
    if (caps == nullptr || !gst_video_info_from_caps(&video, caps) ||
        gst_query_get_n_allocation_pools(query) > 0) {
        return GST_PAD_PROBE_OK;  // compressed pictures are copied as they arrive
    }
    gst_query_add_allocation_pool(query, nullptr, static_cast<guint>(video.size), kCameraFrames,
                                  kCameraFrames);
    return GST_PAD_PROBE_HANDLED;
}

std::optional<CameraClock::duration> frameInterval(int numerator, int denominator) {
    if (numerator <= 0 || denominator <= 0) {
        return std::nullopt;
    }
    const std::chrono::duration<double> seconds(static_cast<double>(denominator) / numerator);
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

std::optional<FailureReason> reasonOfErrno(int number) {
    switch (number) {
        case EACCES:
        case EPERM:
            return FailureReason::PermissionDenied;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return FailureReason::NoSuchDevice;
        case EBUSY:
            return FailureReason::DeviceBusy;
        case ENOSPC:
            return FailureReason::UsbBandwidth;
        default:
            return std::nullopt;
    }
}

// The system error of opening the device the way v4l2src does; 0 when it opens now. An open
// failure comes with the error's text only, which glibc translates.
int errnoOpening(const QString& device) {
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    ::close(fd);
    return 0;
}

bool isOpenError(const GError& error) {
    return error.domain == GST_RESOURCE_ERROR && (error.code == GST_RESOURCE_ERROR_OPEN_READ ||
                                                  error.code == GST_RESOURCE_ERROR_OPEN_WRITE ||
                                                  error.code == GST_RESOURCE_ERROR_OPEN_READ_WRITE);
}

// What the error's domain and code tell, with the untranslated parts of the debug text that
// v4l2src and the streaming threads write.
std::optional<FailureReason> reasonOfCode(const GError& error, const QString& debug,
                                          const QString& factory) {
    const bool v4l2 = factory == QLatin1String("v4l2src");
    if (error.domain == GST_PARSE_ERROR) {
        return FailureReason::ParseError;
    }
    if (error.domain == GST_RESOURCE_ERROR) {
        switch (error.code) {
            case GST_RESOURCE_ERROR_BUSY:
                return FailureReason::DeviceBusy;
            case GST_RESOURCE_ERROR_NOT_FOUND:
                return FailureReason::NoSuchDevice;
            case GST_RESOURCE_ERROR_SETTINGS:
                // v4l2src reports a refused VIDIOC_STREAMON (ENOSPC) only as a pool that cannot
                // start.
                if (v4l2 && debug.contains(QLatin1String("Buffer pool activation failed"))) {
                    return FailureReason::UsbBandwidth;
                }
                break;
            case GST_RESOURCE_ERROR_READ:
                // A streaming node reports its unplug as an error condition on poll; the errno
                // printed with it is whatever the last call left.
                if (v4l2 && debug.contains(QLatin1String("poll error"))) {
                    return FailureReason::NoSuchDevice;
                }
                break;
            default:
                break;
        }
    }
    if (debug.contains(QLatin1String("reason not-linked"))) {
        return FailureReason::NotLinked;
    }
    // "error with STREAMON 28 (...)": the number is the errno, the words are translated.
    static const QRegularExpression streamOn(QStringLiteral("\\bSTREAMON (\\d+)\\b"));
    if (const QRegularExpressionMatch number = streamOn.match(debug); number.hasMatch()) {
        return reasonOfErrno(number.captured(1).toInt());
    }
    return std::nullopt;
}

// The last resort: glibc's English texts, for a source whose code and device tell nothing.
FailureReason reasonOfText(const QString& message, const QString& debug) {
    if (mentions(message, debug, "Device or resource busy")) {
        return FailureReason::DeviceBusy;
    }
    if (mentions(message, debug, "Permission denied")) {
        return FailureReason::PermissionDenied;
    }
    if (mentions(message, debug, "No space left on device")) {
        return FailureReason::UsbBandwidth;
    }
    if (mentions(message, debug, "No such device") ||
        mentions(message, debug, "No such file or directory")) {
        return FailureReason::NoSuchDevice;
    }
    return FailureReason::Other;
}

// The element that raised a bus message: its factory, and the node it opens when it has one.
ErrorOrigin originOf(GstObject* object) {
    ErrorOrigin origin;
    if (!GST_IS_ELEMENT(object)) {
        return origin;
    }
    if (GstElementFactory* made = gst_element_get_factory(GST_ELEMENT(object))) {
        origin.factory = QString::fromUtf8(gst_plugin_feature_get_name(made));
    }
    const GParamSpec* device = g_object_class_find_property(G_OBJECT_GET_CLASS(object), "device");
    if (device != nullptr && device->value_type == G_TYPE_STRING &&
        (device->flags & G_PARAM_READABLE) != 0) {
        gchar* raw = nullptr;
        g_object_get(object, "device", &raw, nullptr);
        const gst::CharPtr path(raw);
        origin.device = path ? QFile::decodeName(path.get()) : QString();
    }
    return origin;
}

// The cause of an error that aravissrc raised, asking the camera it opened; aravissrc posts its
// errors with its lock released, so its camera can be asked from here.
std::optional<CameraFailure> genicamFailureOf(GstMessage* message, const GError& error,
                                              const QString& id) {
    GObject* raw = nullptr;
    g_object_get(GST_MESSAGE_SRC(message), "camera", &raw, nullptr);
    const std::shared_ptr<GObject> camera(raw, [](GObject* object) {
        if (object != nullptr) {
            g_object_unref(object);
        }
    });
    // A stopped stream's error carries its flow return in its details.
    const GstStructure* details = nullptr;
    gst_message_parse_error_details(message, &details);
    int flow = 0;
    const bool stopped = details != nullptr && gst_structure_get_int(details, "flow-return", &flow);
    return genicam::classifyGenicamError(
        {error, stopped ? std::optional<int>(flow) : std::nullopt, camera.get(), id},
        genicam::lastDiscoveredIds());
}

}  // namespace

CameraFailure classifyError(const GError& error, const QString& debug, const ErrorOrigin& origin) {
    const QString message = QString::fromUtf8(error.message != nullptr ? error.message : "");
    std::optional<FailureReason> reason = reasonOfCode(error, debug, origin.factory);
    if (!reason && isOpenError(error) && !origin.device.isEmpty()) {
        reason = reasonOfErrno(errnoOpening(origin.device));
    }
    return CameraFailure{reason.value_or(reasonOfText(message, debug)), message};
}

CameraPipeline::CameraPipeline(CameraSource source, Listener listener)
    : source_(std::move(source)),
      listener_(std::move(listener)),
      genicam_(genicam::cameraName(source_.description).has_value()) {
    gst::ensureInitialised();
    if (genicam_) {
        state_.firstFrameWait = kGenicamFirstFrameWait;
    }
    build();
}

CameraPipeline::~CameraPipeline() {
    if (starter_.joinable()) {
        starter_.join();
    }
    if (pipeline_) {
        // Joins the streaming threads, so no callback runs after this.
        gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    }
    if (bus_) {
        gst_bus_set_sync_handler(bus_.get(), nullptr, nullptr, nullptr);
    }
}

gst::ObjectPtr<GstElement> CameraPipeline::makeSource(Delivers& delivers) {
    delivers = Delivers::Raw;
    if (source_.device) {
        auto device = gst::take(gst_device_create_element(source_.device.get(), nullptr));
        if (!device) {
            fail({FailureReason::Other, QStringLiteral("the device cannot be opened")});
        }
        return device;
    }
    // The line gets an end element because a fragment may end in caps, which the parser accepts
    // only between two elements; it also marks where a decoder at the end can be found.
    const QByteArray description =
        (source_.description +
         QStringLiteral(" ! identity silent=true name=%1").arg(QLatin1String(kOutputName)))
            .toUtf8();
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
        return nullptr;
    }
    const gst::ObjectPtr<GstElement> output(gst_bin_get_by_name(GST_BIN(bin.get()), kOutputName));
    delivers = output ? takeOutDecoder(GST_BIN(bin.get()), output.get()) : Delivers::Raw;
    return bin;
}

void CameraPipeline::build() {
    Delivers delivers = Delivers::Raw;
    auto pictures = makeSource(delivers);
    if (!pictures) {
        return;
    }
    auto sink = makeElement("appsink");
    auto pipeline = gst::take(gst_pipeline_new(nullptr));
    if (!sink || !pipeline) {
        fail({FailureReason::Other, QStringLiteral("the GStreamer element appsink is missing")});
        return;
    }

    auto* appSink = GST_APP_SINK(sink.get());
    const char* const accepted = delivers == Delivers::Jpeg    ? kCompressedCaps
                                 : delivers == Delivers::Bayer ? kBayerCaps
                                                               : kRawCaps;
    const gst::CapsPtr caps(gst_caps_from_string(accepted));
    gst_app_sink_set_caps(appSink, caps.get());
    gst_app_sink_set_max_buffers(appSink, 1);
    gst_app_sink_set_drop(appSink, TRUE);
    g_object_set(sink.get(), "sync", FALSE, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = &CameraPipeline::onNewSample;
    gst_app_sink_set_callbacks(appSink, &callbacks, this, nullptr);
    if (const gst::ObjectPtr<GstPad> sinkPad(gst_element_get_static_pad(sink.get(), "sink"));
        sinkPad) {
        gst_pad_add_probe(sinkPad.get(), GST_PAD_PROBE_TYPE_QUERY_DOWNSTREAM, &boundCameraPool,
                          nullptr, nullptr);
    }

    // The bin takes its own references; ours end with this scope.
    gst_bin_add_many(GST_BIN(pipeline.get()), pictures.get(), sink.get(), nullptr);
    if (!gst_element_link(pictures.get(), sink.get())) {
        fail({FailureReason::NotLinked,
              QStringLiteral("the source delivers no video that can be shown")});
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
    if (!pipeline_ || starter_.joinable()) {
        return;
    }
    const auto start = [this] {
        if (gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
            // The error message, when there is one, has already been recorded by the bus handler.
            fail({FailureReason::Other, QStringLiteral("the source cannot be started")});
        }
    };
    if (genicam_) {
        starter_ = std::thread(start);
    } else {
        start();
    }
}

void CameraPipeline::release() {
    if (starter_.joinable()) {
        starter_.join();
    }
    if (pipeline_) {
        gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    }
}

CameraState CameraPipeline::state() const {
    const std::lock_guard lock(mutex_);
    CameraState state = state_;
    const CameraClock::time_point since = CameraClock::now() - kLossMemory;
    state.recentlyLostFrames = int(
        std::count_if(losses_.begin(), losses_.end(), [since](auto at) { return at >= since; }));
    return state;
}

CameraDescription::Values CameraPipeline::genicamIdentity() const {
    {
        const std::lock_guard lock(mutex_);
        if (!identity_.empty()) {
            return identity_;
        }
    }
    const std::shared_ptr<GObject> camera = genicamCamera();
    CameraDescription::Values identity =
        camera ? genicam::identity(camera.get()) : CameraDescription::Values{};
    const std::lock_guard lock(mutex_);
    identity_ = identity;
    return identity;
}

std::shared_ptr<GObject> CameraPipeline::genicamCamera() const {
    if (!genicam_ || !pipeline_ || hasFailed()) {
        return nullptr;
    }
    GstIterator* elements = gst_bin_iterate_recurse(GST_BIN(pipeline_.get()));
    GValue item = G_VALUE_INIT;
    GObject* camera = nullptr;
    while (camera == nullptr && gst_iterator_next(elements, &item) == GST_ITERATOR_OK) {
        auto* element = GST_ELEMENT(g_value_get_object(&item));
        GstElementFactory* factory = gst_element_get_factory(element);
        if (factory != nullptr &&
            QLatin1String(gst_plugin_feature_get_name(factory)) == QLatin1String("aravissrc")) {
            g_object_get(element, "camera", &camera, nullptr);
        }
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(elements);
    return camera != nullptr ? std::shared_ptr<GObject>(camera, g_object_unref) : nullptr;
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

std::optional<LatestFrame> CameraPipeline::frameOf(gst::SamplePtr& sample) {
    GstCaps* caps = gst_sample_get_caps(sample.get());
    GstBuffer* buffer = gst_sample_get_buffer(sample.get());
    if (caps == nullptr || buffer == nullptr || gst_caps_is_empty(caps)) {
        return std::nullopt;
    }
    const GstStructure* format = gst_caps_get_structure(caps, 0);
    std::optional<CameraClock::duration> interval;
    int numerator = 0;
    int denominator = 0;
    if (gst_structure_get_fraction(format, "framerate", &numerator, &denominator)) {
        interval = frameInterval(numerator, denominator);
    }
    std::shared_ptr<const CameraFrame> picture;
    if (gst_structure_has_name(format, kCompressedCaps)) {
        GstMapInfo map{};
        if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            return std::nullopt;
        }
        // A copy of a few hundred kilobytes gives the camera's buffer back at once.
        QByteArray bytes(reinterpret_cast<const char*>(map.data), static_cast<qsizetype>(map.size));
        gst_buffer_unmap(buffer, &map);
        auto jpeg = JpegFrame::make(std::move(bytes), lastJpeg_);
        lastJpeg_ = jpeg;
        picture = std::move(jpeg);
    } else if (gst_structure_has_name(format, kBayerCaps)) {
        picture = BayerFrame::make(std::move(sample));
    } else {
        picture = RawFrame::make(std::move(sample));
    }
    if (!picture) {
        return std::nullopt;
    }
    if (genicam_) {
        countLostFrames(*buffer, interval);
    }
    return LatestFrame{std::move(picture), CameraClock::now(), interval};
}

void CameraPipeline::countLostFrames(const GstBuffer& buffer,
                                     std::optional<CameraClock::duration> interval) {
    // aravissrc drops a frame that arrived incomplete and gives the next one the whole gap since
    // the last as its duration.
    if (!interval || !GST_BUFFER_DURATION_IS_VALID(&buffer) || interval->count() <= 0) {
        return;
    }
    const std::chrono::nanoseconds gap(GST_BUFFER_DURATION(&buffer));
    const double frames =
        double(gap.count()) /
        double(std::chrono::duration_cast<std::chrono::nanoseconds>(*interval).count());
    const int lost = int(std::lround(frames)) - 1;
    if (lost <= 0) {
        return;
    }
    const CameraClock::time_point now = CameraClock::now();
    const std::lock_guard lock(mutex_);
    for (int i = 0; i < lost; ++i) {
        losses_.push_back(now);
    }
    while (!losses_.empty() && (losses_.front() < now - kLossMemory || losses_.size() > 1000)) {
        losses_.pop_front();
    }
}

int CameraPipeline::framesLostBeforeLastPicture() const {
    const std::lock_guard lock(mutex_);
    if (!state_.frame) {
        return 0;
    }
    const CameraClock::time_point since = state_.frame->arrivedAt - kLossMemory;
    return int(
        std::count_if(losses_.begin(), losses_.end(), [since](auto at) { return at >= since; }));
}

void CameraPipeline::takeSample(GstAppSink* sink) {
    gst::SamplePtr sample(gst_app_sink_pull_sample(sink));
    if (!sample) {
        return;
    }
    std::optional<LatestFrame> frame = frameOf(sample);
    if (!frame) {
        return;
    }
    {
        const std::lock_guard lock(mutex_);
        std::swap(state_.frame, frame);
    }
    frame.reset();  // gives the old buffer back outside the lock
    changed_.notify_all();
    if (listener_.frameArrived) {
        listener_.frameArrived();
    }
}

GstBusSyncReply CameraPipeline::onBusMessage(GstBus* /*bus*/, GstMessage* message, gpointer self) {
    auto* camera = static_cast<CameraPipeline*>(self);
    switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_ERROR:
            camera->failOnError(message);
            break;
        case GST_MESSAGE_EOS:
            camera->fail({FailureReason::StreamEnded, QString()});
            break;
        default:
            break;
    }
    return GST_BUS_DROP;
}

void CameraPipeline::failOnError(GstMessage* message) {
    GError* rawError = nullptr;
    gchar* rawDebug = nullptr;
    gst_message_parse_error(message, &rawError, &rawDebug);
    const gst::ErrorPtr error(rawError);
    const gst::CharPtr debug(rawDebug);
    const ErrorOrigin origin = originOf(GST_MESSAGE_SRC(message));
    if (!error) {
        fail(CameraFailure{FailureReason::Other, QString()});
        return;
    }
    if (origin.factory == QLatin1String("aravissrc")) {
        std::optional<CameraFailure> failure = genicamFailureOf(
            message, *error, genicam::cameraName(source_.description).value_or(QString()));
        if (failure && failure->reason == FailureReason::StreamStopped &&
            framesLostBeforeLastPicture() > 0) {
            failure->reason = FailureReason::FramesLost;
        }
        if (failure) {
            fail(*failure);
            return;
        }
    }
    fail(classifyError(*error, QString::fromUtf8(debug.get()), origin));
}

void CameraPipeline::fail(const CameraFailure& failure) {
    bool first = false;
    {
        const std::lock_guard lock(mutex_);
        if (!state_.failure) {
            state_.failure = describeFailure(failure);
            state_.failureCause = failure;
            first = true;
        }
    }
    changed_.notify_all();
    if (first && listener_.failed) {
        listener_.failed(failure);
    }
}

}  // namespace camera
