#include "CameraSet.h"

#include "CameraConfig.h"
#include "CameraDescribe.h"
#include "CameraDeviceMonitor.h"
#include "CameraError.h"
#include "CameraHealth.h"
#include "CameraPipeline.h"
#include "Diagnostics.h"
#include "Genicam.h"
#include "GenicamWatcher.h"

#include <QMetaObject>

#include <algorithm>

namespace camera {

namespace {

cameraconfig::DeviceId idOf(const CameraSource& source) {
    return {source.devicePath, source.identity};
}

// For IT: each camera's failure once, when its pipeline fails, and its return after a replug.
void diagnoseFailure(int index, const CameraSource& source, const CameraFailure& failure) {
    platform::diagnose(platform::lcCamera(), QtWarningMsg,
                       failure.reason == FailureReason::NoSuchDevice
                           ? QStringLiteral("camera lost")
                           : QStringLiteral("camera failed"),
                       {{"CAMERA", QString::number(index)},
                        {"DEVICE", source.devicePath.value_or(QString())},
                        {"SOURCE", source.description},
                        {"REASON", describeFailure(failure)}});
}

void diagnoseReturn(int index, const CameraSource& source) {
    platform::diagnose(platform::lcCamera(), QtInfoMsg, QStringLiteral("camera back"),
                       {{"CAMERA", QString::number(index)},
                        {"DEVICE", source.devicePath.value_or(QString())},
                        {"SOURCE", source.description}});
}

}  // namespace

CameraSet::CameraSet(QObject* guiContext, std::function<void()> repaint)
    : guiContext_(guiContext), repaint_(std::move(repaint)) {}

CameraSet::~CameraSet() {
    clear();
}

void CameraSet::clear() {
    // The monitors go first so that no restart is queued for cameras that are going away.
    monitor_.reset();
    genicam_.reset();
    cameras_.clear();
    started_ = false;
}

void CameraSet::useConfiguredCameras(const std::map<int, QString>& descriptions) {
    clear();
    std::map<int, CameraSource> sources;
    for (const auto& [index, description] : descriptions) {
        sources[index] =
            CameraSource{description, cameraconfig::v4l2DevicePath(description), nullptr, {}};
    }
    const bool anyDevice = std::any_of(sources.begin(), sources.end(),
                                       [](const auto& entry) { return entry.second.devicePath; });
    if (anyDevice) {
        watchDevices();
        // The identity of a device present now finds it again on whatever node it comes back.
        const std::vector<CameraSource> present = monitor_->currentCameras();
        for (auto& entry : sources) {
            CameraSource& source = entry.second;
            const auto found = std::find_if(present.begin(), present.end(), [&](const auto& p) {
                return cameraconfig::sameDevice({source.devicePath, {}}, {p.devicePath, {}});
            });
            if (source.devicePath && found != present.end()) {
                source.identity = found->identity;
            }
        }
    }
    if (std::any_of(sources.begin(), sources.end(), [](const auto& entry) {
            return genicam::cameraName(entry.second.description).has_value();
        })) {
        watchGenicamCameras();
    }
    for (auto& [index, source] : sources) {
        add(index, std::move(source));
    }
}

void CameraSet::watchGenicamCameras() {
    genicam_ = std::make_unique<GenicamWatcher>([this](const QStringList& answering) {
        QMetaObject::invokeMethod(
            guiContext_, [this, answering] { restartGenicamCameras(answering); },
            Qt::QueuedConnection);
    });
}

void CameraSet::restartGenicamCameras(const QStringList& answering) {
    bool stillMissing = false;
    for (auto& [index, camera] : cameras_) {
        const std::optional<QString> id = genicam::cameraName(camera->source().description);
        if (!id || !camera->hasFailed()) {
            continue;
        }
        if (answering.contains(*id)) {
            restart(index, camera, camera->source());
        } else {
            stillMissing = true;
        }
    }
    if (genicam_) {
        genicam_->setLooking(stillMissing);
    }
}

void CameraSet::restart(int index, std::unique_ptr<CameraPipeline>& camera, CameraSource source) {
    camera.reset();  // releases the device before the new pipeline opens it
    diagnoseReturn(index, source);
    camera = makeCamera(index, std::move(source));
    if (started_) {
        camera->play();
    }
    if (index == selected_.load()) {
        repaint_();
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
    // Only what identifies the camera: the source itself moves into the pipeline.
    CameraSource named{source.description, source.devicePath, nullptr, source.identity};
    listener.failed = [this, index, named = std::move(named)](const CameraFailure& failure) {
        diagnoseFailure(index, named, failure);
        QMetaObject::invokeMethod(
            guiContext_,
            [this, index] {
                // Closes the device at once, so that it is free when it is plugged in again.
                const auto found = cameras_.find(index);
                if (found != cameras_.end() && found->second->hasFailed()) {
                    found->second->release();
                    // A GenICam camera is looked for until it answers again.
                    if (genicam_ && genicam::cameraName(found->second->source().description)) {
                        genicam_->setLooking(true);
                    }
                }
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
    // Notices are queued: one that arrives after its device went again must not restart a camera
    // onto a device that is not there.
    const std::vector<CameraSource> present =
        monitor_ ? monitor_->currentCameras() : std::vector<CameraSource>{};
    if (std::none_of(present.begin(), present.end(),
                     [&added](const CameraSource& p) { return p.device == added.device; })) {
        return;
    }
    for (auto& [index, camera] : cameras_) {
        if (!cameraconfig::sameDevice(idOf(camera->source()), idOf(added)) ||
            !camera->hasFailed()) {
            continue;
        }
        CameraSource source = camera->source();
        if (source.device) {
            source.device = added.device;  // the old device object is gone with the unplug
        } else if (source.devicePath && added.devicePath &&
                   !cameraconfig::sameDevice({source.devicePath, {}}, {added.devicePath, {}})) {
            // Configured by its node, which the replug has changed.
            source.description =
                cameraconfig::withDevicePath(source.description, *added.devicePath);
        }
        source.devicePath = source.device ? added.devicePath : source.devicePath;
        if (!source.identity) {
            source.identity = added.identity;
        }
        restart(index, camera, std::move(source));
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

std::optional<QString> CameraSet::whySelectedHasNoPicture(
    std::shared_ptr<const CameraFrame>* picture) {
    const int index = selected_.load();
    const auto found = cameras_.find(index);
    std::optional<CameraState> state;
    if (found != cameras_.end()) {
        const CameraPipeline& camera = *found->second;
        state = camera.state();
        if (!state->frame && !state->failure && state->playingSince) {
            state = camera.awaitFirstFrame(*state->playingSince + state->firstFrameWait);
        }
    }
    std::optional<QString> reason = whyNoPicture(index, state, CameraClock::now());
    if (!reason && picture != nullptr && state && state->frame) {
        *picture = state->frame->picture;
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

std::shared_ptr<const CameraFrame> CameraSet::stillOfSelected() {
    std::shared_ptr<const CameraFrame> picture;
    if (const std::optional<QString> reason = whySelectedHasNoPicture(&picture)) {
        throw CameraError(*reason);
    }
    return picture;
}

LivePicture CameraSet::pictureToShow(QSize box) {
    const int index = selected_.load();
    const auto found = cameras_.find(index);
    std::optional<CameraState> state;
    if (found != cameras_.end()) {
        state = found->second->state();
    }
    const CameraClock::time_point now = CameraClock::now();
    // A camera that is still starting shows nothing yet rather than a complaint.
    if (state && !state->frame && !state->failure && state->playingSince &&
        now - *state->playingSince < state->firstFrameWait) {
        return {};
    }
    if (std::optional<QString> reason = whyNoPicture(index, state, now)) {
        return {QImage(), QSize(), std::move(*reason)};
    }
    // Without a frame there is always a reason, given above.
    return state && state->frame ? shown_.show(index, state->frame->picture, box) : LivePicture{};
}

CameraDescription CameraSet::describeSelected() const {
    const int index = selected_.load();
    const auto found = cameras_.find(index);
    CameraDescription description;
    if (found == cameras_.end()) {
        description.reason = QStringLiteral("camera %1 is not configured").arg(index);
        return description;
    }
    const CameraPipeline& camera = *found->second;
    const CameraSource& source = camera.source();
    if (const std::optional<QString> id = genicam::cameraName(source.description)) {
        // Read from the camera only while it is open: a camera that has gone would keep the
        // window waiting for its register reads to time out.
        if (const std::shared_ptr<GObject> open = camera.genicamCamera()) {
            return describeGenicam(open.get(), camera.genicamIdentity());
        }
        description.kind = CameraDescription::Kind::Genicam;
        description.identity = {{QStringLiteral("id"), *id}};
        description.reason = whyNoPicture(index, camera.state(), CameraClock::now())
                                 .value_or(QStringLiteral("the camera is not open yet"));
        return description;
    }
    if (source.devicePath) {
        return describeV4l2(*source.devicePath, source.identity, source.description);
    }
    description.identity = {{QStringLiteral("description"), source.description}};
    return description;
}

LivePicture ShownPictureCache::show(int camera, const std::shared_ptr<const CameraFrame>& frame,
                                    QSize box) {
    if (frame->screenPictureLendsFrame()) {
        // Painted straight from the camera's buffer, which goes back to the camera once painted:
        // nothing of it may stay here.
        QImage image = frame->forScreen(box);
        if (!image.isNull()) {
            *this = {};
            camera_ = camera;
            return {std::move(image), frame->size(), QString()};
        }
    }
    const bool sameFrame = !frame_.owner_before(frame) && !frame.owner_before(frame_);
    if (camera_ != camera || !sameFrame || box_ != box) {
        QImage image = frame->forScreen(box);
        // A picture that cannot be decoded leaves the camera's last one on screen.
        if (!image.isNull() || camera_ != camera) {
            camera_ = camera;
            frame_ = frame;
            box_ = box;
            image_ = std::move(image);
        }
    }
    if (image_.isNull()) {
        const QString defect = frame->defect();
        return {QImage(), QSize(),
                QStringLiteral("camera %1 delivers pictures that %2")
                    .arg(camera)
                    .arg(defect.isEmpty() ? QStringLiteral("cannot be decoded") : defect)};
    }
    return {image_, frame->size(), QString()};
}

}  // namespace camera
