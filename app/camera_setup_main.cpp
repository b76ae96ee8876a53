#include "CameraConfig.h"
#include "CameraSetupWindow.h"
#include "GstHandles.h"

#include <QApplication>
#include <QDir>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("station-camera-setup"));
    camera::gst::ensureInitialised();
    // The same file the station's camera control reads.
    const std::optional<QString> path = camera::cameraconfig::configPathForKey(
        camera::cameraconfig::kCameraSoftwareKey, qEnvironmentVariable("XDG_CONFIG_HOME"),
        QDir::homePath());
    if (!path) {
        return 1;  // the key is fixed: never reached
    }
    camerasetup::CameraSetupWindow window(*path, camerasetup::listSources(),
                                          &camera::openV4l2Controls);
    window.findGenicamCameras();
    window.resize(1100, 900);
    window.show();
    return QApplication::exec();
}
