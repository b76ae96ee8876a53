#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QStringList>
#include <QTimer>

namespace capture {

// Tells when the compressed copies on display appear or change. The compressor runs on its own
// and may finish long after the capture returned, so the panel reloads when its files change.
class CompressedImageWatcher : public QObject {
    Q_OBJECT
public:
    explicit CompressedImageWatcher(QObject* parent = nullptr);

    // Watches the files and the folders that hold them; replaces what was watched before.
    void watch(const QStringList& filePaths);
    void stop();

signals:
    void filesChanged();

private:
    void onChange();
    void renewWatches(const QStringList& paths, bool first);

    QFileSystemWatcher watcher_;
    QTimer settle_;
    QStringList files_;
    quint64 round_ = 0;  // renewed by every watch() and stop()
};

}  // namespace capture
