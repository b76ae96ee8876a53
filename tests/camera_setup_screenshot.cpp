// Shows the camera set-up window with two simulated sources and a configured file, and saves a
// picture of it once both previews are live: camera_setup_screenshot OUTPUT.png
#include "CameraPreview.h"
#include "CameraSetupWindow.h"
#include "fakes/TestCameraProvider.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (argc != 2) {
        return 2;
    }
    testcamera::registerProvider();
    testcamera::plugIn({"USB Camera (bottom)", "/dev/video0", "BTM-0001", 0xff4060c0});
    testcamera::plugIn({"USB Camera (colour)", "/dev/video2", "CLR-0002", 0xffd08030});
    const QTemporaryDir folder;
    QDir().mkpath(folder.filePath("HPortal"));
    const QString path = folder.filePath("HPortal/PortalCam.conf");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return 1;
    }
    file.write(
        "# station cameras\ncamera0=videotestsrc is-live=true pattern=ball\n"
        "camera1=v4l2src device=/dev/v4l/by-id/usb-Vendor_Colour_Cam-video-index0 ! "
        "image/jpeg,width=1920,height=1080,framerate=30/1 ! jpegdec\n");
    file.close();
    camerasetup::CameraSetupWindow window(path, camerasetup::listSources(),
                                          &camera::openV4l2Controls);
    window.resize(1000, 860);
    window.show();
    int tries = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const bool live = window.preview(0)->hasPicture() && window.preview(1)->hasPicture();
        if ((live && tries > 6) || ++tries > 60) {
            window.lock(0);
            window.save();
            window.grab().save(QString::fromLocal8Bit(argv[1]));
            QApplication::quit();
        }
    });
    poll.start(250);
    return QApplication::exec();
}
