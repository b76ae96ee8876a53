#include "GstVideoControl.h"

#include "CameraConfig.h"
#include "CameraFrame.h"
#include "CameraSet.h"
#include "DetachedWork.h"
#include "PlatformError.h"
#include "StillWriter.h"

#include <QDir>
#include <QFile>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>

#include <array>

namespace camera {

namespace {

const QColor kNoPictureColour(48, 48, 48);
// A camera that stops delivering sends no more repaints; the placeholder comes with this check.
constexpr int kLiveCheckMs = 1000;

QString operationName(int dispatchId) {
    return QStringLiteral("operation %1").arg(dispatchId);
}

void requireArgumentCount(int dispatchId, const QVariantList& arguments, qsizetype count) {
    if (arguments.size() != count) {
        throw platform::VideoControlError(QStringLiteral("%1 takes %2 arguments, not %3")
                                              .arg(operationName(dispatchId))
                                              .arg(count)
                                              .arg(arguments.size()));
    }
}

int intArgument(int dispatchId, const QVariant& value, qsizetype position) {
    constexpr std::array kIntegerTypes{QMetaType::Int,      QMetaType::UInt,     QMetaType::Short,
                                       QMetaType::UShort,   QMetaType::Long,     QMetaType::ULong,
                                       QMetaType::LongLong, QMetaType::ULongLong};
    bool ok = false;
    const int number = value.toInt(&ok);
    const bool isInteger = std::find(kIntegerTypes.begin(), kIntegerTypes.end(), value.typeId()) !=
                           kIntegerTypes.end();
    if (!isInteger || !ok) {
        throw platform::VideoControlError(QStringLiteral("%1 expects an integer as argument %2")
                                              .arg(operationName(dispatchId))
                                              .arg(position + 1));
    }
    return number;
}

QString stringArgument(int dispatchId, const QVariant& value, qsizetype position) {
    if (value.typeId() != QMetaType::QString) {
        throw platform::VideoControlError(QStringLiteral("%1 expects a string as argument %2")
                                              .arg(operationName(dispatchId))
                                              .arg(position + 1));
    }
    return value.toString();
}

// The largest rectangle of the picture's shape that fits centred in `area`.
QRect fittedRect(const QSize& picture, const QRect& area) {
    QRect target(QPoint(0, 0), picture.scaled(area.size(), Qt::KeepAspectRatio));
    target.moveCenter(area.center());
    return target;
}

}  // namespace

GstVideoControl::GstVideoControl(QWidget* parent)
    : platform::VideoControl(parent),
      cameras_(std::make_unique<CameraSet>(this, [this] { update(); })) {
    // Every pixel is painted, so Qt need not clear the background first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    liveCheck_.setInterval(kLiveCheckMs);
    connect(&liveCheck_, &QTimer::timeout, this, qOverload<>(&QWidget::update));
}

// The pipelines stop here, before QObject's destructor drops the updates they queued.
GstVideoControl::~GstVideoControl() {
    cameras_.reset();
}

QVariant GstVideoControl::invoke(int dispatchId, QVariantList& arguments) {
    switch (dispatchId) {
        case kOpen:
            open(arguments);
            return {};
        case kConfigure:
            requireOpened(dispatchId);
            requireArgumentCount(dispatchId, arguments, 3);
            for (qsizetype i = 0; i < arguments.size(); ++i) {
                intArgument(dispatchId, arguments[i], i);
            }
            return {};
        case kStart:
            requireOpened(dispatchId);
            requireArgumentCount(dispatchId, arguments, 1);
            intArgument(dispatchId, arguments[0], 0);
            cameras_->start();
            arguments[0] = 0;
            return {};
        case kSelectCamera: {
            requireArgumentCount(dispatchId, arguments, 1);
            const int index = intArgument(dispatchId, arguments[0], 0);
            if (std::optional<QString> reason = cameras_->select(index)) {
                arguments[0] = *reason;
                return {0};
            }
            return {1};
        }
        case kStillToFile: {
            requireArgumentCount(dispatchId, arguments, 4);
            intArgument(dispatchId, arguments[0], 0);
            const int bitsPerPixel = intArgument(dispatchId, arguments[1], 1);
            const QString path = stringArgument(dispatchId, arguments[2], 2);
            stringArgument(dispatchId, arguments[3], 3);
            if (bitsPerPixel != 24) {
                throw platform::VideoControlError(
                    QStringLiteral("stills of %1 bits per pixel are not supported")
                        .arg(bitsPerPixel));
            }
            // The picture is taken here; encoding and writing run off the window's thread.
            return QVariant::fromValue(
                platform::runDetached([picture = cameras_->stillOfSelected(), path] {
                    writeStill(picture->full(), path);
                }));
        }
        default:
            throw platform::VideoControlError(
                QStringLiteral("%1 is not supported").arg(operationName(dispatchId)));
    }
}

void GstVideoControl::setProperty(int dispatchId, const QVariant& value) {
    if (dispatchId != kLiveProperty) {
        throw platform::VideoControlError(
            QStringLiteral("property %1 is not supported").arg(dispatchId));
    }
    requireOpened(dispatchId);
    showLivePicture_ = intArgument(dispatchId, value, 0) != 0;
    if (showLivePicture_) {
        liveCheck_.start();
    } else {
        liveCheck_.stop();
    }
    update();
}

void GstVideoControl::open(const QVariantList& arguments) {
    requireArgumentCount(kOpen, arguments, 3);
    stringArgument(kOpen, arguments[0], 0);
    const QString key = stringArgument(kOpen, arguments[1], 1);
    intArgument(kOpen, arguments[2], 2);

    const std::optional<QString> configPath = cameraconfig::configPathForKey(
        key, qEnvironmentVariable("XDG_CONFIG_HOME"), QDir::homePath());
    if (!configPath) {
        throw platform::VideoControlError(
            QStringLiteral("the camera software key %1 names no configuration").arg(key));
    }
    QFile config(*configPath);
    if (config.exists()) {
        if (!config.open(QIODevice::ReadOnly | QIODevice::Text)) {
            throw platform::VideoControlError(
                QStringLiteral("cannot read the camera configuration %1: %2")
                    .arg(*configPath, config.errorString()));
        }
        cameras_->useConfiguredCameras(
            cameraconfig::parseCameraLines(QString::fromUtf8(config.readAll())));
    } else {
        cameras_->useDetectedCameras();
    }
    opened_ = true;
    update();
}

void GstVideoControl::requireOpened(int dispatchId) const {
    if (!opened_) {
        throw platform::VideoControlError(QStringLiteral("%1 needs operation %2 first")
                                              .arg(operationName(dispatchId))
                                              .arg(kOpen));
    }
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
