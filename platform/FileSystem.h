#pragma once

#include <QString>
#include <optional>

namespace platform {

// The few file operations the windows perform directly.
class FileSystem {
public:
    virtual ~FileSystem() = default;
    // True when a file (not a folder) exists at the path.
    virtual bool fileExists(const QString& path) const = 0;
    // Removes the file without forcing it; returns the reason when it could not be removed.
    virtual std::optional<QString> removeFile(const QString& path) = 0;
};

class LocalFileSystem final : public FileSystem {
public:
    bool fileExists(const QString& path) const override;
    std::optional<QString> removeFile(const QString& path) override;
};

}  // namespace platform
