// Capture: saving the two pictures, starting the compressor, and the captured-samples list.
#include <QApplication>
#include <QBrush>
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
#include "CaptureRecord.h"
#include "DetachedWork.h"
#include "Diagnostics.h"
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
    try {
        work.waitForFinished();
    } catch (const std::exception& error) {
        return platform::reasonOf(error);
    } catch (...) {
        return QStringLiteral("unknown failure");
    }
    return std::nullopt;
}

void Form_ImageMaker::discardStillPair(const StillPair& pair) {
    // A write still under way is left to end; its file never gets a final name.
    commitStillPairOnceWritten(pair.writes, pair.paths, std::make_shared<std::atomic<bool>>(true));
}

bool Form_ImageMaker::Save_Sample_Images() {
    // Other input waits until the capture has ended; the window keeps painting meanwhile.
    const InputBlocker blocker(cmd_Close);
    ++captureSerial_;
    captureNote_.clear();
    const CameraOrder cameras = cameraOrder();
    const std::optional<SavingSettings> saving = checkSavingSettings();
    std::optional<StillPair> pair;
    std::optional<Failure> failure;
    if (saving) {
        pair = stillPairAt(
            {imagePath(saving->saveDir, cameras.firstView, SampleNumber, saving->savedExt),
             imagePath(saving->saveDir, cameras.otherView, SampleNumber, saving->savedExt)});
        failure = takeSamplePair(*pair, cameras);
    }
    // The live picture goes back to the view the operator is looking at, on every path. The
    // capture is not complete while the view shows no picture.
    if (std::optional<Failure> lost = reselectView(cameras.first); lost && !failure) {
        failure = std::move(lost);
    }
    StoreEnd stored;
    savedPictures_.clear();
    if (saving && pair && !failure) {
        stored = storeStillPair(*pair, *saving, cameras);
        failure = stored.failure;
        if (!failure && !stored.kept) {
            rememberSavedPictures(*pair, cameras);
        }
    } else if (pair) {
        discardStillPair(*pair);
    }
    if (programEnded_) {
        return false;  // closed during the capture: nobody is left to read a message
    }
    if (failure) {
        showFailure(*failure);
    }
    return saving && !failure && startCompressors(*saving, stored.kept);
}

void Form_ImageMaker::rememberSavedPictures(const StillPair& pair, const CameraOrder& cameras) {
    const std::array<View, 2> views{cameras.firstView, cameras.otherView};
    for (std::size_t i = 0; i < views.size(); ++i) {
        records::AcquisitionMetadata picture = pair.pictures.at(i);
        addWrittenStill(picture, pair.stills.at(i).result());  // saved: both writes ended well
        savedPictures_[views.at(i)] = picture;
    }
}

QString Form_ImageMaker::cameraName(qint16 index) const {
    return QStringLiteral("camera %1 (%2)")
        .arg(index)
        .arg(index == BottomCameraIndex ? QStringLiteral("bottom") : QStringLiteral("colour"));
}

Form_ImageMaker::CameraOrder Form_ImageMaker::cameraOrder() const {
    if (CurrentView == kBottomView) {
        return {BottomCameraIndex, ColorCameraIndex, View::Bottom, View::Color};
    }
    return {ColorCameraIndex, BottomCameraIndex, View::Color, View::Bottom};
}

// The three settings a capture cannot go without; their message when any is missing.
std::optional<Form_ImageMaker::SavingSettings> Form_ImageMaker::checkSavingSettings() {
    using settings::kFileExtCompressed;
    using settings::kFileExtSaved;
    using settings::kImageSaveDir;
    SavingSettings saving{setting(kImageSaveDir), setting(kFileExtSaved),
                          setting(kFileExtCompressed)};
    QStringList missing;
    for (const auto& [name, value] : {std::pair{kFileExtSaved, saving.savedExt},
                                      std::pair{kFileExtCompressed, saving.compressedExt},
                                      std::pair{kImageSaveDir, saving.saveDir}}) {
        if (value.isEmpty()) {
            missing.append(name);
        }
    }
    QString note;
    if (saveDirLacksFinalSlash(saving.saveDir,
                               [](const QString& path) { return QFileInfo(path).isDir(); })) {
        missing.append(kImageSaveDir);
        note = saveDirLacksFinalSlashNote(saving.saveDir);
    }
    if (missing.isEmpty()) {
        return saving;
    }
    showFailure({savingSettingsMessage(missing, note),
                 {SampleNumber, {}, saving.saveDir, missing.join(QLatin1Char(' '))}});
    return std::nullopt;
}

Form_ImageMaker::StillPair Form_ImageMaker::stillPairAt(const std::array<QString, 2>& finals) {
    StillPair pair;
    pair.paths = {{temporaryPathFor(finals[0]), temporaryPathFor(finals[1])}, finals};
    return pair;
}

std::optional<Form_ImageMaker::Failure> Form_ImageMaker::takeSamplePair(
    StillPair& pair, const CameraOrder& cameras) {
    const std::optional<StillFailure> failed = takeStills(pair, cameras);
    if (!failed) {
        return std::nullopt;
    }
    const QString camera = cameraName(failed->camera);
    return Failure{platform::errorMessage(
                       QStringLiteral("The pictures of sample %1 could not be taken from %2.")
                           .arg(SampleNumber, camera),
                       failed->reason),
                   {SampleNumber, camera, QFileInfo(pair.paths.finals[0]).path(), failed->reason}};
}

std::optional<Form_ImageMaker::StillFailure> Form_ImageMaker::takeStills(
    StillPair& pair, const CameraOrder& cameras) {
    // The first picture comes from the camera already selected: the current view's.
    if (std::optional<QString> reason = takeStill(pair, 0, cameras.firstView, cameras.first)) {
        return StillFailure{cameras.first, *reason};
    }
    if (std::optional<QString> reason = selectCamera(cameras.other)) {
        return StillFailure{cameras.other, *reason};
    }
    if (std::optional<QString> reason = takeStill(pair, 1, cameras.otherView, cameras.other)) {
        return StillFailure{cameras.other, *reason};
    }
    return std::nullopt;
}

std::optional<Form_ImageMaker::Failure> Form_ImageMaker::reselectView(qint16 camera) {
    // A second failure ends the attempt.
    std::optional<QString> first;
    for (int attempt = 1; attempt <= 2; ++attempt) {
        const std::optional<QString> reason = selectCamera(camera);
        if (!reason) {
            break;
        }
        first = first.value_or(*reason);
    }
    if (!first) {
        return std::nullopt;
    }
    return Failure{
        platform::errorMessage(QStringLiteral("Camera %1 could not be selected again.").arg(camera),
                               *first),
        {SampleNumber, cameraName(camera), {}, *first}};
}

// Both pictures replace the earlier pair together or not at all. A save folder out of reach does
// not stop the lab: the pair is taken again into the spool and forwarded later.
Form_ImageMaker::StoreEnd Form_ImageMaker::storeStillPair(const StillPair& pair,
                                                          const SavingSettings& saving,
                                                          const CameraOrder& cameras) {
    PairEnd end = finishStillPair(pair);
    bool kept = false;
    if (end.kind == PairEnd::Unreachable && forwarder_ != nullptr && !programEnded_) {
        // By the naming rule alone: a save folder setting may end in a file-name prefix.
        const SpoolEnd spooled =
            spoolStillPair({imageFileName(cameras.firstView, SampleNumber, saving.savedExt),
                            imageFileName(cameras.otherView, SampleNumber, saving.savedExt)},
                           cameras);
        if (spooled.viewLost) {
            return {false, spooled.viewLost};
        }
        if (spooled.problem) {
            end.kind = PairEnd::Failed;
            end.reason += platform::kMessageLineBreak +
                          QStringLiteral("Keeping them on this PC failed too: ") + *spooled.problem;
        } else {
            kept = true;
            captureNote_ = spoolNote();
        }
    }
    if (end.setAside) {
        captureNote_ = QStringLiteral("  (older pictures kept on this PC set aside in %1)")
                           .arg(forwarder_->spool().supersededDir());
    }
    if (kept || end.kind == PairEnd::Saved) {
        return {kept, std::nullopt};
    }
    return {
        false,
        Failure{
            platform::errorMessage(
                QStringLiteral("The pictures of sample %1 could not be saved.").arg(SampleNumber),
                end.reason),
            {SampleNumber, {}, saving.saveDir, end.reason}}};
}

bool Form_ImageMaker::startCompressors(const SavingSettings& saving, bool kept) {
    // A kept pair is held back from forwarding until its compressors have ended, or now when none
    // starts.
    const QString spoolKey =
        kept ? SpoolFolder::sampleKey(imageFileName(View::Color, SampleNumber, saving.savedExt))
             : QString();
    const auto release = qScopeGuard([this, &spoolKey] {
        if (!spoolKey.isEmpty()) {
            releaseSpooled(spoolKey);
        }
    });
    const QString compressExe = setting(settings::kCompressExe);
    if (compressExe.isEmpty() || saving.compressedExt.isEmpty()) {
        showFailure({compressionSettingsMessage(), {SampleNumber, {}, {}, {}}});
        return true;
    }
    // A kept pair is compressed where it waits; its copies travel with it.
    const QString pairDir = kept ? forwarder_->spool().dir() : saving.saveDir;
    TXT_CMDLINE->setText(
        compressionCommand(compressExe, setting(settings::kCompressCommandLineOptions),
                           imagePath(pairDir, View::Color, SampleNumber, saving.savedExt),
                           imagePath(pairDir, View::Color, SampleNumber, saving.compressedExt))
            .commandLine);
    return startCompressor(View::Bottom, pairDir, saving, spoolKey) &&
           startCompressor(View::Color, pairDir, saving, spoolKey);
}

// The compressor writes beside the final name, hidden; the copy takes its final name only once
// the compressor has ended well, so nothing ever reads a copy still being written.
bool Form_ImageMaker::startCompressor(View view, const QString& pairDir,
                                      const SavingSettings& saving, const QString& spoolKey) {
    const QString target = imagePath(pairDir, view, SampleNumber, saving.compressedExt);
    const QString temporary = temporaryPathFor(target);
    const CompressionCommand command = compressionCommand(
        setting(settings::kCompressExe), setting(settings::kCompressCommandLineOptions),
        imagePath(pairDir, view, SampleNumber, saving.savedExt), temporary);
    try {
        const qint64 id = services_.processes.start(command.program, command.arguments);
        const auto original = savedPictures_.find(view);
        compressions_.insert(
            id,
            {SampleNumber, imageFileName(view, SampleNumber, saving.savedExt), captureSerial_,
             temporary, target, spoolKey,
             original == savedPictures_.end() ? std::nullopt : std::optional(original->second)});
    } catch (const std::exception& error) {
        const QString reason = platform::reasonOf(error);
        showFailure({platform::errorMessage(
                         {QStringLiteral("The compression program could not be started:"),
                          QString(), command.commandLine, QString(), reason}),
                     {SampleNumber, {}, pairDir, reason}},
                    platform::lcCompress());
        return false;
    }
    return true;
}

void Form_ImageMaker::recoverSaveFolder() {
    const QString saveDir = setting(settings::kImageSaveDir);
    if (saveDir.isEmpty()) {
        return;  // no pictures are taken without one
    }
    // The setting may end in a file-name prefix: the folder is that of a file named by it.
    const QString folder = QFileInfo(saveDir + QLatin1Char('x')).absolutePath();
    platform::runDetached(
        [folder, book = recordBookFor(folder), started = QDateTime::currentDateTime()] {
            recordRepairs(recoverStillPairs(folder, started), folder, *book, started);
        });
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
            state_.setCaptureNote(CapturedCount - 1, captureNote_);
            drawCapturedLine(CapturedCount - 1);
        }
        showStatus(kImagesCaptured);
        services_.keys.sendAltG();
    }
    Accept_Sample_Number();
}

void Form_ImageMaker::Add_Captured_Sample() {
    // A compressor of this capture that fails later finds its line by the capture's mark.
    if (state_.addCaptured(SampleNumber, generalDateText(services_.clock()), captureSerial_)) {
        // The oldest line has made room, so the newest captures stay visible.
        delete lst_Captured->takeItem(0);
        if (!listFullReported_) {
            listFullReported_ = true;
            services_.messages.show(
                QStringLiteral("The list of captured samples holds at most %1 lines. From now on "
                               "the oldest line is removed for each new capture; the saved "
                               "pictures are not affected.")
                    .arg(kMaxCapturedLines));
        }
    }
    lst_Captured->insertItem(CapturedCount - 1, QString());
    drawCapturedLine(CapturedCount - 1);
}

void Form_ImageMaker::drawCapturedLine(qsizetype line) {
    // All red lines share one brush: the list holds a lab's day of lines.
    static const QBrush failed(Qt::red);
    QListWidgetItem* const item = lst_Captured->item(static_cast<int>(line));
    QString text = state_.lineText(line);
    text.squeeze();
    item->setText(text);
    if (state_.lineHasFailure(line)) {
        item->setForeground(failed);
    }
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
