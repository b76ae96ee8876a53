#include "CameraSet.h"

#include "CameraConfig.h"
#include "CameraDeviceMonitor.h"
#include "CameraHealth.h"
#include "CameraPipeline.h"
#include "PlatformError.h"

#include <QFileInfo>
#include <QMetaObject>

namespace camera {

namespace {

// A configuration may name a camera by a stable udev link (/dev/v4l/by-id/...) while the
// monitor reports the node it points to.
bool sameDevice(const std::optional<QString>& configured, const std::optional<QString>& added) {
    if (!configured || !added) {
        return false;
    }
    if (*configured == *added) {
        return true;
    }
    const QString resolved = QFileInfo(*configured).canonicalFilePath();
    return !resolved.isEmpty() && resolved == QFileInfo(*added).canonicalFilePath();
}

}  // namespace

CameraSet::CameraSet(QObject* guiContext, std::function<void()> repaint)
    : guiContext_(guiContext), repaint_(std::move(repaint)) {}

CameraSet::~CameraSet() {
    clear();
}

void CameraSet::clear() {
    // The monitor goes first so that no restart is queued for cameras that are going away.
    monitor_.reset();
    cameras_.clear();
    started_ = false;
}

void CameraSet::useConfiguredCameras(const std::map<int, QString>& descriptions) {
    clear();
    bool anyDevice = false;
    for (const auto& [index, description] : descriptions) {
        CameraSource source{description, cameraconfig::v4l2DevicePath(description), nullptr};
        anyDevice = anyDevice || source.devicePath.has_value();
        add(index, std::move(source));
    }
    if (anyDevice) {
        watchDevices();
    }
}

void CameraSet::useDetectedCameras() {
    clear();
    watchDevices();
    int index = 0;
    for (CameraSource& source : monitor_->currentCameras()) {
        add(index++, std::move(source));
    }
}

void CameraSet::add(int index, CameraSource source) {
    cameras_[index] = makeCamera(index, std::move(source));
}

std::unique_ptr<CameraPipeline> CameraSet::makeCamera(int index, CameraSource source) {
    CameraPipeline::Listener listener;
    listener.frameArrived = [this, index] {
        // One queued repaint at a time, and only for the camera on screen.
        if (index == selected_.load() && !repaintPending_.exchange(true)) {
            QMetaObject::invokeMethod(
                guiContext_,
                [this] {
                    repaintPending_.store(false);
                    repaint_();
                },
                Qt::QueuedConnection);
        }
    };
    listener.failed = [this, index] {
        QMetaObject::invokeMethod(
            guiContext_,
            [this, index] {
                if (index == selected_.load()) {
                    repaint_();
                }
            },
            Qt::QueuedConnection);
    };
    return std::make_unique<CameraPipeline>(std::move(source), std::move(listener));
}

void CameraSet::watchDevices() {
    monitor_ = std::make_unique<CameraDeviceMonitor>([this](const CameraSource& added) {
        QMetaObject::invokeMethod(
            guiContext_, [this, added] { restartCamerasOf(added); }, Qt::QueuedConnection);
    });
}

void CameraSet::restartCamerasOf(const CameraSource& added) {
    for (auto& [index, camera] : cameras_) {
        if (!sameDevice(camera->source().devicePath, added.devicePath) || !camera->hasFailed()) {
            continue;
        }
        CameraSource source = camera->source();
        if (source.device) {
            source.device = added.device;  // the old device object is gone with the unplug
        }
        camera.reset();  // releases the device before the new pipeline opens it
        camera = makeCamera(index, std::move(source));
        if (started_) {
            camera->play();
        }
        if (index == selected_.load()) {
            repaint_();
        }
    }
}

void CameraSet::start() {
    if (started_) {
        return;
    }
    started_ = true;
    for (auto& [index, camera] : cameras_) {
        camera->play();
    }
}

std::optional<QString> CameraSet::whySelectedHasNoPicture(QImage* picture) {
    const int index = selected_.load();
    const auto found = cameras_.find(index);
    std::optional<CameraState> state;
    if (found != cameras_.end()) {
        const CameraPipeline& camera = *found->second;
        state = camera.state();
        if (!state->frame && !state->failure && state->playingSince) {
            state = camera.awaitFirstFrame(*state->playingSince + kFirstFrameWait);
        }
    }
    std::optional<QString> reason = whyNoPicture(index, state, CameraClock::now());
    if (!reason && picture != nullptr) {
        *picture = state->frame->image;
    }
    return reason;
}

std::optional<QString> CameraSet::select(int index) {
    // Every index is selected, also one without a camera: its stills then fail by name instead of
    // coming from the camera selected before.
    selected_.store(index);
    repaint_();
    return whySelectedHasNoPicture(nullptr);
}

QImage CameraSet::stillOfSelected() {
    QImage picture;
    if (const std::optional<QString> reason = whySelectedHasNoPicture(&picture)) {
        throw platform::VideoControlError(*reason);
    }
    return picture;
}

LivePicture CameraSet::pictureToShow() const {
    const int index = selected_.load();
    const auto found = cameras_.find(index);
    std::optional<CameraState> state;
    if (found != cameras_.end()) {
        state = found->second->state();
    }
    const CameraClock::time_point now = CameraClock::now();
    // A camera that is still starting shows nothing yet rather than a complaint.
    if (state && !state->frame && !state->failure && state->playingSince &&
        now - *state->playingSince < kFirstFrameWait) {
        return {};
    }
    if (std::optional<QString> reason = whyNoPicture(index, state, now)) {
        return {QImage(), std::move(*reason)};
    }
    return {state->frame->image, QString()};
}

}  // namespace camera
