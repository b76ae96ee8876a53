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
    if (!state->frame) {
        return camera + QStringLiteral(" has delivered no picture since it was started %1 s ago")
                            .arg(seconds(now - *state->playingSince));
    }
    const CameraClock::duration age = now - state->frame->arrivedAt;
    if (age > staleAfter(state->frame->frameInterval)) {
        return camera + QStringLiteral(" has delivered no picture for %1 s").arg(seconds(age));
    }
    return std::nullopt;
}

}  // namespace camera
