// The camera set-up program on a GenICam camera for tst_genicam, kept apart: the device controls'
// header and the camera control's name the same type.
#include "CameraPreview.h"
#include "CameraSetupWindow.h"

#include <QComboBox>
#include <QTest>
#include <QTreeWidget>

namespace {

QStringList rowsOf(const QTreeWidget& list) {
    QStringList rows;
    for (int i = 0; i < list.topLevelItemCount(); ++i) {
        QStringList cells;
        for (int column = 0; column < list.columnCount(); ++column) {
            cells << list.topLevelItem(i)->text(column);
        }
        rows << cells.join(QLatin1String(" | "));
    }
    return rows;
}

}  // namespace

// Lists the GenICam cameras, shows `id` in camera 0's panel in its first mode of `format`, locks
// it and saves. The listed rows and the lock's rows go to `listed` and `locked`; the reason when
// a step fails.
std::optional<QString> genicamLockAndSave(const QString& configPath, const QString& id,
                                          const QString& format, QStringList& listed,
                                          QStringList& locked) {
    camerasetup::CameraSetupWindow window(configPath, {}, camera::openV4l2Controls);
    window.findGenicamCameras();
    QComboBox& source = *window.sourceChoice(0);
    if (!QTest::qWaitFor([&] { return source.findText(id, Qt::MatchEndsWith) > 0; }, 15000)) {
        return QStringLiteral("%1 is not offered").arg(id);
    }
    listed = rowsOf(*window.sourceList());
    source.setCurrentIndex(source.findText(id, Qt::MatchEndsWith));
    QComboBox& mode = *window.modeChoice(0);
    mode.setCurrentIndex(mode.findText(format, Qt::MatchStartsWith));
    if (!QTest::qWaitFor(
            [&] {
                const camera::CameraPipeline* shown = window.preview(0)->camera();
                return shown != nullptr && shown->genicamCamera() != nullptr;
            },
            15000)) {
        return QStringLiteral("the preview does not open %1: %2")
            .arg(id, window.preview(0)->whyNoPicture().value_or(QString()));
    }
    window.lock(0);
    locked = rowsOf(*window.controlList(0));
    return window.save();
}
