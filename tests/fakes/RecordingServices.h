#pragma once

// Recording stand-ins for the platform services, so the windows can be driven headless.

#include <QDateTime>
#include <QFile>
#include <QImage>
#include <QQueue>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

#include "FileSystem.h"
#include "KeySender.h"
#include "MessageBoxes.h"
#include "PlatformError.h"
#include "ProcessStarter.h"

namespace fakes {

class RecordingMessageBoxes final : public platform::MessageBoxes {
public:
    void show(const QString& text) override {
        shown.append(text);
        if (onShow) {
            onShow(text);
        }
    }
    bool ask(const QString& text, const QString& title) override {
        questions.append(title + QStringLiteral("|") + text);
        const bool answer = answers.isEmpty() ? false : answers.dequeue();
        if (onAsk) {
            onAsk(text);
        }
        return answer;
    }

    QStringList shown;
    QStringList questions;
    QQueue<bool> answers;  // scripted answers; No when none is left
    std::function<void(const QString&)> onShow;
    std::function<void(const QString&)> onAsk;
};

class RecordingProcessStarter final : public platform::ProcessStarter {
public:
    qint64 start(const QString& program, const QStringList& arguments) override {
        if (failingPrograms.contains(program)) {
            throw platform::ProcessStartError(QStringLiteral("%1 was not found").arg(program));
        }
        started.append(QStringList{program} + arguments);
        return started.size();
    }
    // Reports the end of the started program at this position, as the reaper would, after it has
    // written its target (its last argument) as a compressor does, whether it then fails or not.
    void finish(qsizetype position, int exitStatus, int signal = 0) const {
        // A real, small JPEG, as a compressor writes one: the station embeds its provenance.
        QImage copy(4, 3, QImage::Format_RGB888);
        copy.fill(Qt::darkCyan);
        copy.save(started.at(position).last(), "JPG");
        reportFinished({static_cast<qint64>(position) + 1, exitStatus, signal});
    }
    QList<QStringList> started;
    QSet<QString> failingPrograms;
};

class RecordingKeySender final : public platform::KeySender {
public:
    void sendAltG() override { ++altGCount; }
    int altGCount = 0;
};

// The real file system, except for paths a test declares impossible to remove.
class ScriptedFileSystem final : public platform::FileSystem {
public:
    bool fileExists(const QString& path) const override { return real_.fileExists(path); }
    std::optional<QString> removeFile(const QString& path) override {
        removeAttempts.append(path);
        if (undeletable.contains(path)) {
            return QStringLiteral("Permission denied");
        }
        return real_.removeFile(path);
    }
    // Refused for the same paths, as a folder that does not let them go refuses both.
    bool moveWithoutReplacing(const QString& from, const QString& to) override {
        removeAttempts.append(from);
        if (undeletable.contains(from)) {
            throw platform::FileAccessError(
                QStringLiteral("cannot move %1: Permission denied").arg(from));
        }
        return real_.moveWithoutReplacing(from, to);
    }
    QStringList removeAttempts;
    QSet<QString> undeletable;

private:
    platform::LocalFileSystem real_;
};

}  // namespace fakes
