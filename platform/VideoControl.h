#pragma once

#include <QVariant>
#include <QVariantList>
#include <QWidget>

namespace platform {

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
        kSelectCamera = 8,   // camera index; answers 1 when that camera delivers pictures
        kStillToFile = 15,   // 0, 24, full path, empty string
    };

    using QWidget::QWidget;
    using QWidget::setProperty;

    // Arguments are passed by reference so that an operation can write back into them.
    virtual QVariant invoke(int dispatchId, QVariantList& arguments) = 0;
    virtual void setProperty(int dispatchId, const QVariant& value) = 0;

    QVariant invoke(int dispatchId, QVariantList&& arguments) { return invoke(dispatchId, arguments); }
};

}  // namespace platform
