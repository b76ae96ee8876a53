// The image panel, the live-view switch, and redo and delete of the sample on display.
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <mutex>
#include <optional>

#include "CaptureRecord.h"
#include "CompressedImageWatcher.h"
#include "DetachedWork.h"
#include "Diagnostics.h"
#include "FileSystem.h"
#include "Form_ImageMaker.h"
#include "Frm_Wo.h"
#include "ImageNaming.h"
#include "MessageBoxes.h"
#include "OperatorMessage.h"
#include "PlatformError.h"
#include "Retention.h"
#include "SettingNames.h"
#include "SpoolForwarder.h"

namespace capture {

namespace {

constexpr int kDisplayedNumberLength = 8;
const QString kLastImageTaken = QStringLiteral("Last Image Taken");

// Decodes straight to the box size: a full-size camera picture is never held for a thumbnail.
QImage loadThumbnail(const QString& path, QSize boxSize) {
    QImageReader reader(path);
    reader.setAutoTransform(true);
    if (boxSize.isValid() && !boxSize.isEmpty()) {
        reader.setScaledSize(boxSize);
    }
    return reader.read();
}

}  // namespace

void Form_ImageMaker::Show_Sample_Images(const QString& sampleNumber) {
    const QString compressedExt = setting(settings::kFileExtCompressed);
    if (compressedExt.isEmpty()) {
        showFailure(
            {displaySettingsMessage(), {sampleNumber, {}, {}, settings::kFileExtCompressed}});
        return;
    }
    cmd_Redo->hide();
    cmd_Delete->hide();
    img_bttm->clear();
    img_color->clear();
    ++thumbnailLoad_;  // a load still under way must not fill the cleared boxes
    state_.displayedSample.reset();
    imageWatcher_->stop();
    if (sampleNumber.size() == kDisplayedNumberLength) {
        loadSampleImages(sampleNumber);
        state_.displayedSample = sampleNumber;
        const QString saveDir = setting(settings::kImageSaveDir);
        // The compressor finishes after this routine; the panel reloads when its files appear,
        // and again when a kept sample moves from the spool into the save folder.
        QStringList watched{imagePath(saveDir, View::Bottom, sampleNumber, compressedExt),
                            imagePath(saveDir, View::Color, sampleNumber, compressedExt)};
        if (forwarder_ != nullptr) {
            const QString spoolDir = forwarder_->spool().dir();
            watched += {imagePath(spoolDir, View::Bottom, sampleNumber, compressedExt),
                        imagePath(spoolDir, View::Color, sampleNumber, compressedExt)};
        }
        imageWatcher_->watch(watched);
        cmd_Redo->show();
        cmd_Delete->show();
    }
    drawPanelCaption();
}

// The panel's caption names the sample on display, as it was passed.
void Form_ImageMaker::drawPanelCaption() {
    lbl_Pictures->setText(state_.displayedSample.value_or(kLastImageTaken));
}

void Form_ImageMaker::loadSampleImages(const QString& sampleNumber) {
    const QString saveDir = setting(settings::kImageSaveDir);
    const QString compressedExt = setting(settings::kFileExtCompressed);
    // Bottom first, then colour; a picture that cannot be loaded leaves its box empty. Decoding
    // runs off the window's thread: the save folder may be a share that stalls.
    const std::array paths{imagePath(saveDir, View::Bottom, sampleNumber, compressedExt),
                           imagePath(saveDir, View::Color, sampleNumber, compressedExt)};
    const std::array sizes{img_bttm->contentsRect().size(), img_color->contentsRect().size()};
    const quint64 load = ++thumbnailLoad_;
    const std::optional<SpoolFolder> spool =
        forwarder_ != nullptr ? std::optional(forwarder_->spool()) : std::nullopt;
    const std::array names{imageFileName(View::Bottom, sampleNumber, compressedExt),
                           imageFileName(View::Color, sampleNumber, compressedExt)};
    platform::runDetachedThen(
        this,
        [paths, names, sizes, spool] {
            // A copy still waiting in the spool is the newest one.
            const auto newest = [&](std::size_t i) {
                const QString waiting = spool ? spool->locate(names[i]) : QString();
                return waiting.isEmpty() ? paths[i] : waiting;
            };
            return std::array{loadThumbnail(newest(0), sizes[0]),
                              loadThumbnail(newest(1), sizes[1])};
        },
        [this, load](const std::array<QImage, 2>& pictures) {
            if (load != thumbnailLoad_) {
                return;  // the panel has moved on since
            }
            for (const auto& [picture, box] :
                 {std::pair{pictures[0], img_bttm}, std::pair{pictures[1], img_color}}) {
                if (picture.isNull()) {
                    box->clear();
                } else {
                    box->setPixmap(QPixmap::fromImage(picture));
                }
            }
        });
}

void Form_ImageMaker::reloadDisplayedImages() {
    if (state_.displayedSample && setting(settings::kFileExtCompressed) != QString()) {
        loadSampleImages(*state_.displayedSample);
    }
}

void Form_ImageMaker::cmd_View_Click() {
    const bool toBottom = CurrentView == kColorView;
    cmd_View->setIcon(toBottom ? img_bttn_color : img_bttn_bottom);
    CurrentView = toBottom ? kBottomView : kColorView;
    lbl_view->setText(toBottom ? QStringLiteral("Bottom View") : QStringLiteral("Color View"));
    const qint16 camera = toBottom ? BottomCameraIndex : ColorCameraIndex;
    if (const std::optional<QString> reason = selectCamera(camera)) {
        showFailure({platform::errorMessage(
                         QStringLiteral("Camera %1 could not be selected: the live view has not "
                                        "switched to the %2 view.")
                             .arg(camera)
                             .arg(toBottom ? QStringLiteral("bottom") : QStringLiteral("colour")),
                         *reason),
                     {SampleNumber, cameraName(camera), {}, *reason}});
    }
}

void Form_ImageMaker::cmd_Redo_Click() {
    cmd_Redo->hide();
    cmd_Delete->hide();
    frmWo().txt_Sample->setText(state_.displayedSample.value_or(QString()));
    Accept_Sample_Number();
}

void Form_ImageMaker::cmd_Delete_Click() {
    const QString savedExt = setting(settings::kFileExtSaved);
    if (savedExt.isEmpty() || !state_.displayedSample) {
        return;
    }
    const QString sampleNumber = *state_.displayedSample;
    const QString saveDir = setting(settings::kImageSaveDir);
    const QString folder = QFileInfo(saveDir + QLatin1Char('x')).absolutePath();
    const bool keep = keepsOriginals();
    const std::optional<records::Record> earlier =
        keep ? recordBookFor(folder)->latestPairOf(sampleNumber.trimmed()) : std::nullopt;
    QStringList failures;
    bool removed = false;
    std::vector<records::KeptFile> kept;
    for (const View view : {View::Color, View::Bottom}) {
        const QString path = imagePath(saveDir, view, sampleNumber, savedExt);
        if (!services_.files.fileExists(path)) {
            continue;
        }
        if (keep) {
            // Moved into deleted/, never destroyed; a file that cannot be moved stays.
            try {
                const KeptFacts facts = keptFactsOf(folder, path, earlier);
                kept.push_back(
                    records::keepFile(folder, facts.name, facts.taken, records::KeptReason::Deleted,
                                      facts.sha256, [this](const QString& from, const QString& to) {
                                          return services_.files.moveWithoutReplacing(from, to);
                                      }));
                removed = true;
            } catch (const std::exception& error) {
                failures.append(path + QStringLiteral(": ") + platform::reasonOf(error));
            }
        } else if (const std::optional<QString> reason = services_.files.removeFile(path)) {
            failures.append(path + QStringLiteral(": ") + *reason);
        } else {
            removed = true;
        }
    }
    if (removed) {
        recordDeletion(folder, sampleNumber, std::move(kept), keep);
    }
    removeSpooledPictures(sampleNumber, savedExt, failures);
    if (!failures.isEmpty()) {
        showFailure({QStringLiteral("Error:\r\nThe saved pictures could not be deleted:\r\n\r\n") +
                         failures.join(QStringLiteral("\r\n")),
                     {sampleNumber, {}, saveDir, failures.join(QStringLiteral("; "))}});
    }
}

void Form_ImageMaker::removeSpooledPictures(const QString& sampleNumber, const QString& savedExt,
                                            QStringList& failures) {
    // A kept sample's pictures go too, so that they are not forwarded afterwards; into the spool's
    // deleted/ unless the station keeps no originals.
    if (forwarder_ == nullptr) {
        return;
    }
    const std::shared_ptr<SpoolShared> shared = forwarder_->shared();
    const std::lock_guard spooling(shared->spoolFolder);
    const QStringList names{imageFileName(View::Color, sampleNumber, savedExt),
                            imageFileName(View::Bottom, sampleNumber, savedExt)};
    if (keepsOriginals()) {
        failures.append(shared->spool.keepDeleted(names));
    } else {
        for (const QString& name : names) {
            for (const QString& path :
                 {shared->spool.pathOf(name), shared->spool.claimedPathOf(name)}) {
                if (QFile::exists(path) && !QFile::remove(path)) {
                    failures.append(path);
                }
            }
        }
    }
    forwarder_->recount();
}

void Form_ImageMaker::recordDeletion(const QString& folder, const QString& sampleNumber,
                                     std::vector<records::KeptFile> kept, bool originalsKept) {
    const QString saveDir = setting(settings::kImageSaveDir);
    const QString compressedExt = setting(settings::kFileExtCompressed);
    std::vector<QString> staying;
    for (const View view : {View::Color, View::Bottom}) {
        const QString copy = imagePath(saveDir, view, sampleNumber, compressedExt);
        if (!compressedExt.isEmpty() && QFile::exists(copy)) {
            staying.push_back(copy);
        }
    }
    try {
        recordBookFor(folder)->write(
            deleteRecord(sampleNumber, staying, folder, std::move(kept), originalsKept));
    } catch (const std::exception& error) {
        // The pictures are gone already; the operator's result stands, IT is told.
        platform::diagnose(
            platform::lcCapture(), QtWarningMsg,
            QStringLiteral("the record of a delete cannot be written"),
            {{"SAMPLE", sampleNumber}, {"FOLDER", folder}, {"REASON", platform::reasonOf(error)}});
    }
}

}  // namespace capture
