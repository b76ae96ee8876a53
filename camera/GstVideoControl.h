#pragma once

#include "CameraControl.h"

#include <QTimer>

#include <memory>

namespace camera {

class CameraSet;

// The camera control on GStreamer: one pipeline per configured camera, all running from start()
// on, the selected one painted into the widget, stills written off the window's thread.
class GstVideoControl final : public CameraControl {
    Q_OBJECT
public:
    explicit GstVideoControl(QWidget* parent = nullptr);
    ~GstVideoControl() override;

    std::optional<QString> open(const QString& applicationName,
                                const QString& softwareKey) override;
    void configure() override;
    void start() override;
    void setLivePicture(bool shown) override;
    std::optional<QString> select(int index) override;
    using CameraControl::stillToFile;
    StillWrite stillToFile(const QString& path, const StillTagger& tagger) override;
    CameraDescription describeSelected() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void showNewPicture();

    std::unique_ptr<CameraSet> cameras_;
    bool showLivePicture_ = false;
    QTimer liveCheck_;
};

}  // namespace camera
