#include "GstVideoControl.h"

#include "CameraConfig.h"
#include "CameraError.h"
#include "CameraFrame.h"
#include "CameraSet.h"
#include "DetachedWork.h"
#include "StillWriter.h"

#include <QDir>
#include <QFile>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>

#include <exception>

namespace camera {

namespace {

const QColor kNoPictureColour(48, 48, 48);
// A camera that stops delivering sends no more repaints; the placeholder comes with this check,
// which runs only once the picture has not changed for this long.
constexpr int kLiveCheckMs = 1000;

// The largest rectangle of the picture's shape that fits centred in `area`.
QRect fittedRect(const QSize& picture, const QRect& area) {
    QRect target(QPoint(0, 0), picture.scaled(area.size(), Qt::KeepAspectRatio));
    target.moveCenter(area.center());
    return target;
}

}  // namespace

GstVideoControl::GstVideoControl(QWidget* parent)
    : CameraControl(parent),
      cameras_(std::make_unique<CameraSet>(this, [this] { showNewPicture(); })) {
    // Every pixel is painted, so Qt need not clear the background first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    liveCheck_.setInterval(kLiveCheckMs);
    connect(&liveCheck_, &QTimer::timeout, this, qOverload<>(&QWidget::update));
}

// The pipelines stop here, before QObject's destructor drops the updates they queued.
GstVideoControl::~GstVideoControl() {
    cameras_.reset();
}

std::optional<QString> GstVideoControl::open(const QString& /*applicationName*/,
                                             const QString& softwareKey) {
    const std::optional<QString> configPath = cameraconfig::configPathForKey(
        softwareKey, qEnvironmentVariable("XDG_CONFIG_HOME"), QDir::homePath());
    if (!configPath) {
        return QStringLiteral("the camera software key %1 names no configuration").arg(softwareKey);
    }
    QFile config(*configPath);
    if (config.exists()) {
        if (!config.open(QIODevice::ReadOnly | QIODevice::Text)) {
            return QStringLiteral("cannot read the camera configuration %1: %2")
                .arg(*configPath, config.errorString());
        }
        cameras_->useConfiguredCameras(
            cameraconfig::parseCameraLines(QString::fromUtf8(config.readAll())));
    } else {
        cameras_->useDetectedCameras();
    }
    update();
    return std::nullopt;
}

// Each pipeline negotiates its own format when it starts: nothing to set beforehand.
void GstVideoControl::configure() {}

void GstVideoControl::start() {
    cameras_->start();
}

void GstVideoControl::setLivePicture(bool shown) {
    showLivePicture_ = shown;
    if (showLivePicture_) {
        liveCheck_.start();
    } else {
        liveCheck_.stop();
    }
    update();
}

void GstVideoControl::showNewPicture() {
    // A new picture is its own check: the timer would only repaint what is already shown.
    if (liveCheck_.isActive()) {
        liveCheck_.start();
    }
    update();
}

std::optional<QString> GstVideoControl::select(int index) {
    return cameras_->select(index);
}

StillWrite GstVideoControl::stillToFile(const QString& path, const StillTagger& tagger) {
    std::shared_ptr<const CameraFrame> picture;
    try {
        picture = cameras_->stillOfSelected();
    } catch (const CameraError&) {
        return QtFuture::makeExceptionalFuture<WrittenStill>(std::current_exception());
    }
    // The picture is taken here; encoding and writing run off the window's thread. The camera
    // gets its frame back once it is encoded: a write to a stalled share must not keep one of the
    // few frames the camera has.
    return platform::runDetached([picture = std::move(picture), path, tagger]() mutable {
        const QSize size = picture->full().size();
        QByteArray contents = encodeStill(picture->full(), path);
        picture.reset();
        if (tagger) {
            contents = tagger(contents);
        }
        WrittenStill written = writeStillFile(contents, path);
        written.size = size;
        written.format = stillFormatName(path);
        return written;
    });
}

CameraDescription GstVideoControl::describeSelected() const {
    return cameras_->describeSelected();
}

void GstVideoControl::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    const LivePicture live = showLivePicture_ ? cameras_->pictureToShow(size()) : LivePicture();
    const QImage& picture = live.picture;
    if (picture.isNull()) {
        // Never another camera's picture: the place stays dark and says why.
        painter.fillRect(rect(), kNoPictureColour);
        if (!live.whyNone.isEmpty()) {
            painter.setPen(Qt::white);
            painter.drawText(rect().adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap,
                             live.whyNone);
        }
        return;
    }
    const QRect target = fittedRect(live.fullSize, rect());
    painter.setClipRegion(QRegion(rect()).subtracted(target));
    painter.fillRect(rect(), Qt::black);
    painter.setClipping(false);
    // A picture decoded near the painted size is smoothed for the last step; a full-sized one is
    // sampled, which costs far less and looks the same at this reduction.
    painter.setRenderHint(QPainter::SmoothPixmapTransform,
                          picture.size() != target.size() && picture.width() < 2 * target.width());
    painter.drawImage(target, picture);
}

}  // namespace camera
