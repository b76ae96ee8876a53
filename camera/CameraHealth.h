#pragma once

#include <QImage>
#include <QString>

#include <chrono>
#include <optional>

// What is known about one camera at a moment, and the rule that decides whether it is delivering
// pictures. Kept free of GStreamer so that the rule can be checked on its own.
namespace camera {

using CameraClock = std::chrono::steady_clock;

struct LatestFrame {
    QImage image;  // shares the camera's buffer; copies are cheap
    CameraClock::time_point arrivedAt;
    std::optional<CameraClock::duration> frameInterval;  // empty for a variable frame rate
};

struct CameraState {
    std::optional<LatestFrame> frame;
    std::optional<QString> failure;
    std::optional<CameraClock::time_point> playingSince;
};

// How long a camera that has just been started may take to deliver its first picture before it
// counts as not delivering. USB cameras typically need half a second to a second.
inline constexpr std::chrono::milliseconds kFirstFrameWait{2000};

// A frame older than this means the camera has stopped delivering.
CameraClock::duration staleAfter(std::optional<CameraClock::duration> frameInterval);

// Empty when the camera delivers pictures; otherwise an operator-readable reason naming the
// camera. `state` is empty for an index that is not configured.
std::optional<QString> whyNoPicture(int index, const std::optional<CameraState>& state,
                                    CameraClock::time_point now);

}  // namespace camera
