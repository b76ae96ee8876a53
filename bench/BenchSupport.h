#pragma once

// Helpers of the station benchmark: a prepared station folder, timing statistics and readings of
// the process's own resources.

#include <sys/resource.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Nearest-rank percentile; `values` need not be sorted.
inline double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * values.size()));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

inline double median(const std::vector<double>& values) {
    if (values.empty()) {
        return NAN;
    }
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t mid = sorted.size() / 2;
    return sorted.size() % 2 == 1 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2.0;
}

// One "name value" line per figure, so that the runner script can pick the figures up.
inline void report(const char* name, double value) {
    std::printf("%s %.3f\n", name, value);
    std::fflush(stdout);
}

inline void reportTimes(const char* prefix, const std::vector<double>& milliseconds) {
    const QByteArray base(prefix);
    report((base + ".median_ms").constData(), median(milliseconds));
    report((base + ".p95_ms").constData(), percentile(milliseconds, 0.95));
    report((base + ".samples").constData(), static_cast<double>(milliseconds.size()));
}

inline double residentMiB() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly)) {
        return NAN;
    }
    const QList<QByteArray> fields = statm.readAll().split(' ');
    const double pages = fields.size() > 1 ? fields[1].toDouble() : NAN;
    return pages * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

inline int entriesIn(const QString& folder) {
    return static_cast<int>(
        QDir(folder)
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden)
            .size());
}

// Open descriptors, less the one that reading the list itself opens.
inline int openDescriptors() {
    return entriesIn(QStringLiteral("/proc/self/fd")) - 1;
}

inline int threadCount() {
    return entriesIn(QStringLiteral("/proc/self/task"));
}

// User plus system time of every thread of this process.
inline double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// "1920x1080" -> the size; empty when the text is not of that form.
inline std::optional<QSize> parseSize(const QString& text) {
    const QStringList parts = text.split(QLatin1Char('x'));
    bool wideOk = false;
    bool highOk = false;
    const int width = parts.size() == 2 ? parts[0].toInt(&wideOk) : 0;
    const int height = parts.size() == 2 ? parts[1].toInt(&highOk) : 0;
    if (!wideOk || !highOk || width <= 0 || height <= 0) {
        return std::nullopt;
    }
    return QSize(width, height);
}

// How a simulated camera delivers its frames: BGRx as the station shows them, YUY2 as a raw USB
// camera, or JPEG that the camera line decodes, as an MJPEG USB camera. The Uvc kinds read the
// userspace UVC cameras /dev/video0 and /dev/video2 through v4l2src (libfake_uvc.so preloaded),
// whose frames are prepared ahead, so that the sources cost next to nothing. Genicam makes the
// colour camera (1), the one the waiting window shows, Aravis's simulated GigE Vision camera,
// Bayer through aravissrc, and the bottom camera a negligible one; it needs
// arv-fake-gv-camera-0.8 running on 127.0.0.1. Its packets are 8,000 bytes: at Aravis's default
// 1,400 a 512x512 frame's burst overflows the loopback socket's default receive buffer.
enum class CameraKind { Bgrx, Raw, Mjpeg, UvcRaw, UvcMjpeg, Genicam };

// "raw", "mjpeg", "uvc-raw", "uvc-mjpeg" or "genicam"; empty for any other text.
inline std::optional<CameraKind> parseCameraKind(const QString& text) {
    if (text == QLatin1String("raw")) {
        return CameraKind::Raw;
    }
    if (text == QLatin1String("mjpeg")) {
        return CameraKind::Mjpeg;
    }
    if (text == QLatin1String("uvc-raw")) {
        return CameraKind::UvcRaw;
    }
    if (text == QLatin1String("uvc-mjpeg")) {
        return CameraKind::UvcMjpeg;
    }
    if (text == QLatin1String("genicam")) {
        return CameraKind::Genicam;
    }
    return std::nullopt;
}

// The gst-launch fragment of simulated camera `index`. The format is fixed so that a peer fed
// the same text draws exactly the same frames.
inline QString cameraDescription(int index, QSize size, CameraKind kind = CameraKind::Bgrx) {
    if (kind == CameraKind::Genicam) {
        return index == 1 ? QStringLiteral(
                                "aravissrc camera-name=Aravis-Fake-CAM01 packet-size=8000 ! "
                                "video/x-bayer,format=bggr,width=%1,height=%2,"
                                "framerate=25/1 ! bayer2rgb")
                                .arg(size.width())
                                .arg(size.height())
                          : QStringLiteral(
                                "videotestsrc is-live=true pattern=black ! "
                                "video/x-raw,format=BGRx,width=64,height=48,framerate=1/1");
    }
    if (kind == CameraKind::UvcRaw || kind == CameraKind::UvcMjpeg) {
        // Raw video above VGA comes at 5 frames a second from a USB 2.0 camera.
        const bool raw = kind == CameraKind::UvcRaw;
        return QStringLiteral(
                   "v4l2src device=/dev/video%1 ! %2,width=%3,height=%4,framerate=%5/1%6")
            .arg(index * 2)
            .arg(raw ? QStringLiteral("video/x-raw,format=YUY2") : QStringLiteral("image/jpeg"))
            .arg(size.width())
            .arg(size.height())
            .arg(raw && size.width() * size.height() > 640 * 480 ? 5 : 30)
            .arg(raw ? QString() : QStringLiteral(" ! jpegdec"));
    }
    const QString pattern = index == 0 ? QStringLiteral("ball") : QStringLiteral("smpte");
    const QString format = kind == CameraKind::Bgrx  ? QStringLiteral("format=BGRx,")
                           : kind == CameraKind::Raw ? QStringLiteral("format=YUY2,")
                                                     : QString();
    const QString encoded =
        kind == CameraKind::Mjpeg ? QStringLiteral(" ! jpegenc ! jpegdec") : QString();
    return QStringLiteral(
               "videotestsrc is-live=true pattern=%1 ! "
               "video/x-raw,%2width=%3,height=%4,framerate=30/1%5")
        .arg(pattern, format)
        .arg(size.width())
        .arg(size.height())
        .arg(encoded);
}

// The working folder of one run: settings, save folder and camera configuration. It is the
// current folder while the object lives; a folder given in BENCH_STATION_DIR is kept afterwards
// so that a peer can write into the same place.
class StationFolder {
public:
    explicit StationFolder(QSize cameraSize, CameraKind cameraKind = CameraKind::Bgrx)
        : previous_(QDir::currentPath()) {
        const QString given = qEnvironmentVariable("BENCH_STATION_DIR");
        if (given.isEmpty()) {
            owned_.emplace();
            root_ = owned_->path();
        } else {
            root_ = QDir(given).absolutePath();
        }
        saveDir_ = root_ + QStringLiteral("/images/");
        QDir().mkpath(saveDir_);
        writeCameraConfig(cameraSize, cameraKind);
        writeSettings();
        QDir::setCurrent(root_);
    }
    ~StationFolder() { QDir::setCurrent(previous_); }
    StationFolder(const StationFolder&) = delete;
    StationFolder& operator=(const StationFolder&) = delete;

    const QString& saveDir() const { return saveDir_; }

    // For a process about to end without unwinding.
    void removeIfOwned() {
        if (owned_) {
            owned_->remove();
        }
    }

private:
    void writeCameraConfig(QSize size, CameraKind kind) const {
        const QString xdg = root_ + QStringLiteral("/xdg");
        QDir().mkpath(xdg + QStringLiteral("/HPortal"));
        QFile config(xdg + QStringLiteral("/HPortal/PortalCam.conf"));
        if (config.open(QIODevice::WriteOnly)) {
            for (int index = 0; index < 2; ++index) {
                config.write(QStringLiteral("camera%1=%2\n")
                                 .arg(index)
                                 .arg(cameraDescription(index, size, kind))
                                 .toUtf8());
            }
        }
        qputenv("XDG_CONFIG_HOME", xdg.toUtf8());
    }

    void writeSettings() const {
        // /bin/true: the compressor is started as usual but does no work of its own.
        const QStringList lines{
            QStringLiteral("COMPRESS_EXE;/bin/true;started, does nothing"),
            QStringLiteral("COMPRESS_COMMAND_LINE_OPTIONS;;none"),
            QStringLiteral("FILE_EXT_COMPRESSED;JPG;compressed copies"),
            QStringLiteral("FILE_EXT_SAVED;BMP;saved pictures"),
            QStringLiteral("IMAGE_SAVE_DIR;%1;pictures").arg(saveDir_),
        };
        QFile file(root_ + QStringLiteral("/settings.txt"));
        if (file.open(QIODevice::WriteOnly)) {
            for (const QString& line : lines) {
                file.write(line.toUtf8() + "\r\n");
            }
        }
    }

    QString previous_;
    std::optional<QTemporaryDir> owned_;
    QString root_;
    QString saveDir_;
};

}  // namespace bench
