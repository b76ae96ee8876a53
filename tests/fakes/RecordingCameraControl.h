#pragma once

#include <QBuffer>
#include <QColor>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QImage>
#include <QList>
#include <QMap>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>
#include <exception>
#include <optional>

#include "CameraControl.h"
#include "CameraError.h"
#include "DetachedWork.h"

namespace fakes {

// A camera control that records what the window asked of it and writes small solid pictures:
// camera N's still is filled with colours[N]. It fails the way the real control does: by its
// answers, never by throwing.
class RecordingCameraControl final : public camera::CameraControl {
public:
    std::optional<QString> open(const QString& applicationName,
                                const QString& softwareKey) override {
        openedWith = {applicationName, softwareKey};
        return std::nullopt;
    }
    void configure() override { configured = opened(); }
    void start() override { started = configured; }
    void setLivePicture(bool shown) override { livePicture = shown && started; }
    std::optional<QString> select(int index) override {
        // Like the real control, every index is selected, also one that delivers no pictures.
        selects.append(index);
        selected = index;
        if (failingSelects.contains(selects.size())) {
            return QStringLiteral("camera %1 did not answer").arg(index);
        }
        if (!started || !delivering.contains(index)) {
            return QStringLiteral("camera %1 delivers no pictures").arg(index);
        }
        return std::nullopt;
    }
    using camera::CameraControl::stillToFile;
    camera::StillWrite stillToFile(const QString& path,
                                   const camera::StillTagger& tagger) override {
        const auto failed = [](const QString& why) {
            return QtFuture::makeExceptionalFuture<camera::WrittenStill>(
                std::make_exception_ptr(camera::CameraError(why)));
        };
        if (!started || !delivering.contains(selected)) {
            return failed(QStringLiteral("camera %1 is not configured").arg(selected));
        }
        if (failStillsAfter == 0) {
            return failed(QStringLiteral("camera %1 has delivered no picture").arg(selected));
        }
        --failStillsAfter;
        QImage picture(8, 6, QImage::Format_RGB888);
        picture.fill(colours.value(selected, Qt::gray));
        stills.append({selected, path});
        // As the real control, a still to be tagged is encoded and tagged on another thread,
        // which may wait for the window to describe the camera; the others are written at once.
        const auto write = [picture, path, tagger] {
            QByteArray bytes;
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            picture.save(&buffer, tagger ? QFileInfo(path).suffix().toLatin1().constData() : "BMP");
            return writeStill(tagger ? tagger(bytes) : bytes, path, picture.size());
        };
        if (tagger) {
            return platform::runDetached(write);
        }
        try {
            return QtFuture::makeReadyFuture(write());
        } catch (const camera::StillFileError&) {
            stills.removeLast();
            return QtFuture::makeExceptionalFuture<camera::WrittenStill>(std::current_exception());
        }
    }

    // The folder's failure, not the camera's, as the real control reports it.
    static camera::WrittenStill writeStill(const QByteArray& bytes, const QString& path,
                                           QSize size) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
            throw camera::StillFileError(QStringLiteral("cannot write %1").arg(path));
        }
        return {QCryptographicHash::hash(bytes, QCryptographicHash::Sha256), bytes.size(), size,
                QFileInfo(path).suffix().toUpper()};
    }

    camera::CameraDescription describeSelected() const override {
        camera::CameraDescription description;
        description.identity = {
            {QStringLiteral("description"), QStringLiteral("recording camera %1").arg(selected)}};
        if (!delivering.contains(selected)) {
            description.reason = QStringLiteral("camera %1 delivers no pictures").arg(selected);
            return description;
        }
        description.controls = controls.value(selected);
        return description;
    }

    bool opened() const { return !openedWith.isEmpty(); }

    QStringList openedWith;  // application name, software key
    bool configured = false;
    bool started = false;
    bool livePicture = false;
    QList<int> selects;                 // in call order
    QList<QPair<int, QString>> stills;  // camera index, path
    QSet<int> delivering{0, 1};
    QMap<int, QColor> colours{{0, Qt::blue}, {1, Qt::red}};
    QMap<int, camera::CameraDescription::Values> controls;  // what describeSelected reads back
    int selected = -1;
    QSet<qsizetype> failingSelects;  // positions in `selects` (from 1) that do not answer
    int failStillsAfter = -1;        // stills that succeed before the rest fail; -1 never fails
};

}  // namespace fakes
