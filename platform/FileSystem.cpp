#include "FileSystem.h"

#include <QFile>
#include <QFileInfo>

namespace platform {

bool LocalFileSystem::fileExists(const QString& path) const {
    const QFileInfo info(path);
    return info.exists() && !info.isDir();
}

std::optional<QString> LocalFileSystem::removeFile(const QString& path) {
    QFile file(path);
    if (file.remove()) {
        return std::nullopt;
    }
    return file.errorString();
}

}  // namespace platform
