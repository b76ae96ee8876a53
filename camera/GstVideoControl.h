#pragma once

#include "VideoControl.h"

#include <QTimer>

#include <memory>

namespace camera {

class CameraSet;

// The camera control on GStreamer: one pipeline per configured camera, all running from
// operation 2 on, the selected one painted into the widget, stills written off the window's thread.
class GstVideoControl final : public platform::VideoControl {
    Q_OBJECT
public:
    explicit GstVideoControl(QWidget* parent = nullptr);
    ~GstVideoControl() override;

    using platform::VideoControl::invoke;
    using platform::VideoControl::setProperty;
    QVariant invoke(int dispatchId, QVariantList& arguments) override;
    void setProperty(int dispatchId, const QVariant& value) override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void open(const QVariantList& arguments);
    void requireOpened(int dispatchId) const;

    std::unique_ptr<CameraSet> cameras_;
    bool opened_ = false;
    bool showLivePicture_ = false;
    QTimer liveCheck_;
};

}  // namespace camera
