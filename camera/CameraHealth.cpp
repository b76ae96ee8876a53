#include "CameraHealth.h"

#include <algorithm>

namespace camera {

namespace {

using namespace std::chrono_literals;

QString seconds(CameraClock::duration duration) {
    const double value = std::chrono::duration<double>(duration).count();
    return QString::number(std::max(0.0, value), 'f', 1);
}

}  // namespace

QString describeFailure(const CameraFailure& failure) {
    const QString detail =
        failure.detail.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(failure.detail);
    switch (failure.reason) {
        case FailureReason::ParseError:
            return QStringLiteral("its description cannot be built") + detail;
        case FailureReason::DeviceBusy:
            return QStringLiteral("the device is busy: another program is using it") + detail;
        case FailureReason::PermissionDenied:
            return QStringLiteral(
                       "permission denied opening the device: the user running the station must "
                       "be in the video group (sudo usermod -aG video USER, then log in again)") +
                   detail;
        case FailureReason::NoSuchDevice:
            return QStringLiteral("no such device: it is not plugged in or has gone") + detail;
        case FailureReason::NotLinked:
            return QStringLiteral(
                       "its video is not linked: a pad of the source never links to "
                       "the rest of the pipeline") +
                   detail;
        case FailureReason::UsbBandwidth:
            return QStringLiteral(
                       "not enough USB bandwidth to stream this mode: choose MJPEG or a smaller "
                       "mode, or plug the cameras into different USB controllers") +
                   detail;
        case FailureReason::StreamEnded:
            return QStringLiteral("the picture stream has ended") + detail;
        case FailureReason::GenicamNotFound:
            return QStringLiteral("camera not found: no GenICam camera answers with that id") +
                   detail;
        case FailureReason::GenicamControlled:
            return QStringLiteral(
                       "the camera is controlled by another program (GigE Vision control "
                       "access): close the other viewer") +
                   detail;
        case FailureReason::StreamStopped:
            return QStringLiteral(
                       "its picture stream stopped: check the camera's cable, power and network "
                       "address; it comes back by itself when it answers again") +
                   detail;
        case FailureReason::FramesLost:
            return QStringLiteral(
                       "its pictures stopped after frames were lost on the way: check the cable, "
                       "the network card's MTU and the receive buffers") +
                   detail;
        case FailureReason::NetworkBandwidth:
            return QStringLiteral(
                       "not enough bandwidth for this mode: choose a lower frame rate or a "
                       "smaller size, or give the camera a network port of its own") +
                   detail;
        case FailureReason::Other:
            break;
    }
    return failure.detail.isEmpty() ? QStringLiteral("unknown error") : failure.detail;
}

CameraClock::duration staleAfter(std::optional<CameraClock::duration> frameInterval) {
    constexpr CameraClock::duration kMinimum = 500ms;
    constexpr CameraClock::duration kUnknownRate = 1s;
    if (!frameInterval || *frameInterval <= CameraClock::duration::zero()) {
        return kUnknownRate;
    }
    return std::max(kMinimum, 5 * *frameInterval);
}

std::optional<QString> whyNoPicture(int index, const std::optional<CameraState>& state,
                                    CameraClock::time_point now) {
    const QString camera = QStringLiteral("camera %1").arg(index);
    if (!state) {
        return camera + QStringLiteral(" is not configured");
    }
    if (state->failure) {
        return camera + QStringLiteral(" failed: ") + *state->failure;
    }
    if (!state->playingSince) {
        return camera + QStringLiteral(" is not started");
    }
    const QString lost =
        state->recentlyLostFrames > 0
            ? QStringLiteral(" (%1 frames lost on the way lately)").arg(state->recentlyLostFrames)
            : QString();
    if (!state->frame) {
        return camera +
               QStringLiteral(" has delivered no picture since it was started %1 s ago")
                   .arg(seconds(now - *state->playingSince)) +
               lost;
    }
    const CameraClock::duration age = now - state->frame->arrivedAt;
    if (age > staleAfter(state->frame->frameInterval)) {
        return camera + QStringLiteral(" has delivered no picture for %1 s").arg(seconds(age)) +
               lost;
    }
    return std::nullopt;
}

}  // namespace camera
