// The image panel, the live-view switch, and redo and delete of the sample on display.
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <mutex>
#include <optional>

#include "CompressedImageWatcher.h"
#include "DetachedWork.h"
#include "FileSystem.h"
#include "Form_ImageMaker.h"
#include "Frm_Wo.h"
#include "ImageNaming.h"
#include "MessageBoxes.h"
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
        services_.messages.show(displaySettingsMessage());
        return;
    }
    QString caption = kLastImageTaken;
    cmd_Redo->hide();
    cmd_Delete->hide();
    img_bttm->clear();
    img_color->clear();
    ++thumbnailLoad_;  // a load still under way must not fill the cleared boxes
    displayingSample_ = false;
    imageWatcher_->stop();
    if (sampleNumber.size() == kDisplayedNumberLength) {
        loadSampleImages(sampleNumber);
        displayedSample_ = sampleNumber;
        displayingSample_ = true;
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
        caption = sampleNumber;
        cmd_Redo->show();
        cmd_Delete->show();
    }
    lbl_Pictures->setText(caption);
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
    if (displayingSample_ && setting(settings::kFileExtCompressed) != QString()) {
        loadSampleImages(displayedSample_);
    }
}

void Form_ImageMaker::cmd_View_Click() {
    if (CurrentView == kColorView) {
        cmd_View->setIcon(img_bttn_color);
        CurrentView = kBottomView;
        lbl_view->setText(QStringLiteral("Bottom View"));
        selectCamera(0);
    } else {
        cmd_View->setIcon(img_bttn_bottom);
        CurrentView = kColorView;
        lbl_view->setText(QStringLiteral("Color View"));
        selectCamera(1);
    }
}

void Form_ImageMaker::cmd_Redo_Click() {
    cmd_Redo->hide();
    cmd_Delete->hide();
    frmWo().txt_Sample->setText(lbl_Pictures->text());
    Accept_Sample_Number();
}

void Form_ImageMaker::cmd_Delete_Click() {
    const QString sampleNumber = lbl_Pictures->text();
    const QString savedExt = setting(settings::kFileExtSaved);
    if (savedExt.isEmpty()) {
        return;
    }
    const QString saveDir = setting(settings::kImageSaveDir);
    QStringList failures;
    for (const View view : {View::Color, View::Bottom}) {
        const QString path = imagePath(saveDir, view, sampleNumber, savedExt);
        if (!services_.files.fileExists(path)) {
            continue;
        }
        if (const std::optional<QString> reason = services_.files.removeFile(path)) {
            failures.append(path + QStringLiteral(": ") + *reason);
        }
    }
    // A kept sample's copies go too, so that they are not forwarded afterwards.
    if (forwarder_ != nullptr) {
        const std::shared_ptr<SpoolShared> shared = forwarder_->shared();
        const std::lock_guard spooling(shared->spoolFolder);
        for (const View view : {View::Color, View::Bottom}) {
            const QString name = imageFileName(view, sampleNumber, savedExt);
            for (const QString& path :
                 {shared->spool.pathOf(name), shared->spool.claimedPathOf(name)}) {
                if (QFile::exists(path) && !QFile::remove(path)) {
                    failures.append(path);
                }
            }
        }
        forwarder_->recount();
    }
    if (!failures.isEmpty()) {
        services_.messages.show(QStringLiteral("Error:\r\nThe saved pictures could not be "
                                               "deleted:\r\n\r\n") +
                                failures.join(QStringLiteral("\r\n")));
    }
}

}  // namespace capture
