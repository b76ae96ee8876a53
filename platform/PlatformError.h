#pragma once

#include <QString>
#include <stdexcept>

namespace platform {

// Base of every failure a platform service reports; what() carries the operator-readable text.
class PlatformError : public std::runtime_error {
public:
    explicit PlatformError(const QString& message) : std::runtime_error(message.toStdString()) {}
    QString message() const { return QString::fromStdString(what()); }
};

class ProcessStartError : public PlatformError {
public:
    using PlatformError::PlatformError;
};

class FileAccessError : public PlatformError {
public:
    using PlatformError::PlatformError;
};

}  // namespace platform
