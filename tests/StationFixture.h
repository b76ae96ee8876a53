#pragma once

// A main window wired to recording services, started in its own temporary working folder.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include "Form_ImageMaker.h"
#include "Frm_Wo.h"
#include "fakes/ModalDriver.h"
#include "fakes/RecordingCameraControl.h"
#include "fakes/RecordingServices.h"

class StationFixture {
public:
    StationFixture() : previousFolder_(QDir::currentPath()) {
        QDir::setCurrent(folder_.path());
        // The spool of this station only, never the user's.
        qputenv("XDG_DATA_HOME", (folder_.path() + QStringLiteral("/data")).toUtf8());
        saveDir = folder_.path() + QStringLiteral("/images/");
        QDir().mkpath(saveDir);
    }
    ~StationFixture() {
        window.reset();
        QDir::setCurrent(previousFolder_);
    }
    StationFixture(const StationFixture&) = delete;
    StationFixture& operator=(const StationFixture&) = delete;

    QString folder() const { return folder_.path(); }

    void writeSettings(const QStringList& lines) const {
        QFile file(folder_.filePath(QStringLiteral("settings.txt")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        for (const QString& line : lines) {
            file.write(line.toUtf8() + "\r\n");
        }
    }

    void appendSetting(const QString& line) const {
        QFile file(folder_.filePath(QStringLiteral("settings.txt")));
        QVERIFY(file.open(QIODevice::Append));
        file.write(line.toUtf8() + "\r\n");
    }

    // Settings that let a capture run to the end: a save folder and a compressor.
    void writeWorkingSettings(const QString& compressExe = QStringLiteral("/usr/bin/convert"),
                              const QString& options = QStringLiteral("-quality 80")) const {
        writeSettings({QStringLiteral("COMPRESS_EXE;%1;x").arg(compressExe),
                       QStringLiteral("COMPRESS_COMMAND_LINE_OPTIONS;%1;x").arg(options),
                       QStringLiteral("IMAGE_SAVE_DIR;%1;x").arg(saveDir)});
    }

    void create() {
        auto control = std::make_unique<fakes::RecordingCameraControl>();
        video = control.get();
        window = std::make_unique<capture::Form_ImageMaker>(
            std::move(control),
            capture::StationServices{messages, processes, keys, files, [this] { return now; }});
    }

    // Start-up, answering the first scan dialog with Cancel.
    void startWaiting() {
        create();
        dialogs.then([](workorder::Frm_Wo& dialog) { dialog.cmd_Cancel->click(); });
        window->Form_Load();
    }

    // Hands a number over as the scan dialog would and answers the question.
    void accept(const QString& number, bool takePicture) {
        messages.answers.enqueue(takePicture);
        window->frmWo().txt_Sample->setText(number);
        window->Accept_Sample_Number();
    }

    QString savedPath(const QString& prefix, const QString& number,
                      const QString& ext = QStringLiteral("BMP")) const {
        return saveDir + prefix + number + QStringLiteral("_01.") + ext;
    }

    fakes::RecordingMessageBoxes messages;
    fakes::RecordingProcessStarter processes;
    fakes::RecordingKeySender keys;
    fakes::ScriptedFileSystem files;
    fakes::RecordingCameraControl* video = nullptr;
    fakes::ModalDriver<workorder::Frm_Wo> dialogs;
    std::unique_ptr<capture::Form_ImageMaker> window;
    QDateTime now{QDate(2026, 12, 8), QTime(14, 5, 9)};
    QString saveDir;

private:
    QString previousFolder_;
    QTemporaryDir folder_;
};
