// Capture: saving the two pictures, starting the compressor, and the captured-samples list.
#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScopeGuard>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <optional>

#include "CameraError.h"
#include "DetachedWork.h"
#include "Form_ImageMaker.h"
#include "GeneralDate.h"
#include "ImageNaming.h"
#include "KeySender.h"
#include "MessageBoxes.h"
#include "OperatorMessage.h"
#include "PlatformError.h"
#include "ProcessStarter.h"
#include "SettingNames.h"
#include "SpoolFolder.h"
#include "SpoolForwarder.h"
#include "StillPairCommit.h"

namespace capture {

namespace {

const QString kImagesCaptured = QStringLiteral("Images have been captured");
const QString kCapturedAt = QStringLiteral(" captured at.... ");

QString reasonOf(const std::exception& error) {
    const auto* platformError = dynamic_cast<const platform::PlatformError*>(&error);
    return platformError != nullptr ? platformError->message() : QString::fromUtf8(error.what());
}

QString cameraName(qint16 index, qint16 bottomIndex) {
    return QStringLiteral("camera %1 (%2)")
        .arg(index)
        .arg(index == bottomIndex ? QStringLiteral("bottom") : QStringLiteral("colour"));
}

std::optional<QString> errorOf(QFuture<void> work) {
    try {
        work.waitForFinished();
    } catch (const std::exception& error) {
        return reasonOf(error);
    } catch (...) {
        return QStringLiteral("unknown failure");
    }
    return std::nullopt;
}

// Drops other input while a capture runs, so that no click starts work on a half-taken sample;
// closing the program stays possible.
class InputBlocker final : public QObject {
public:
    explicit InputBlocker(QWidget* allowed) : allowed_(allowed) { qApp->installEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::Shortcut:
            case QEvent::Wheel:
            case QEvent::ContextMenu: {
                // Window-level events pass, so that they can still reach the Close button.
                auto* const widget = qobject_cast<QWidget*>(watched);
                return widget != nullptr && widget != allowed_ && !allowed_->isAncestorOf(widget);
            }
            default:
                return false;
        }
    }

private:
    QWidget* const allowed_;
};

}  // namespace

Form_ImageMaker::WaitEnd Form_ImageMaker::awaitFileWork(const QList<QFuture<void>>& work,
                                                        std::chrono::milliseconds longest) {
    const auto allDone = [&work] {
        return std::all_of(work.begin(), work.end(),
                           [](const QFuture<void>& item) { return item.isFinished(); });
    };
    QEventLoop loop;
    std::vector<std::unique_ptr<QFutureWatcher<void>>> watchers;
    for (const QFuture<void>& item : work) {
        auto watcher = std::make_unique<QFutureWatcher<void>>();
        connect(watcher.get(), &QFutureWatcherBase::finished, &loop, [&loop, &allDone] {
            if (allDone()) {
                loop.quit();
            }
        });
        watcher->setFuture(item);
        watchers.push_back(std::move(watcher));
    }
    // Precise: a coarse timer may fire up to 5 % early.
    QTimer::singleShot(longest, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    if (!allDone() && !programEnded_) {
        fileWait_ = &loop;
        loop.exec();
        fileWait_ = nullptr;
    }
    if (programEnded_) {
        return WaitEnd::Closing;
    }
    return allDone() ? WaitEnd::Done : WaitEnd::TimedOut;
}

std::optional<QString> Form_ImageMaker::errorOfWork(QFuture<void> work) {
    return errorOf(std::move(work));
}

void Form_ImageMaker::discardStillPair(const StillPair& pair) {
    // A write still under way is left to end; its file never gets a final name.
    commitStillPairOnceWritten(pair.writes, pair.paths, std::make_shared<std::atomic<bool>>(true));
}

bool Form_ImageMaker::Save_Sample_Images() {
    using settings::kFileExtCompressed;
    using settings::kFileExtSaved;
    using settings::kImageSaveDir;

    // Other input waits until the capture has ended; the window keeps painting meanwhile.
    const InputBlocker blocker(cmd_Close);
    bool result = true;
    ++captureSerial_;
    std::optional<QString> failure;
    std::optional<StillPair> pair;
    std::optional<qint16> failingCamera;
    const bool bottomFirst = CurrentView == kBottomView;
    const qint16 currentCamera = bottomFirst ? BottomCameraIndex : ColorCameraIndex;
    const qint16 otherCamera = bottomFirst ? ColorCameraIndex : BottomCameraIndex;
    QString saveDir;
    QString savedExt;
    QString compressedExt;

    try {
        savedExt = setting(kFileExtSaved);
        compressedExt = setting(kFileExtCompressed);
        saveDir = setting(kImageSaveDir);
        QStringList missing;
        for (const auto& [name, value] :
             {std::pair{kFileExtSaved, savedExt}, std::pair{kFileExtCompressed, compressedExt},
              std::pair{kImageSaveDir, saveDir}}) {
            if (value.isEmpty()) {
                missing.append(name);
            }
        }
        QString note;
        if (saveDirLacksFinalSlash(saveDir,
                                   [](const QString& path) { return QFileInfo(path).isDir(); })) {
            missing.append(kImageSaveDir);
            note = saveDirLacksFinalSlashNote(saveDir);
        }
        if (!missing.isEmpty()) {
            services_.messages.show(savingSettingsMessage(missing, note));
            result = false;
        } else {
            const View firstView = bottomFirst ? View::Bottom : View::Color;
            const View otherView = bottomFirst ? View::Color : View::Bottom;
            const std::array finals{imagePath(saveDir, firstView, SampleNumber, savedExt),
                                    imagePath(saveDir, otherView, SampleNumber, savedExt)};
            pair.emplace(StillPair{
                {{temporaryPathFor(finals[0]), temporaryPathFor(finals[1])}, finals}, {}});
            // The first picture comes from the camera already selected: the current view's.
            failingCamera = currentCamera;
            pair->writes[0] = takeStill(pair->paths.temporaries[0]);
            failingCamera = otherCamera;
            if (const std::optional<QString> reason = selectCamera(otherCamera)) {
                throw camera::CameraError(*reason);
            }
            pair->writes[1] = takeStill(pair->paths.temporaries[1]);
            failingCamera.reset();
        }
    } catch (const std::exception& error) {
        result = false;
        const QString what =
            failingCamera
                ? QStringLiteral("The pictures of sample %1 could not be taken from %2.")
                      .arg(SampleNumber, cameraName(*failingCamera, BottomCameraIndex))
                : QStringLiteral("The pictures of sample %1 could not be taken.").arg(SampleNumber);
        failure = platform::errorMessage(what, reasonOf(error));
    }

    // The live picture goes back to the view the operator is looking at, on every path; a second
    // failure ends the attempt. The capture is not complete while the view shows no picture.
    for (int attempt = 1; attempt <= 2; ++attempt) {
        const std::optional<QString> reason = selectCamera(currentCamera);
        if (!reason) {
            break;
        }
        result = false;
        if (!failure) {
            failure = platform::errorMessage(
                QStringLiteral("Camera %1 could not be selected again.").arg(currentCamera),
                *reason);
        }
    }

    // Both pictures replace the earlier pair together or not at all. A save folder out of reach
    // does not stop the lab: the pair is taken again into the spool and forwarded later.
    captureNote_.clear();
    bool kept = false;
    if (pair && result) {
        PairEnd end = finishStillPair(*pair);
        if (end.kind == PairEnd::Unreachable && forwarder_ != nullptr && !programEnded_) {
            // By the naming rule alone: a save folder setting may end in a file-name prefix.
            const std::array names{
                imageFileName(bottomFirst ? View::Bottom : View::Color, SampleNumber, savedExt),
                imageFileName(bottomFirst ? View::Color : View::Bottom, SampleNumber, savedExt)};
            if (const std::optional<QString> problem =
                    spoolStillPair(names, currentCamera, otherCamera)) {
                end.kind = PairEnd::Failed;
                end.reason += platform::kMessageLineBreak +
                              QStringLiteral("Keeping them on this PC failed too: ") + *problem;
            } else {
                kept = true;
                captureNote_ = spoolNote();
            }
        }
        if (end.setAside) {
            captureNote_ = QStringLiteral("  (older pictures kept on this PC set aside in %1)")
                               .arg(forwarder_->spool().supersededDir());
        }
        if (!kept && end.kind != PairEnd::Saved) {
            result = false;
            failure = platform::errorMessage(
                QStringLiteral("The pictures of sample %1 could not be saved.").arg(SampleNumber),
                end.reason);
        }
    } else if (pair) {
        discardStillPair(*pair);
    }
    if (programEnded_) {
        return false;  // closed during the capture: nobody is left to read a message
    }
    if (failure) {
        services_.messages.show(*failure);
    }
    if (!result) {
        return false;
    }
    // A kept pair is held back from forwarding until its compressors have ended, or now when none
    // starts.
    const QString spoolKey =
        kept ? SpoolFolder::sampleKey(imageFileName(View::Color, SampleNumber, savedExt))
             : QString();
    const auto release = qScopeGuard([this, &spoolKey] {
        if (!spoolKey.isEmpty()) {
            releaseSpooled(spoolKey);
        }
    });

    const QString compressExe = setting(settings::kCompressExe);
    if (compressExe.isEmpty() || compressedExt.isEmpty()) {
        services_.messages.show(compressionSettingsMessage());
        return true;
    }
    const QString options = setting(settings::kCompressCommandLineOptions);
    // A kept pair is compressed where it waits; its copies travel with it.
    const QString pairDir = kept ? forwarder_->spool().dir() : saveDir;
    // The compressor writes beside the final name, hidden; the copy takes its final name only
    // once the compressor has ended well, so nothing ever reads a copy still being written.
    const auto commandFor = [&](View view, const QString& target) {
        return compressionCommand(compressExe, options,
                                  imagePath(pairDir, view, SampleNumber, savedExt), target);
    };
    TXT_CMDLINE->setText(
        commandFor(View::Color, imagePath(pairDir, View::Color, SampleNumber, compressedExt))
            .commandLine);
    for (const View view : {View::Bottom, View::Color}) {
        const QString target = imagePath(pairDir, view, SampleNumber, compressedExt);
        const QString temporary = temporaryPathFor(target);
        const CompressionCommand command = commandFor(view, temporary);
        try {
            const qint64 id = services_.processes.start(command.program, command.arguments);
            compressions_.insert(id, {imageFileName(view, SampleNumber, savedExt), captureSerial_,
                                      temporary, target, spoolKey});
        } catch (const std::exception& error) {
            services_.messages.show(platform::errorMessage(
                {QStringLiteral("The compression program could not be started:"), QString(),
                 command.commandLine, QString(), reasonOf(error)}));
            return false;
        }
    }
    return true;
}

void Form_ImageMaker::recoverSaveFolder() {
    const QString saveDir = setting(settings::kImageSaveDir);
    if (saveDir.isEmpty()) {
        return;  // no pictures are taken without one
    }
    // The setting may end in a file-name prefix: the folder is that of a file named by it.
    platform::runDetached(
        [folder = QFileInfo(saveDir + QLatin1Char('x')).absolutePath(),
         started = QDateTime::currentDateTime()] { recoverStillPairs(folder, started); });
}

void Form_ImageMaker::cmd_capture_Click() {
    const bool saved = Save_Sample_Images();
    if (programEnded_) {
        return;
    }
    if (saved) {
        Show_Sample_Images(SampleNumber);
        Add_Captured_Sample();
        if (!captureNote_.isEmpty()) {
            QListWidgetItem* const line = lst_Captured->item(lst_Captured->count() - 1);
            line->setText(line->text() + captureNote_);
        }
        showStatus(kImagesCaptured);
        services_.keys.sendAltG();
    }
    Accept_Sample_Number();
}

void Form_ImageMaker::Add_Captured_Sample() {
    const QString line = SampleNumber + kCapturedAt + generalDateText(services_.clock());
    if (CapturedCount == kMaxCapturedLines) {
        // The count cannot grow further: the oldest line makes room, so the list, the array and
        // the count stay in step and the newest captures stay visible.
        delete lst_Captured->takeItem(0);
        CapturedSamples.removeFirst();
        CapturedCount = static_cast<qint16>(CapturedCount - 1);
        if (!listFullReported_) {
            listFullReported_ = true;
            services_.messages.show(
                QStringLiteral("The list of captured samples holds at most %1 lines. From now on "
                               "the oldest line is removed for each new capture; the saved "
                               "pictures are not affected.")
                    .arg(kMaxCapturedLines));
        }
    }
    lst_Captured->insertItem(CapturedCount, line);
    // A compressor of this capture that fails later finds its line by this mark.
    lst_Captured->item(CapturedCount)->setData(Qt::UserRole, captureSerial_);
    CapturedSamples.append(SampleNumber);
    CapturedCount = static_cast<qint16>(CapturedCount + 1);
}

void Form_ImageMaker::lst_Captured_DblClick() {
    const QList<QListWidgetItem*> selected = lst_Captured->selectedItems();
    if (selected.isEmpty()) {
        return;
    }
    const int position = lst_Captured->row(selected.first());
    if (position < 0 || position >= CapturedSamples.size()) {
        return;
    }
    Show_Sample_Images(CapturedSamples.at(position));
}

}  // namespace capture
