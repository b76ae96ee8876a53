#include "FolderAccess.h"

#include <QFile>
#include <QObject>
#include <algorithm>
#include <filesystem>
#include <system_error>

namespace network {

FolderListing readSubfolders(const QString& path) {
    namespace fs = std::filesystem;
    FolderListing listing;
    std::error_code error;
    fs::directory_iterator entries(fs::path(QFile::encodeName(path).toStdString()), error);
    for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
        const fs::directory_entry& entry = *entries;
        const QString name = QFile::decodeName(entry.path().filename().c_str());
        std::error_code typeError;
        if (!name.startsWith(QLatin1Char('.')) && entry.is_directory(typeError)) {
            listing.folders.push_back(name);
        }
    }
    if (error) {
        listing.error = QString::fromLocal8Bit(error.message());
    }
    std::sort(listing.folders.begin(), listing.folders.end(),
              [](const auto& a, const auto& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    return listing;
}

std::optional<QString> makeFolder(const QString& path) {
    const std::filesystem::path target(QFile::encodeName(path).toStdString());
    std::error_code error;
    if (std::filesystem::create_directory(target, error)) {
        return std::nullopt;
    }
    if (error) {
        return QString::fromLocal8Bit(error.message());
    }
    return QObject::tr("A file or folder of that name already exists.");
}

}  // namespace network
