#include "CompressedImageWatcher.h"

#include <QFileInfo>

#include "DetachedWork.h"

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
        if (!folders.contains(folder)) {
            folders.append(folder);
        }
    }
    renewWatches(folders + filePaths, true);
}

void CompressedImageWatcher::stop() {
    settle_.stop();
    files_.clear();
    ++round_;  // checks still under way are for what was watched before
    const QStringList watched = watcher_.files() + watcher_.directories();
    if (!watched.isEmpty()) {
        watcher_.removePaths(watched);
    }
}

void CompressedImageWatcher::onChange() {
    // A file replaced by rename loses its watch, so the watched set is renewed on every change.
    renewWatches(files_, false);
    settle_.start();
}

void CompressedImageWatcher::renewWatches(const QStringList& paths, bool first) {
    // Whether the paths exist is asked off the window's thread: the folder may be a stalled share.
    const quint64 round = round_;
    platform::runDetachedThen(
        this,
        [paths] {
            QStringList existing;
            for (const QString& path : paths) {
                if (QFileInfo::exists(path)) {
                    existing.append(path);
                }
            }
            return existing;
        },
        [this, round, first](const QStringList& existing) {
            if (round != round_) {
                return;
            }
            const QStringList watched = watcher_.files() + watcher_.directories();
            QStringList added;
            for (const QString& path : existing) {
                if (!watched.contains(path)) {
                    added.append(path);
                }
            }
            if (!added.isEmpty()) {
                watcher_.addPaths(added);
            }
            if (first) {
                settle_.start();  // a copy may have appeared before the folder was watched
            }
        });
}

}  // namespace capture
