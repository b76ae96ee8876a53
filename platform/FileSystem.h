#pragma once

#include <QByteArray>
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
    // Moves the file to TO, never over an existing file: false when TO is taken. Throws
    // FileAccessError with the reason when it cannot be moved.
    virtual bool moveWithoutReplacing(const QString& from, const QString& to) = 0;
};

class LocalFileSystem final : public FileSystem {
public:
    bool fileExists(const QString& path) const override;
    std::optional<QString> removeFile(const QString& path) override;
    bool moveWithoutReplacing(const QString& from, const QString& to) override;
};

// rename(2) that never replaces TO: renameat2 where the file system has it, a hard link where it
// has those; a share with neither is asked first, which holds within the one process that writes
// a station's files. Returns 0 or the errno (EEXIST when TO is taken).
int renameNoReplace(const QByteArray& from, const QByteArray& to);

}  // namespace platform
