// Capture: saving the two pictures, starting the compressor, and the captured-samples list.
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <array>
#include <exception>
#include <optional>

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

}  // namespace

bool Form_ImageMaker::Save_Sample_Images() {
    using settings::kFileExtCompressed;
    using settings::kFileExtSaved;
    using settings::kImageSaveDir;

    bool result = true;
    ++captureSerial_;
    std::optional<QString> failure;
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
            // The first picture comes from the camera already selected: the current view's.
            takeStill(imagePath(saveDir, firstView, SampleNumber, savedExt));
            selectCamera(otherCamera);
            takeStill(imagePath(saveDir, otherView, SampleNumber, savedExt));
        }
    } catch (const std::exception& error) {
        result = false;
        failure = errorMessage(
            QStringLiteral("The pictures of sample %1 could not be taken.").arg(SampleNumber),
            reasonOf(error));
    }

    // The live picture goes back to the view the operator is looking at, on every path; a second
    // failure ends the attempt.
    for (int attempt = 1; attempt <= 2; ++attempt) {
        try {
            selectCamera(currentCamera);
            break;
        } catch (const std::exception& error) {
            result = false;
            if (!failure) {
                failure = errorMessage(
                    QStringLiteral("Camera %1 could not be selected again.").arg(currentCamera),
                    reasonOf(error));
            }
        }
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
    if (Save_Sample_Images()) {
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
