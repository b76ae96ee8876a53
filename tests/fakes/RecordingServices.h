#pragma once

// Recording stand-ins for the platform services, so the windows can be driven headless.

#include <QColor>
#include <QDateTime>
#include <QFile>
#include <QImage>
#include <QMap>
#include <QQueue>
#include <QSet>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <functional>
#include <optional>

#include "FileSystem.h"
#include "KeySender.h"
#include "MessageBoxes.h"
#include "PlatformError.h"
#include "ProcessStarter.h"
#include "VideoControl.h"

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
        QFile target(started.at(position).last());
        if (target.open(QIODevice::WriteOnly)) {
            target.write("compressed");
        }
        target.close();
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
    QStringList removeAttempts;
    QSet<QString> undeletable;

private:
    platform::LocalFileSystem real_;
};

// A camera control that records every call and writes small solid pictures: camera N's still is
// filled with colours[N].
class RecordingVideoControl final : public platform::VideoControl {
public:
    struct Call {
        int dispatchId;
        QVariantList arguments;
    };

    QVariant invoke(int dispatchId, QVariantList& arguments) override {
        calls.append({dispatchId, arguments});
        if (dispatchId == kSelectCamera) {
            const int index = arguments.value(0).toInt();
            const bool chosenCallFails = failSelectCall > 0 && --failSelectCall == 0;
            if (failSelects > 0 || chosenCallFails) {
                failSelects = std::max(failSelects - 1, 0);
                throw platform::VideoControlError(
                    QStringLiteral("camera %1 did not answer").arg(index));
            }
            // Like the real control, every index is selected; one that delivers no pictures
            // answers 0 or less and leaves the reason in place of the index.
            const QVariant answer = answers.value(index, 0);
            selected = index;
            if (answer.toInt() <= 0) {
                arguments[0] = QStringLiteral("camera %1 delivers no pictures").arg(index);
            }
            return answer;
        }
        if (dispatchId == kStillToFile) {
            const QString path = arguments.value(2).toString();
            if (answers.value(selected, 0).toInt() <= 0) {
                throw platform::VideoControlError(
                    QStringLiteral("camera %1 is not configured").arg(selected));
            }
            if (failStillsAfter == 0) {
                throw platform::VideoControlError(
                    QStringLiteral("camera %1 has delivered no picture").arg(selected));
            }
            --failStillsAfter;
            QImage picture(8, 6, QImage::Format_RGB888);
            picture.fill(colours.value(selected, Qt::gray));
            if (!picture.save(path, "BMP")) {
                throw platform::VideoControlError(QStringLiteral("cannot write %1").arg(path));
            }
            stills.append({selected, path});
        }
        return {};
    }
    void setProperty(int dispatchId, const QVariant& value) override {
        calls.append({dispatchId, {value}});
    }

    // "8:1", "15:/path" and so on, in call order.
    QStringList trace() const {
        QStringList lines;
        for (const Call& call : calls) {
            lines.append(QString::number(call.dispatchId) + QLatin1Char(':') +
                         call.arguments.value(call.dispatchId == kStillToFile ? 2 : 0).toString());
        }
        return lines;
    }

    QList<Call> calls;
    QList<QPair<int, QString>> stills;  // camera index, path
    QMap<int, QVariant> answers{{0, 1}, {1, 1}};
    QMap<int, QColor> colours{{0, Qt::blue}, {1, Qt::red}};
    int selected = -1;
    int failSelects = 0;       // selects that fail from the next one on
    int failSelectCall = 0;    // the one select that fails, counted from the next (1); 0 none
    int failStillsAfter = -1;  // stills that succeed before the rest fail; -1 never fails
};

}  // namespace fakes
