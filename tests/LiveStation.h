#pragma once

// A main window on the real camera control with two simulated cameras (camera 0 solid blue as the
// bottom camera, camera 1 solid red as the colour camera), in its own temporary folder.

#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include "FileSystem.h"
#include "Form_ImageMaker.h"
#include "Frm_Wo.h"
#include "GstVideoControl.h"
#include "KeySender.h"
#include "ProcessStarter.h"
#include "SpoolForwarder.h"
#include "fakes/ModalDriver.h"
#include "fakes/RecordingServices.h"

inline const QString kConvert = QStringLiteral("/usr/bin/convert");
inline const QColor kBottomColour(0, 0, 255);
inline const QColor kColourColour(255, 0, 0);

inline bool near(const QColor& a, const QColor& b) {
    return qAbs(a.red() - b.red()) < 48 && qAbs(a.green() - b.green()) < 48 &&
           qAbs(a.blue() - b.blue()) < 48;
}

inline QColor centreOfFile(const QString& path) {
    const QImage image(path);
    return image.isNull() ? QColor() : image.pixelColor(image.width() / 2, image.height() / 2);
}

inline QColor centreOf(const QLabel* box) {
    const QImage image = box->pixmap().toImage();
    return image.isNull() ? QColor() : image.pixelColor(image.width() / 2, image.height() / 2);
}

inline QByteArray bytesOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Both pictures of one number as they were on disk when taken, to check that a later fault
// leaves them as they were.
struct SavedPictures {
    QString colourPath;
    QString bottomPath;
    QByteArray colour;
    QByteArray bottom;

    bool bothWritten() const { return !colour.isEmpty() && !bottom.isEmpty(); }
    bool unchanged() const {
        return bytesOf(colourPath) == colour && bytesOf(bottomPath) == bottom;
    }
};

// One station in its own folder: settings, save folder and camera configuration.
class LiveStation {
public:
    static QString solidCamera(const QString& argb, const QString& extra = QString()) {
        return QStringLiteral(
                   "videotestsrc pattern=solid-color foreground-color=%1 is-live=true %2"
                   "! video/x-raw,width=320,height=240,framerate=30/1")
            .arg(argb, extra);
    }

    explicit LiveStation(const QStringList& settingLines = {},
                         const QString& camera0 = solidCamera(QStringLiteral("0xff0000ff")),
                         const QString& camera1 = solidCamera(QStringLiteral("0xffff0000")),
                         const QString& moreCameraLines = QString())
        : previous_(QDir::currentPath()) {
        saveDir = folder_.path() + QStringLiteral("/images/");
        QDir().mkpath(saveDir);
        QDir().mkpath(folder_.path() + QStringLiteral("/xdg/HPortal"));
        // An empty description leaves its line out; with no line at all there is no file, and
        // the control looks for capture devices instead.
        QString lines = moreCameraLines;
        for (const auto& [index, description] : {std::pair{1, camera1}, std::pair{0, camera0}}) {
            if (!description.isEmpty()) {
                lines.prepend(QStringLiteral("camera%1=%2\n").arg(index).arg(description));
            }
        }
        QFile config(folder_.path() + QStringLiteral("/xdg/HPortal/PortalCam.conf"));
        if (!lines.isEmpty() && config.open(QIODevice::WriteOnly)) {
            config.write(lines.toUtf8());
        }
        qputenv("XDG_CONFIG_HOME", (folder_.path() + QStringLiteral("/xdg")).toUtf8());
        // The spool of this station only, never the user's.
        qputenv("XDG_DATA_HOME", (folder_.path() + QStringLiteral("/data")).toUtf8());
        QDir::setCurrent(folder_.path());
        QFile settingsFile(QStringLiteral("settings.txt"));
        if (settingsFile.open(QIODevice::WriteOnly)) {
            const QStringList lines =
                settingLines.isEmpty()
                    ? QStringList{QStringLiteral("COMPRESS_EXE;%1;x").arg(kConvert),
                                  QStringLiteral("COMPRESS_COMMAND_LINE_OPTIONS;-quality 90;x"),
                                  QStringLiteral("IMAGE_SAVE_DIR;%1;x").arg(saveDir)}
                    : settingLines;
            for (const QString& line : lines) {
                settingsFile.write(
                    QString(line).replace(QStringLiteral("SAVE_DIR_HERE"), saveDir).toUtf8() +
                    "\r\n");
            }
        }
        window = std::make_unique<capture::Form_ImageMaker>(
            std::make_unique<camera::GstVideoControl>(),
            capture::StationServices{messages, processes, keys, files});
        // Every capture queues Alt+G; a scan dialog nobody scripted is cancelled.
        dialogs.otherwise([](workorder::Frm_Wo& dialog) { dialog.cmd_Cancel->click(); });
    }
    ~LiveStation() {
        window.reset();
        QDir::setCurrent(previous_);
    }

    QString path(const QString& prefix, const QString& number, const QString& ext) const {
        return saveDir + prefix + number + QStringLiteral("_01.") + ext;
    }

    SavedPictures savedPictures(const QString& number) const {
        SavedPictures saved{path(QStringLiteral("CLR_"), number, QStringLiteral("BMP")),
                            path(QStringLiteral("BTM_"), number, QStringLiteral("BMP")),
                            {},
                            {}};
        saved.colour = bytesOf(saved.colourPath);
        saved.bottom = bytesOf(saved.bottomPath);
        return saved;
    }

    // NUMBER scanned while the station waits for one, "Take Picture" answered Yes.
    void scanAgain(const QString& number) {
        messages.answers.enqueue(true);
        window->frmWo().txt_Sample->setText(number);
        window->Accept_Sample_Number();
    }

    // Start-up, taking the first number through the dialog and answering the question.
    void startWith(const QString& number, bool takePicture) {
        // An empty number asks no question.
        if (!number.isEmpty()) {
            messages.answers.enqueue(takePicture);
        }
        dialogs.then([number](workorder::Frm_Wo& dialog) {
            // Test keys cover ASCII only; other characters arrive as an input method gives them.
            for (const QChar ch : number) {
                if (ch.unicode() < 0x80) {
                    QTest::keyClick(dialog.txt_Sample, ch.toLatin1());
                } else {
                    dialog.txt_Sample->insert(QString(ch));
                }
            }
            dialog.cmd_Ok->click();
        });
        window->Form_Load();
    }

    void showWindow() {
        window->show();
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
    }

    QString folder() const { return folder_.path(); }

    QString saveDir;
    fakes::RecordingMessageBoxes messages;
    platform::DetachedProcessStarter processes;
    platform::QueuedKeySender keys;
    platform::LocalFileSystem files;
    fakes::ModalDriver<workorder::Frm_Wo> dialogs;
    std::unique_ptr<capture::Form_ImageMaker> window;

private:
    QTemporaryDir folder_;
    QString previous_;
};
