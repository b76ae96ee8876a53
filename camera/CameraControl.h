#pragma once

#include "CameraDescription.h"

#include <QByteArray>
#include <QFuture>
#include <QSize>
#include <QString>
#include <QWidget>
#include <functional>
#include <optional>

namespace camera {

// A still as it was written: the SHA-256 of its bytes (hashed from the encoded buffer while the
// file was synced, never read back), their count, the picture's size and its format ("BMP", ...).
struct WrittenStill {
    QByteArray sha256;
    qint64 bytes = 0;
    QSize size;
    QString format;
};

// Finishes once the still is written and synced, or carries the CameraError that stopped it.
using StillWrite = QFuture<WrittenStill>;

// Given the encoded still on the writing thread, before it is written: the bytes to write instead
// (the picture with its metadata embedded). None: written as encoded.
using StillTagger = std::function<QByteArray(const QByteArray& encoded)>;

// The camera control hosted on the main window: it paints the live picture of the selected camera
// and takes stills from it. Every failure comes back in the answer of the call; none is thrown.
class CameraControl : public QWidget {
public:
    using QWidget::QWidget;

    // Reads the camera configuration that the software key names; the reason when it cannot.
    virtual std::optional<QString> open(const QString& applicationName,
                                        const QString& softwareKey) = 0;
    // Sets the opened cameras up before they start.
    virtual void configure() = 0;
    // Starts every opened camera, so that switching between them is instant.
    virtual void start() = 0;
    // Whether the selected camera's live picture is painted.
    virtual void setLivePicture(bool shown) = 0;
    // Selects the camera to show and to take stills from, whether or not it exists; empty when it
    // delivers pictures, otherwise why it does not.
    virtual std::optional<QString> select(int index) = 0;
    // Takes the selected camera's picture at once and writes it to `path`; the format follows the
    // extension. TAGGER, when given, may add to the encoded bytes before they are written.
    virtual StillWrite stillToFile(const QString& path, const StillTagger& tagger) = 0;
    StillWrite stillToFile(const QString& path) { return stillToFile(path, {}); }
    // The selected camera as it is now: its kind, identity and controls read back. Cheap enough
    // for every still (a few milliseconds at most for a GenICam camera on its network).
    virtual CameraDescription describeSelected() const = 0;
};

}  // namespace camera
