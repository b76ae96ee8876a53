#pragma once

#include <QString>
#include <stdexcept>

namespace camera {

// A camera's failure inside the control; what() carries the operator-readable text. It reaches
// callers of CameraControl only inside a StillWrite, never thrown by a call.
class CameraError : public std::runtime_error {
public:
    explicit CameraError(const QString& message) : std::runtime_error(message.toStdString()) {}
    QString message() const { return QString::fromStdString(what()); }
};

}  // namespace camera
