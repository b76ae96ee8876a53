#pragma once

#include <QString>
#include <functional>
#include <optional>
#include <vector>

namespace network {

// The folders directly inside a folder, or why they could not be read.
struct FolderListing {
    std::vector<QString> folders;
    std::optional<QString> error;
};

// Reads a folder; called on a worker thread, as a share's server may take long to answer.
using FolderReader = std::function<FolderListing(const QString& path)>;

// The folders inside `path` (symbolic links to folders included, hidden ones left out), sorted by
// name without regard to case.
FolderListing readSubfolders(const QString& path);

// Makes the folder `path`; the reason it could not be made, or nothing once it exists. Called on
// a worker thread as well.
std::optional<QString> makeFolder(const QString& path);

}  // namespace network
