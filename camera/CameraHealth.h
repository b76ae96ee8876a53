#pragma once

#include "CameraFrame.h"

#include <QString>

#include <chrono>
#include <memory>
#include <optional>

// What is known about one camera at a moment, and the rule that decides whether it is delivering
// pictures. Kept free of GStreamer so that the rule can be checked on its own.
namespace camera {

using CameraClock = std::chrono::steady_clock;

struct LatestFrame {
    std::shared_ptr<const CameraFrame> picture;  // as the camera delivered it
    CameraClock::time_point arrivedAt;
    std::optional<CameraClock::duration> frameInterval;  // empty for a variable frame rate
};

// Why a camera stopped or never started, one cause each, so that the operator and the installer
// are told what to do about it.
enum class FailureReason {
    ParseError,        // the description cannot be built into a source
    DeviceBusy,        // another program has the device open
    PermissionDenied,  // the user may not open the device
    NoSuchDevice,      // the node does not exist, or the device has gone
    NotLinked,         // a pad of the source (often a dynamic one) never links onwards
    UsbBandwidth,      // streaming cannot start: the USB controller has no bandwidth left
    StreamEnded,
    GenicamNotFound,    // no GenICam camera answers with the id the line names
    GenicamControlled,  // another program holds the camera's control access
    StreamStopped,      // a GenICam camera's pictures stopped: cable, power or address
    FramesLost,         // pictures stopped after frames had been lost on the way
    NetworkBandwidth,   // the link cannot carry the mode
    Other,
};

struct CameraFailure {
    FailureReason reason = FailureReason::Other;
    QString detail;  // the message the source itself gave, when there is one
};

// The operator-readable text of a failure, naming what to do where there is something to do.
QString describeFailure(const CameraFailure& failure);

// How long a camera that has just been started may take to deliver its first picture before it
// counts as not delivering. USB cameras typically need half a second to a second.
inline constexpr std::chrono::milliseconds kFirstFrameWait{2000};
// A GenICam camera is first looked for on the network (up to a second) and then opened.
inline constexpr std::chrono::milliseconds kGenicamFirstFrameWait{6000};

struct CameraState {
    std::optional<LatestFrame> frame;
    std::optional<QString> failure;  // describeFailure(*failureCause)
    std::optional<CameraFailure> failureCause;
    std::optional<CameraClock::time_point> playingSince;
    // How long after playingSince the first picture may take.
    CameraClock::duration firstFrameWait = kFirstFrameWait;
    // Frames that never arrived whole (a GenICam camera's gaps) in the last seconds.
    int recentlyLostFrames = 0;
};

// A frame older than this means the camera has stopped delivering.
CameraClock::duration staleAfter(std::optional<CameraClock::duration> frameInterval);

// Empty when the camera delivers pictures; otherwise an operator-readable reason naming the
// camera. `state` is empty for an index that is not configured.
std::optional<QString> whyNoPicture(int index, const std::optional<CameraState>& state,
                                    CameraClock::time_point now);

}  // namespace camera
