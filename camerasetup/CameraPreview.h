#pragma once

#include "CameraPipeline.h"

#include <QWidget>

#include <atomic>
#include <memory>

namespace camerasetup {

// The live picture of one source, or the reason it has none.
class CameraPreview : public QWidget {
    Q_OBJECT

public:
    explicit CameraPreview(QWidget* parent = nullptr);
    ~CameraPreview() override;

    // Shows this source from now on; nothing for an empty one.
    void showSource(std::optional<camera::CameraSource> source);
    // Empty while it delivers pictures, else why not.
    std::optional<QString> whyNoPicture() const;
    bool hasPicture() const { return !whyNoPicture(); }
    // The camera shown, empty when none is.
    const camera::CameraPipeline* camera() const { return camera_.get(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::unique_ptr<camera::CameraPipeline> camera_;
    std::atomic<bool> repaintPending_{false};
};

}  // namespace camerasetup
