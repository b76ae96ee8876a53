// The camera set-up program's Lock and Save and the device controls for tst_v4l2_cameras.
#include "CameraSetupWindow.h"

#include <QComboBox>
#include <QTest>

#include <map>

std::optional<QString> lockAndSaveFirstSource(const QString& configPath) {
    camerasetup::CameraSetupWindow window(configPath, camerasetup::listSources(),
                                          camera::openV4l2Controls);
    // The window picks its sources once it knows the state of the configured cameras.
    if (!QTest::qWaitFor([&] { return window.sourceChoice(0)->currentIndex() == 1; }, 15000)) {
        return QStringLiteral("no source chosen for camera 0");
    }
    window.lock(0);
    return window.save();
}

std::map<QString, std::int64_t> valuesOn(const QString& node) {
    QString error;
    const auto controls = camera::openV4l2Controls(node, &error);
    std::map<QString, std::int64_t> values;
    if (controls) {
        for (const camera::CameraControl& control : controls->list()) {
            values[control.name] = control.value;
        }
    }
    return values;
}
