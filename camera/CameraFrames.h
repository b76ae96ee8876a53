#pragma once

#include "CameraFrame.h"
#include "GstHandles.h"

#include <QByteArray>

#include <gst/video/video.h>

#include <memory>

namespace camera {

// A JPEG picture as an MJPEG camera sent it. It is decoded at full size only for a still, and
// for the screen at the smallest scale libjpeg-turbo can decode to that still covers the box.
class JpegFrame final : public CameraFrame {
public:
    // Empty when the bytes hold no JPEG whose header can be read. `before` is the camera's
    // previous picture: a still falls back to it when this one turns out broken or cut short,
    // which USB cameras do now and then.
    static std::shared_ptr<const JpegFrame> make(QByteArray bytes,
                                                 const std::shared_ptr<const JpegFrame>& before);

    QSize size() const override { return size_; }
    QImage full() const override;
    QImage forScreen(QSize box) const override;
    QString defect() const override;

private:
    JpegFrame(QByteArray bytes, QSize size, bool complete, QByteArray fallback);

    const QByteArray bytes_;
    const QSize size_;
    const bool complete_;        // ends with the end-of-image marker
    const QByteArray fallback_;  // the previous complete picture, or empty
};

// An uncompressed picture in the layout the camera delivered (YUYV, NV12, BGRx, ...). Only what
// is shown is converted, straight to the painted size; a still converts the whole picture.
class RawFrame final : public CameraFrame {
public:
    // Empty when the sample carries no video frame.
    static std::shared_ptr<const RawFrame> make(gst::SamplePtr sample);

    QSize size() const override;
    QImage full() const override;
    QImage forScreen(QSize box) const override;
    bool screenPictureLendsFrame() const override { return isScreenLayout(); }

private:
    RawFrame(gst::SamplePtr sample, const GstVideoInfo& info);
    enum class Purpose { Screen, Still };
    bool isScreenLayout() const;
    QImage converted(QSize size, Purpose purpose) const;

    const gst::SamplePtr sample_;
    GstVideoInfo info_{};
};

// A Bayer mosaic as a colour GenICam camera sends it: one colour per pixel. The screen takes one
// pixel per 2×2 cell, only for the pixels it shows; a still interpolates every pixel (bilinear).
class BayerFrame final : public CameraFrame {
public:
    // Empty when the sample is not an 8-bit Bayer picture or its buffer is shorter than one:
    // a picture with lost packets is never kept.
    static std::shared_ptr<const BayerFrame> make(gst::SamplePtr sample);

    QSize size() const override { return size_; }
    QImage full() const override;
    QImage forScreen(QSize box) const override;

private:
    BayerFrame(gst::SamplePtr sample, QSize size, int stride, QPoint red);

    const gst::SamplePtr sample_;
    const QSize size_;
    const int stride_;
    const QPoint red_;  // where the red pixel lies in each 2×2 cell
};

// The size to decode a `full`-sized JPEG to for a `box` on screen: the smallest of
// libjpeg-turbo's scaled sizes that still covers the picture fitted into the box.
QSize jpegScreenDecodeSize(QSize full, QSize box);

}  // namespace camera
