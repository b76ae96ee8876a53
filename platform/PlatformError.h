#pragma once

#include <QString>
#include <exception>
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

// The operator-readable text of any failure: a platform error's message, else what() as UTF-8.
inline QString reasonOf(const std::exception& error) {
    const auto* platformError = dynamic_cast<const PlatformError*>(&error);
    return platformError != nullptr ? platformError->message() : QString::fromUtf8(error.what());
}

}  // namespace platform
