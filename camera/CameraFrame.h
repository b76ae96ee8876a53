#pragma once

#include <QImage>
#include <QSize>
#include <QString>

namespace camera {

// One camera picture as it arrived, compressed or in the camera's own pixel layout. It is turned
// into screen pixels only when it is shown, and only at the size it is shown, so that a camera
// that is not on screen costs next to nothing until a still is taken from it.
class CameraFrame {
public:
    virtual ~CameraFrame() = default;
    CameraFrame() = default;
    CameraFrame(const CameraFrame&) = delete;
    CameraFrame& operator=(const CameraFrame&) = delete;

    virtual QSize size() const = 0;
    // The whole picture at its full size, 32 bits per pixel (QImage::Format_RGB32). Throws
    // CameraError when it cannot be decoded. Safe on any thread.
    virtual QImage full() const = 0;
    // The picture made small enough for a `box` of the screen: never smaller than the picture
    // fitted into the box, but possibly larger, as cheaply as the layout allows. A null image
    // when it cannot be decoded. For the window's thread.
    virtual QImage forScreen(QSize box) const = 0;
    // What is wrong with the picture when that is known without decoding it ("are cut short"),
    // for the words shown in its place; empty otherwise.
    virtual QString defect() const { return {}; }
    // True when the picture forScreen() gives is the frame's own memory, to be let go after
    // painting rather than kept.
    virtual bool screenPictureLendsFrame() const { return false; }
};

// A picture that already is in memory as pixels; the painter scales it.
class ImageFrame final : public CameraFrame {
public:
    explicit ImageFrame(QImage image) : image_(std::move(image)) {}
    QSize size() const override { return image_.size(); }
    QImage full() const override { return image_; }
    QImage forScreen(QSize /*box*/) const override { return image_; }

private:
    const QImage image_;
};

}  // namespace camera
