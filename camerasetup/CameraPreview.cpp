#include "CameraPreview.h"

#include <QMetaObject>
#include <QPainter>

namespace camerasetup {

CameraPreview::CameraPreview(QWidget* parent) : QWidget(parent) {
    setMinimumSize(320, 240);
}

CameraPreview::~CameraPreview() = default;

void CameraPreview::showSource(std::optional<camera::CameraSource> source) {
    camera_.reset();  // closes the device before another pipeline opens it
    if (source) {
        camera::CameraPipeline::Listener listener;
        const auto repaint = [this] {
            if (!repaintPending_.exchange(true)) {
                QMetaObject::invokeMethod(
                    this,
                    [this] {
                        repaintPending_.store(false);
                        update();
                    },
                    Qt::QueuedConnection);
            }
        };
        listener.frameArrived = repaint;
        listener.failed = [repaint](const camera::CameraFailure& /*failure*/) { repaint(); };
        camera_ = std::make_unique<camera::CameraPipeline>(std::move(*source), listener);
        camera_->play();
    }
    update();
}

std::optional<QString> CameraPreview::whyNoPicture() const {
    if (!camera_) {
        return QStringLiteral("no source chosen");
    }
    const auto reason = camera::whyNoPicture(0, camera_->state(), camera::CameraClock::now());
    // The preview names no camera index; the text after it is the reason.
    return reason ? std::optional(reason->section(QLatin1Char(' '), 2)) : std::nullopt;
}

void CameraPreview::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    const camera::CameraState state = camera_ ? camera_->state() : camera::CameraState{};
    if (state.frame && !state.failure) {
        const QImage image = state.frame->picture->forScreen(this->size());
        const QSize size = state.frame->picture->size().scaled(this->size(), Qt::KeepAspectRatio);
        const QRect target(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2),
                           size);
        painter.drawImage(target, image);
        return;
    }
    painter.setPen(Qt::white);
    painter.drawText(rect().adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap,
                     whyNoPicture().value_or(QString()));
}

}  // namespace camerasetup
