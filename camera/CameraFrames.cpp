#include "CameraFrames.h"

#include "CameraError.h"

#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

namespace camera {

namespace {

// The pixel layout whose bytes QImage::Format_RGB32 reads as 0xffRRGGBB words.
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
constexpr GstVideoFormat kScreenFormat = GST_VIDEO_FORMAT_BGRx;
constexpr TJPF kTurboScreenFormat = TJPF_BGRA;  // alpha is always 0xff for a JPEG
#else
constexpr GstVideoFormat kScreenFormat = GST_VIDEO_FORMAT_xRGB;
constexpr TJPF kTurboScreenFormat = TJPF_ARGB;
#endif

// --- JPEG -----------------------------------------------------------------------------------

struct DecompressorFree {
    void operator()(void* handle) const { tjDestroy(handle); }
};
using Decompressor = std::unique_ptr<void, DecompressorFree>;

// One decompressor per thread: a handle must not be shared between threads, and making one per
// picture would allocate libjpeg's state thirty times a second.
tjhandle decompressor() {
    thread_local const Decompressor handle(tjInitDecompress());
    return handle.get();
}

const unsigned char* bytesOf(const QByteArray& jpeg) {
    return reinterpret_cast<const unsigned char*>(jpeg.constData());
}

std::optional<QSize> jpegSize(const QByteArray& jpeg) {
    tjhandle handle = decompressor();
    int width = 0;
    int height = 0;
    int subsampling = 0;
    int colourspace = 0;
    if (handle == nullptr || jpeg.isEmpty() ||
        tjDecompressHeader3(handle, bytesOf(jpeg), static_cast<unsigned long>(jpeg.size()), &width,
                            &height, &subsampling, &colourspace) != 0 ||
        width <= 0 || height <= 0) {
        return std::nullopt;
    }
    return QSize(width, height);
}

// Whether the picture ends with its end-of-image marker; some cameras pad a frame with zero or
// 0xff bytes after it. A picture cut short by the USB transfer lacks it. In the coded data a 0xff
// is always followed by 0x00 or a restart marker, so FF D9 is only ever the real end.
bool endsWithEndOfImage(const QByteArray& jpeg) {
    qsizetype at = jpeg.size() - 1;
    while (at > 0 &&
           (static_cast<uchar>(jpeg[at]) == 0x00 || static_cast<uchar>(jpeg[at]) == 0xff)) {
        --at;
    }
    return at > 0 && static_cast<uchar>(jpeg[at]) == 0xd9 &&
           static_cast<uchar>(jpeg[at - 1]) == 0xff;
}

struct Decoded {
    QImage image;
    QString error;  // empty when the picture decoded
};

// Decodes to `size`, which must be the full size or one of libjpeg-turbo's scaled sizes. A
// warning (such as extraneous bytes) still gives the whole picture, as other decoders treat it.
Decoded decodeJpeg(const QByteArray& jpeg, QSize size, int flags) {
    tjhandle handle = decompressor();
    if (handle == nullptr) {
        return {QImage(), QStringLiteral("libjpeg-turbo cannot start a decoder")};
    }
    QImage image(size, QImage::Format_RGB32);
    if (image.isNull()) {
        return {QImage(), QStringLiteral("no memory for a picture of %1 × %2 pixels")
                              .arg(size.width())
                              .arg(size.height())};
    }
    const int result = tjDecompress2(
        handle, bytesOf(jpeg), static_cast<unsigned long>(jpeg.size()), image.bits(), size.width(),
        static_cast<int>(image.bytesPerLine()), size.height(), kTurboScreenFormat, flags);
    if (result != 0 && tjGetErrorCode(handle) == TJERR_FATAL) {
        return {QImage(), QString::fromUtf8(tjGetErrorStr2(handle))};
    }
    return {std::move(image), QString()};
}

// --- uncompressed ---------------------------------------------------------------------------

struct ConverterFree {
    void operator()(GstVideoConverter* converter) const { gst_video_converter_free(converter); }
};
using ConverterPtr = std::unique_ptr<GstVideoConverter, ConverterFree>;

ConverterPtr makeConverter(const GstVideoInfo& in, const GstVideoInfo& out, bool forScreen) {
    // The screen picture takes the nearest pixel: only the lines and pixels that are shown are
    // converted, a quarter of the cost of linear resampling, which widens its filter to every
    // source line when it reduces. A still keeps the full size, so nothing is resampled.
    GstStructure* options = gst_structure_new(
        "GstVideoConverter", GST_VIDEO_CONVERTER_OPT_RESAMPLER_METHOD,
        GST_TYPE_VIDEO_RESAMPLER_METHOD, GST_VIDEO_RESAMPLER_METHOD_NEAREST,
        GST_VIDEO_CONVERTER_OPT_DITHER_METHOD, GST_TYPE_VIDEO_DITHER_METHOD, GST_VIDEO_DITHER_NONE,
        GST_VIDEO_CONVERTER_OPT_THREADS, G_TYPE_UINT, 1U, nullptr);
    if (forScreen) {
        // Subsampled colour is taken as it lies, as the nearest pixel is: interpolating it over
        // every source line cost more than a third of the conversion. A still keeps it smooth.
        gst_structure_set(options, GST_VIDEO_CONVERTER_OPT_CHROMA_MODE, GST_TYPE_VIDEO_CHROMA_MODE,
                          GST_VIDEO_CHROMA_MODE_NONE, nullptr);
    }
    return ConverterPtr(gst_video_converter_new(&in, &out, options));  // takes the options
}

// The window's thread converts the shown camera at one size, frame after frame: its converter
// is kept. Other threads (stills) make one for the picture at hand.
GstVideoConverter* screenConverter(const GstVideoInfo& in, const GstVideoInfo& out) {
    struct Cached {
        GstVideoInfo in{};
        GstVideoInfo out{};
        ConverterPtr converter;
    };
    thread_local Cached cached;
    if (!cached.converter || !gst_video_info_is_equal(&cached.in, &in) ||
        !gst_video_info_is_equal(&cached.out, &out)) {
        cached.converter = makeConverter(in, out, true);
        cached.in = in;
        cached.out = out;
    }
    return cached.converter.get();
}

// The window's thread makes a picture of every frame it shows. Two buffers take turns, one on
// screen while the next is written, so that a block of a quarter megabyte or more is not
// allocated, faulted in and handed back to the system for each frame. Gives the pixels to write,
// owned by `image`, which nobody else holds yet.
uchar* screenBuffer(QSize size, QImage& image) {
    thread_local std::array<QImage, 2> buffers;
    const auto free = std::find_if(buffers.begin(), buffers.end(), [](const QImage& buffer) {
        return buffer.isNull() || buffer.isDetached();
    });
    QImage& buffer = free != buffers.end() ? *free : buffers[1];
    if (buffer.size() != size || !buffer.isDetached()) {
        buffer = QImage(size, QImage::Format_RGB32);
    }
    uchar* const bits = buffer.isNull() ? nullptr : buffer.bits();  // still ours alone: no copy
    image = buffer;
    return bits;
}

struct BufferUnref {
    void operator()(GstBuffer* buffer) const { gst_buffer_unref(buffer); }
};
using BufferPtr = std::unique_ptr<GstBuffer, BufferUnref>;

// A mapped video frame that lives exactly as long as the QImage that shows its pixels.
struct MappedFrame {
    GstVideoFrame frame{};
    bool mapped = false;

    MappedFrame() = default;
    MappedFrame(const MappedFrame&) = delete;
    MappedFrame& operator=(const MappedFrame&) = delete;
    ~MappedFrame() {
        if (mapped) {
            gst_video_frame_unmap(&frame);
        }
    }
    static void release(void* self) { delete static_cast<MappedFrame*>(self); }
};

// --- Bayer ----------------------------------------------------------------------------------

// A buffer's bytes, readable for as long as this lives.
class MappedBytes {
public:
    explicit MappedBytes(GstBuffer* buffer) : buffer_(buffer) {
        mapped_ = buffer_ != nullptr && gst_buffer_map(buffer_, &map_, GST_MAP_READ);
    }
    ~MappedBytes() {
        if (mapped_) {
            gst_buffer_unmap(buffer_, &map_);
        }
    }
    MappedBytes(const MappedBytes&) = delete;
    MappedBytes& operator=(const MappedBytes&) = delete;
    const guint8* data() const { return mapped_ ? map_.data : nullptr; }

private:
    GstBuffer* buffer_;
    GstMapInfo map_{};
    bool mapped_ = false;
};

// The position of red in a 2×2 cell of GStreamer's Bayer format names; blue is diagonal to it.
std::optional<QPoint> redOfBayer(const char* format) {
    const QLatin1String name(format != nullptr ? format : "");
    if (name == QLatin1String("rggb")) {
        return QPoint(0, 0);
    }
    if (name == QLatin1String("grbg")) {
        return QPoint(1, 0);
    }
    if (name == QLatin1String("gbrg")) {
        return QPoint(0, 1);
    }
    if (name == QLatin1String("bggr")) {
        return QPoint(1, 1);
    }
    return std::nullopt;
}

// Reflects a coordinate off the edge by two, which keeps its colour in the mosaic.
int mirrored(int at, int size) {
    if (at < 0) {
        return std::min(-at, size - 1);
    }
    return at >= size ? std::max(0, 2 * (size - 1) - at) : at;
}

QRgb rgb(int red, int green, int blue) {
    return qRgb(red, green, blue);
}

}  // namespace

std::shared_ptr<const BayerFrame> BayerFrame::make(gst::SamplePtr sample) {
    GstCaps* caps = sample ? gst_sample_get_caps(sample.get()) : nullptr;
    GstBuffer* buffer = sample ? gst_sample_get_buffer(sample.get()) : nullptr;
    const GstStructure* format =
        caps != nullptr && !gst_caps_is_empty(caps) ? gst_caps_get_structure(caps, 0) : nullptr;
    int width = 0;
    int height = 0;
    if (format == nullptr || buffer == nullptr ||
        !gst_structure_has_name(format, "video/x-bayer") ||
        !gst_structure_get_int(format, "width", &width) ||
        !gst_structure_get_int(format, "height", &height) || width < 2 || height < 2) {
        return nullptr;
    }
    const std::optional<QPoint> red = redOfBayer(gst_structure_get_string(format, "format"));
    const gsize bytes = gst_buffer_get_size(buffer);
    // Rows padded to four bytes, as GStreamer lays Bayer out, unless the buffer holds them bare.
    const int padded = GST_ROUND_UP_4(width);
    const int stride = bytes >= gsize(padded) * gsize(height) ? padded : width;
    if (!red || bytes < gsize(stride) * gsize(height)) {
        return nullptr;
    }
    return std::shared_ptr<const BayerFrame>(
        new BayerFrame(std::move(sample), QSize(width, height), stride, *red));
}

BayerFrame::BayerFrame(gst::SamplePtr sample, QSize size, int stride, QPoint red)
    : sample_(std::move(sample)), size_(size), stride_(stride), red_(red) {}

QImage BayerFrame::full() const {
    const MappedBytes bytes(gst_sample_get_buffer(sample_.get()));
    QImage image(size_, QImage::Format_RGB32);
    if (bytes.data() == nullptr || image.isNull()) {
        throw CameraError(QStringLiteral("the camera's Bayer picture cannot be read"));
    }
    const int width = size_.width();
    const int height = size_.height();
    const auto at = [&](int x, int y) {
        return int(bytes.data()[mirrored(y, height) * stride_ + mirrored(x, width)]);
    };
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        const bool redRow = (y & 1) == red_.y();
        for (int x = 0; x < width; ++x) {
            const bool redColumn = (x & 1) == red_.x();
            const int cross = (at(x - 1, y) + at(x + 1, y) + at(x, y - 1) + at(x, y + 1) + 2) / 4;
            const int diagonal =
                (at(x - 1, y - 1) + at(x + 1, y - 1) + at(x - 1, y + 1) + at(x + 1, y + 1) + 2) / 4;
            const int across = (at(x - 1, y) + at(x + 1, y) + 1) / 2;
            const int upDown = (at(x, y - 1) + at(x, y + 1) + 1) / 2;
            const int own = at(x, y);
            if (redRow && redColumn) {
                line[x] = rgb(own, cross, diagonal);
            } else if (!redRow && !redColumn) {
                line[x] = rgb(diagonal, cross, own);
            } else if (redRow) {
                line[x] = rgb(across, own, upDown);  // green between reds, blues above and below
            } else {
                line[x] = rgb(upDown, own, across);
            }
        }
    }
    return image;
}

QImage BayerFrame::forScreen(QSize box) const {
    const MappedBytes bytes(gst_sample_get_buffer(sample_.get()));
    const QSize target = size_.scaled(box, Qt::KeepAspectRatio).boundedTo(size_).expandedTo({1, 1});
    QImage image;
    uchar* const bits = screenBuffer(target, image);
    if (bytes.data() == nullptr || bits == nullptr) {
        return {};
    }
    const int cellsX = size_.width() / 2;
    const int cellsY = size_.height() / 2;
    const QPoint blue(red_.x() ^ 1, red_.y() ^ 1);
    for (int y = 0; y < target.height(); ++y) {
        const int top = std::min(cellsY - 1, y * cellsY / target.height()) * 2;
        const std::array<const guint8*, 2> rows{bytes.data() + qsizetype(top) * stride_,
                                                bytes.data() + qsizetype(top + 1) * stride_};
        auto* line = reinterpret_cast<QRgb*>(bits + y * image.bytesPerLine());
        for (int x = 0; x < target.width(); ++x) {
            const int left = std::min(cellsX - 1, x * cellsX / target.width()) * 2;
            const int green =
                (rows[red_.y()][left + blue.x()] + rows[blue.y()][left + red_.x()]) / 2;
            line[x] = rgb(rows[red_.y()][left + red_.x()], green, rows[blue.y()][left + blue.x()]);
        }
    }
    return image;
}

QSize jpegScreenDecodeSize(QSize full, QSize box) {
    const QSize fitted = full.scaled(box, Qt::KeepAspectRatio);
    int count = 0;
    const tjscalingfactor* factors = tjGetScalingFactors(&count);
    QSize best = full;
    for (int i = 0; factors != nullptr && i < count; ++i) {
        const tjscalingfactor factor = factors[i];
        if (factor.num > factor.denom) {
            continue;  // never enlarged
        }
        const QSize scaled(TJSCALED(full.width(), factor), TJSCALED(full.height(), factor));
        if (scaled.width() >= fitted.width() && scaled.height() >= fitted.height() &&
            qint64{scaled.width()} * scaled.height() < qint64{best.width()} * best.height()) {
            best = scaled;
        }
    }
    return best;
}

std::shared_ptr<const JpegFrame> JpegFrame::make(QByteArray bytes,
                                                 const std::shared_ptr<const JpegFrame>& before) {
    const std::optional<QSize> pictureSize = jpegSize(bytes);
    if (!pictureSize) {
        return nullptr;
    }
    const bool complete = endsWithEndOfImage(bytes);
    QByteArray fallback;
    if (before) {
        fallback = before->complete_ ? before->bytes_ : QByteArray();
    }
    return std::shared_ptr<const JpegFrame>(
        new JpegFrame(std::move(bytes), *pictureSize, complete, std::move(fallback)));
}

JpegFrame::JpegFrame(QByteArray bytes, QSize size, bool complete, QByteArray fallback)
    : bytes_(std::move(bytes)), size_(size), complete_(complete), fallback_(std::move(fallback)) {}

QImage JpegFrame::full() const {
    Decoded decoded;
    if (complete_) {
        decoded = decodeJpeg(bytes_, size_, 0);
    } else {
        decoded.error = QStringLiteral("the picture is cut short");
    }
    if (decoded.image.isNull() && !fallback_.isEmpty()) {
        // The picture before, one frame interval older, is the newest sound one.
        const std::optional<QSize> previousSize = jpegSize(fallback_);
        Decoded previous = previousSize ? decodeJpeg(fallback_, *previousSize, 0) : Decoded{};
        if (!previous.image.isNull()) {
            return std::move(previous.image);
        }
    }
    if (decoded.image.isNull()) {
        throw CameraError(QStringLiteral("the camera's newest JPEG picture cannot be decoded: %1")
                              .arg(decoded.error));
    }
    return std::move(decoded.image);
}

QImage JpegFrame::forScreen(QSize box) const {
    // A cut picture decodes with its lower part grey: the screen keeps the last whole one.
    if (!complete_) {
        return {};
    }
    return decodeJpeg(bytes_, jpegScreenDecodeSize(size_, box),
                      TJFLAG_FASTDCT | TJFLAG_FASTUPSAMPLE)
        .image;
}

QString JpegFrame::defect() const {
    return complete_ ? QString()
                     : QStringLiteral(
                           "are cut short (no end-of-image marker: the camera or its "
                           "USB link loses data)");
}

std::shared_ptr<const RawFrame> RawFrame::make(gst::SamplePtr sample) {
    GstCaps* caps = sample ? gst_sample_get_caps(sample.get()) : nullptr;
    GstVideoInfo info;
    if (caps == nullptr || gst_sample_get_buffer(sample.get()) == nullptr ||
        !gst_video_info_from_caps(&info, caps)) {
        return nullptr;
    }
    return std::shared_ptr<const RawFrame>(new RawFrame(std::move(sample), info));
}

RawFrame::RawFrame(gst::SamplePtr sample, const GstVideoInfo& info)
    : sample_(std::move(sample)), info_(info) {}

QSize RawFrame::size() const {
    return {GST_VIDEO_INFO_WIDTH(&info_), GST_VIDEO_INFO_HEIGHT(&info_)};
}

bool RawFrame::isScreenLayout() const {
    return GST_VIDEO_INFO_FORMAT(&info_) == kScreenFormat;
}

QImage RawFrame::full() const {
    if (!isScreenLayout()) {
        return converted(size(), Purpose::Still);
    }
    // Already in the screen's layout: the picture shows the camera's buffer without a copy.
    auto mapped = std::make_unique<MappedFrame>();
    GstVideoInfo info = info_;
    mapped->mapped = gst_video_frame_map(&mapped->frame, &info,
                                         gst_sample_get_buffer(sample_.get()), GST_MAP_READ);
    if (!mapped->mapped) {
        throw CameraError(QStringLiteral("the camera's picture cannot be read"));
    }
    QImage image(static_cast<const uchar*>(GST_VIDEO_FRAME_PLANE_DATA(&mapped->frame, 0)),
                 GST_VIDEO_FRAME_WIDTH(&mapped->frame), GST_VIDEO_FRAME_HEIGHT(&mapped->frame),
                 GST_VIDEO_FRAME_PLANE_STRIDE(&mapped->frame, 0), QImage::Format_RGB32,
                 &MappedFrame::release, mapped.get());
    if (image.isNull()) {
        throw CameraError(QStringLiteral("the camera's picture cannot be read"));
    }
    static_cast<void>(mapped.release());  // the image owns it now
    return image;
}

QImage RawFrame::forScreen(QSize box) const {
    try {
        if (isScreenLayout()) {
            // No conversion to save: the painter scales it straight from the buffer and lets go.
            return full();
        }
        // Never enlarged here: the painter does that for nothing.
        const QSize fitted = size().scaled(box, Qt::KeepAspectRatio).boundedTo(size());
        return converted(fitted.expandedTo(QSize(1, 1)), Purpose::Screen);
    } catch (const CameraError&) {
        return {};  // the screen keeps the last picture it had
    }
}

// Converts (and scales) into the screen layout in one pass.
QImage RawFrame::converted(QSize target, Purpose purpose) const {
    QImage image;
    uchar* bits = nullptr;
    if (purpose == Purpose::Screen) {
        bits = screenBuffer(target, image);
    } else {
        image = QImage(target, QImage::Format_RGB32);
        bits = image.bits();
    }
    if (bits == nullptr) {
        throw CameraError(QStringLiteral("no memory for a picture of %1 × %2 pixels")
                              .arg(target.width())
                              .arg(target.height()));
    }
    GstVideoInfo out;
    gst_video_info_set_format(&out, kScreenFormat, static_cast<guint>(target.width()),
                              static_cast<guint>(target.height()));
    GST_VIDEO_INFO_PLANE_STRIDE(&out, 0) = static_cast<gint>(image.bytesPerLine());
    // The converter changes layout and size only.
    GST_VIDEO_INFO_FPS_N(&out) = GST_VIDEO_INFO_FPS_N(&info_);
    GST_VIDEO_INFO_FPS_D(&out) = GST_VIDEO_INFO_FPS_D(&info_);
    GST_VIDEO_INFO_PAR_N(&out) = GST_VIDEO_INFO_PAR_N(&info_);
    GST_VIDEO_INFO_PAR_D(&out) = GST_VIDEO_INFO_PAR_D(&info_);
    GST_VIDEO_INFO_INTERLACE_MODE(&out) = GST_VIDEO_INFO_INTERLACE_MODE(&info_);
    const bool keepConverter = purpose == Purpose::Screen;
    ConverterPtr ownConverter = keepConverter ? nullptr : makeConverter(info_, out, false);
    GstVideoConverter* converter = keepConverter ? screenConverter(info_, out) : ownConverter.get();

    const BufferPtr targetBuffer(gst_buffer_new_wrapped_full(
        GstMemoryFlags(0), bits, static_cast<gsize>(image.sizeInBytes()), 0,
        static_cast<gsize>(image.sizeInBytes()), nullptr, nullptr));
    GstVideoInfo in = info_;
    GstVideoFrame source{};
    GstVideoFrame destination{};
    if (converter == nullptr ||
        !gst_video_frame_map(&source, &in, gst_sample_get_buffer(sample_.get()), GST_MAP_READ)) {
        throw CameraError(
            QStringLiteral("the camera's %1 picture cannot be converted")
                .arg(QString::fromUtf8(gst_video_format_to_string(GST_VIDEO_INFO_FORMAT(&info_)))));
    }
    if (!gst_video_frame_map(&destination, &out, targetBuffer.get(), GST_MAP_WRITE)) {
        gst_video_frame_unmap(&source);
        throw CameraError(QStringLiteral("the converted picture cannot be written"));
    }
    gst_video_converter_frame(converter, &source, &destination);
    gst_video_frame_unmap(&destination);
    gst_video_frame_unmap(&source);
    return image;
}

}  // namespace camera
