#pragma once

#include "CameraDescription.h"

#include <QImage>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace camera {

class CameraFrame;
class CameraPipeline;
class CameraDeviceMonitor;
class GenicamWatcher;
struct CameraSource;

struct LivePicture {
    QImage picture;  // possibly smaller or larger than it is painted
    QSize fullSize;  // of the camera's picture, which decides the shape it is painted in
    QString whyNone;
};

// The last picture made for the screen, so that a repaint without a new frame (an expose, the
// liveness check) decodes nothing, and a picture that fails to decode leaves the last one up.
class ShownPictureCache {
public:
    // `frame`, the newest of `camera`, made ready for a `box` on screen.
    LivePicture show(int camera, const std::shared_ptr<const CameraFrame>& frame, QSize box);

private:
    int camera_ = -1;
    // Weak: a raw camera's frame is its buffer, which the camera needs back.
    std::weak_ptr<const CameraFrame> frame_;
    QSize box_;
    QImage image_;
};

// The cameras of the control, by index, all running from start() on so that switching is
// instant, and the selection that the live picture and the stills follow. Lives on the GUI
// thread; GStreamer threads only post work to it.
class CameraSet {
public:
    // `repaint` runs on guiContext's thread when the selected camera has something new to show.
    CameraSet(QObject* guiContext, std::function<void()> repaint);
    ~CameraSet();
    CameraSet(const CameraSet&) = delete;
    CameraSet& operator=(const CameraSet&) = delete;

    // Replaces the cameras with the ones described (index -> gst-launch fragment).
    void useConfiguredCameras(const std::map<int, QString>& descriptions);
    // Replaces the cameras with the capture devices present, numbered in a stable order.
    void useDetectedCameras();

    void start();
    bool isStarted() const { return started_; }

    // Selects the camera to show and to take stills from, whether or not it exists; empty when it
    // delivers pictures, otherwise why it does not.
    std::optional<QString> select(int index);
    int selected() const { return selected_.load(); }

    // The selected camera's current picture, or a CameraError explaining why there is none.
    // It is decoded by whoever calls CameraFrame::full(), on any thread.
    std::shared_ptr<const CameraFrame> stillOfSelected();
    // The selected camera's latest picture made ready for a `box` on screen, or why it has none
    // (empty while it is starting). For the window's thread.
    LivePicture pictureToShow(QSize box);
    // The selected camera's kind, identity and controls as read back now.
    CameraDescription describeSelected() const;

private:
    void clear();
    void add(int index, CameraSource source);
    std::unique_ptr<CameraPipeline> makeCamera(int index, CameraSource source);
    void watchDevices();
    void restartCamerasOf(const CameraSource& added);
    void watchGenicamCameras();
    // Restarts the failed GenICam cameras among the ids that answer; stops looking when none is
    // left failed.
    void restartGenicamCameras(const QStringList& answering);
    void restart(int index, std::unique_ptr<CameraPipeline>& camera, CameraSource source);
    // Empty when the selected camera delivers, after waiting for one that is still starting;
    // its picture then goes to `picture` when given.
    std::optional<QString> whySelectedHasNoPicture(std::shared_ptr<const CameraFrame>* picture);

    QObject* const guiContext_;
    const std::function<void()> repaint_;
    std::map<int, std::unique_ptr<CameraPipeline>> cameras_;
    std::unique_ptr<CameraDeviceMonitor> monitor_;
    std::unique_ptr<GenicamWatcher> genicam_;
    bool started_ = false;
    std::atomic<int> selected_{0};
    std::atomic<bool> repaintPending_{false};
    ShownPictureCache shown_;
};

}  // namespace camera
