#pragma once

#include <QFuture>
#include <QVariant>
#include <QVariantList>
#include <QWidget>

namespace platform {

using StillWrite = QFuture<void>;

// The camera control hosted on the main window. It paints the live picture of the selected camera
// and is driven only by dispatch id, like the vendor control it stands for. A failing call throws
// VideoControlError.
class VideoControl : public QWidget {
    Q_OBJECT
public:
    // Dispatch ids of the operations the station performs.
    enum Dispatch : int {
        kOpen = 1,           // application name, camera software key, 0
        kConfigure = 25,     // 0, 0, 1
        kStart = 2,          // one integer by reference
        kLiveProperty = 33,  // property set, -1
        // Camera index; answers 1 when that camera delivers pictures, otherwise 0 and leaves
        // the reason in place of the index.
        kSelectCamera = 8,
        // 0, 24, full path, empty string. Takes the selected camera's picture at once; the answer
        // is empty when the file is already written, or a StillWrite that finishes once it is
        // written and synced (or carries the error).
        kStillToFile = 15,
    };

    using QWidget::QWidget;
    using QWidget::setProperty;

    // Arguments are passed by reference so that an operation can write back into them.
    virtual QVariant invoke(int dispatchId, QVariantList& arguments) = 0;
    virtual void setProperty(int dispatchId, const QVariant& value) = 0;

    QVariant invoke(int dispatchId, QVariantList&& arguments) {
        return invoke(dispatchId, arguments);
    }
};

}  // namespace platform
