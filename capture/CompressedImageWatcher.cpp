#include "CompressedImageWatcher.h"

#include <QFileInfo>

namespace capture {

namespace {

// A compressor writes its file in several steps; one reload after the writes settle is enough.
constexpr int kSettleMs = 150;

}  // namespace

CompressedImageWatcher::CompressedImageWatcher(QObject* parent) : QObject(parent) {
    settle_.setSingleShot(true);
    settle_.setInterval(kSettleMs);
    connect(&settle_, &QTimer::timeout, this, &CompressedImageWatcher::filesChanged);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this,
            &CompressedImageWatcher::onChange);
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, &CompressedImageWatcher::onChange);
}

void CompressedImageWatcher::watch(const QStringList& filePaths) {
    stop();
    files_ = filePaths;
    QStringList folders;
    for (const QString& path : filePaths) {
        const QString folder = QFileInfo(path).absolutePath();
        if (!folders.contains(folder) && QFileInfo(folder).isDir()) {
            folders.append(folder);
        }
    }
    if (!folders.isEmpty()) {
        watcher_.addPaths(folders);
    }
    onChange();
    settle_.stop();
}

void CompressedImageWatcher::stop() {
    settle_.stop();
    files_.clear();
    const QStringList watched = watcher_.files() + watcher_.directories();
    if (!watched.isEmpty()) {
        watcher_.removePaths(watched);
    }
}

void CompressedImageWatcher::onChange() {
    // A file replaced by rename loses its watch, so the watched set is renewed on every change.
    for (const QString& path : files_) {
        if (!watcher_.files().contains(path) && QFileInfo(path).isFile()) {
            watcher_.addPath(path);
        }
    }
    settle_.start();
}

}  // namespace capture
