#pragma once

#include <QString>

#include <map>
#include <optional>

namespace camera::cameraconfig {

// Writes the cameras' lines into the configuration file at `path` atomically, keeping its other
// lines; creates the file and its folder when missing. Empty on success, else what failed where.
std::optional<QString> saveCameraLines(const QString& path,
                                       const std::map<int, QString>& descriptions);

}  // namespace camera::cameraconfig
