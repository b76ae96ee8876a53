#include "CameraConfigFile.h"

#include "CameraConfig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace camera::cameraconfig {

std::optional<QString> saveCameraLines(const QString& path,
                                       const std::map<int, QString>& descriptions) {
    QString existing;
    QFile current(path);
    if (current.exists()) {
        if (!current.open(QIODevice::ReadOnly)) {
            return QStringLiteral("cannot read %1: %2").arg(path, current.errorString());
        }
        existing = QString::fromUtf8(current.readAll());
        current.close();
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        return QStringLiteral("cannot create the folder of %1").arg(path);
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    }
    const QByteArray text = withCameraLines(existing, descriptions).toUtf8();
    if (file.write(text) != text.size() || !file.commit()) {
        return QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    }
    return std::nullopt;
}

}  // namespace camera::cameraconfig
