// Capture: saving the two pictures, starting the compressor, and the captured-samples list.
#include <fcntl.h>
#include <unistd.h>
#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>

#include "CameraError.h"
#include "DetachedWork.h"
#include "Form_ImageMaker.h"
#include "GeneralDate.h"
#include "ImageNaming.h"
#include "KeySender.h"
#include "MessageBoxes.h"
#include "PlatformError.h"
#include "ProcessStarter.h"
#include "SettingNames.h"

namespace capture {

namespace {

const QString kLineBreak = QStringLiteral("\r\n");
const QString kImagesCaptured = QStringLiteral("Images have been captured");
const QString kCapturedAt = QStringLiteral(" captured at.... ");

QString errorMessage(const QString& what, const QString& reason) {
    return QStringLiteral("Error:") + kLineBreak + what + kLineBreak + kLineBreak + reason;
}

QString reasonOf(const std::exception& error) {
    const auto* platformError = dynamic_cast<const platform::PlatformError*>(&error);
    return platformError != nullptr ? platformError->message() : QString::fromUtf8(error.what());
}

// How long a save folder may take to answer one step of a capture (the two writes, the renames).
constexpr std::chrono::seconds kSaveFolderAnswerTime{15};

QString cameraName(qint16 index, qint16 bottomIndex) {
    return QStringLiteral("camera %1 (%2)")
        .arg(index)
        .arg(index == bottomIndex ? QStringLiteral("bottom") : QStringLiteral("colour"));
}

// Beside the final name and ending like it, since the ending decides the picture format; hidden,
// so that nothing looking for the final names sees it, and new for every capture, so that a late
// write of an abandoned capture cannot meet the next capture's file.
QString temporaryPathFor(const QString& finalPath) {
    const QFileInfo info(finalPath);
    return QStringLiteral("%1/.%2-%3")
        .arg(info.path())
        .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'))
        .arg(info.fileName());
}

[[noreturn]] void throwRenameError(const QByteArray& from, const QByteArray& to, int error) {
    throw platform::FileAccessError(QStringLiteral("cannot rename %1 to %2: %3")
                                        .arg(QFile::decodeName(from), QFile::decodeName(to),
                                             QString::fromLocal8Bit(std::strerror(error))));
}

// Renames both stills into their final names, or leaves both earlier pictures as they were: the
// first earlier picture is exchanged rather than overwritten, so it can go back when the second
// rename fails. A file system without exchange gets plain renames.
void commitStills(const std::array<QString, 2>& temporaries, const std::array<QString, 2>& finals,
                  const std::atomic<bool>& abandoned) {
    const QByteArray firstTemp = QFile::encodeName(temporaries[0]);
    const QByteArray firstFinal = QFile::encodeName(finals[0]);
    const QByteArray otherTemp = QFile::encodeName(temporaries[1]);
    const QByteArray otherFinal = QFile::encodeName(finals[1]);
    const auto removeTemporaries = [&] {
        ::unlink(firstTemp.constData());
        ::unlink(otherTemp.constData());
    };
    if (abandoned.load()) {
        removeTemporaries();
        throw platform::FileAccessError(QStringLiteral("the capture was abandoned"));
    }
    const bool firstExisted = ::access(firstFinal.constData(), F_OK) == 0;
    bool exchanged = firstExisted && ::renameat2(AT_FDCWD, firstTemp.constData(), AT_FDCWD,
                                                 firstFinal.constData(), RENAME_EXCHANGE) == 0;
    if (!exchanged && ::rename(firstTemp.constData(), firstFinal.constData()) != 0) {
        const int error = errno;
        removeTemporaries();
        throwRenameError(firstTemp, firstFinal, error);
    }
    if (abandoned.load() || ::rename(otherTemp.constData(), otherFinal.constData()) != 0) {
        const int error = abandoned.load() ? ETIMEDOUT : errno;
        if (exchanged) {
            ::renameat2(AT_FDCWD, firstTemp.constData(), AT_FDCWD, firstFinal.constData(),
                        RENAME_EXCHANGE);
        } else if (!firstExisted) {
            ::unlink(firstFinal.constData());
        }
        removeTemporaries();
        throwRenameError(otherTemp, otherFinal, error);
    }
    if (exchanged) {
        ::unlink(firstTemp.constData());  // the earlier first picture
    }
    // The renames themselves survive a power cut only once the folder is synced.
    const QByteArray folder = QFile::encodeName(QFileInfo(finals[0]).absolutePath());
    const int descriptor = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor >= 0) {
        ::fsync(descriptor);
        ::close(descriptor);
    }
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

Form_ImageMaker::WaitEnd Form_ImageMaker::awaitFileWork(const QList<QFuture<void>>& work) {
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
    QTimer::singleShot(kSaveFolderAnswerTime, Qt::PreciseTimer, &loop, &QEventLoop::quit);
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

std::optional<QString> Form_ImageMaker::finishStillPair(const StillPair& pair) {
    const QString stalled =
        QStringLiteral("The save folder %1 has not answered within %2 s.")
            .arg(QFileInfo(pair.finals[0]).absolutePath())
            .arg(std::chrono::duration_cast<std::chrono::seconds>(kSaveFolderAnswerTime).count());
    WaitEnd end = awaitFileWork({pair.writes[0], pair.writes[1]});
    if (end != WaitEnd::Done) {
        discardStillPair(pair);
        return end == WaitEnd::TimedOut ? stalled : QString();
    }
    for (const QFuture<void>& write : pair.writes) {
        if (std::optional<QString> problem = errorOf(write)) {
            discardStillPair(pair);
            return problem;
        }
    }
    const auto abandoned = std::make_shared<std::atomic<bool>>(false);
    const QFuture<void> commit =
        platform::runDetached([temporaries = pair.temporaries, finals = pair.finals, abandoned] {
            commitStills(temporaries, finals, *abandoned);
        });
    end = awaitFileWork({commit});
    if (end != WaitEnd::Done) {
        // Too late for this capture: the renames that have not begun are not made.
        abandoned->store(true);
        return end == WaitEnd::TimedOut ? stalled : QString();
    }
    return errorOf(commit);
}

void Form_ImageMaker::discardStillPair(const StillPair& pair) {
    // A write still under way is left to end; its file never gets a final name.
    for (std::size_t i = 0; i < pair.temporaries.size(); ++i) {
        if (pair.temporaries[i].isEmpty()) {
            continue;
        }
        platform::runDetached([write = pair.writes[i], path = pair.temporaries[i]] {
            errorOf(write);
            QFile::remove(path);
        });
    }
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
            pair.emplace(
                StillPair{{temporaryPathFor(finals[0]), temporaryPathFor(finals[1])}, finals, {}});
            // The first picture comes from the camera already selected: the current view's.
            failingCamera = currentCamera;
            pair->writes[0] = takeStill(pair->temporaries[0]);
            failingCamera = otherCamera;
            if (const std::optional<QString> reason = selectCamera(otherCamera)) {
                throw camera::CameraError(*reason);
            }
            pair->writes[1] = takeStill(pair->temporaries[1]);
            failingCamera.reset();
        }
    } catch (const std::exception& error) {
        result = false;
        const QString what =
            failingCamera
                ? QStringLiteral("The pictures of sample %1 could not be taken from %2.")
                      .arg(SampleNumber, cameraName(*failingCamera, BottomCameraIndex))
                : QStringLiteral("The pictures of sample %1 could not be taken.").arg(SampleNumber);
        failure = errorMessage(what, reasonOf(error));
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
            failure = errorMessage(
                QStringLiteral("Camera %1 could not be selected again.").arg(currentCamera),
                *reason);
        }
    }

    // Both pictures replace the earlier pair together or not at all.
    if (pair && result) {
        if (const std::optional<QString> problem = finishStillPair(*pair)) {
            result = false;
            failure = errorMessage(
                QStringLiteral("The pictures of sample %1 could not be saved.").arg(SampleNumber),
                *problem);
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

    const QString compressExe = setting(settings::kCompressExe);
    if (compressExe.isEmpty() || compressedExt.isEmpty()) {
        services_.messages.show(compressionSettingsMessage());
        return true;
    }
    const QString options = setting(settings::kCompressCommandLineOptions);
    const auto commandFor = [&](View view) {
        return compressionCommand(compressExe, options,
                                  imagePath(saveDir, view, SampleNumber, savedExt),
                                  imagePath(saveDir, view, SampleNumber, compressedExt));
    };
    const CompressionCommand colour = commandFor(View::Color);
    const CompressionCommand bottom = commandFor(View::Bottom);
    TXT_CMDLINE->setText(colour.commandLine);
    const std::array<std::pair<const CompressionCommand*, View>, 2> starts{
        {{&bottom, View::Bottom}, {&colour, View::Color}}};
    for (const auto& [command, view] : starts) {
        try {
            const qint64 id = services_.processes.start(command->program, command->arguments);
            compressions_.insert(id, {imageFileName(view, SampleNumber, savedExt), captureSerial_});
        } catch (const std::exception& error) {
            services_.messages.show(
                errorMessage(QStringLiteral("The compression program could not be started:") +
                                 kLineBreak + kLineBreak + command->commandLine,
                             reasonOf(error)));
            return false;
        }
    }
    return true;
}

void Form_ImageMaker::cmd_capture_Click() {
    const bool saved = Save_Sample_Images();
    if (programEnded_) {
        return;
    }
    if (saved) {
        Show_Sample_Images(SampleNumber);
        Add_Captured_Sample();
        lbl_Status->setText(kImagesCaptured);
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

// A compressor that failed leaves no compressed copy: the operator is told on the sample's line
// and in the status line, without a message box that would take the scan dialog's focus.
void Form_ImageMaker::compressionEnded(const platform::ProcessEnd& end) {
    const auto found = compressions_.constFind(end.id);
    if (found == compressions_.cend()) {
        return;
    }
    const PendingCompression compression = *found;
    compressions_.erase(found);
    if (end.succeeded()) {
        return;
    }
    const QString what =
        compression.pictureName + QStringLiteral(" not compressed: ") + end.describe();
    lbl_Status->setText(what);
    for (int row = lst_Captured->count() - 1; row >= 0; --row) {
        QListWidgetItem* item = lst_Captured->item(row);
        if (item->data(Qt::UserRole).toULongLong() == compression.capture) {
            item->setText(item->text() + QStringLiteral("  (") + what + QLatin1Char(')'));
            item->setForeground(Qt::red);
            break;
        }
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
