// A station in a folder of its own, for tests that crash it or watch its system calls:
//   crash_victim FOLDER capture BOTTOM_ARGB COLOUR_ARGB  takes sample 12345678 with cameras of
//                                                        those colours, waits for its copies
//   crash_victim FOLDER start                            starts and leaves at the scan dialog
// The save folder is FOLDER/images/, the spool FOLDER/data/SampleImageStation/spool/, the
// compressor cp. Exit status 0 once all has ended well.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "DetachedWork.h"
#include "FileSystem.h"
#include "Form_ImageMaker.h"
#include "Frm_Wo.h"
#include "GstVideoControl.h"
#include "KeySender.h"
#include "ProcessStarter.h"
#include "fakes/ModalDriver.h"
#include "fakes/RecordingServices.h"

namespace {

void writeFile(const QString& path, const QByteArray& text) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size()) {
        qFatal("cannot write %s", qPrintable(path));
    }
}

QByteArray solidCamera(const QString& argb) {
    return "videotestsrc pattern=solid-color foreground-color=" + argb.toLatin1() +
           " is-live=true ! video/x-raw,width=320,height=240,framerate=30/1";
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    const bool capture = arguments.value(2) == QStringLiteral("capture");
    if (arguments.size() != (capture ? 5 : 3)) {
        qFatal("usage: crash_victim FOLDER capture BOTTOM_ARGB COLOUR_ARGB | FOLDER start");
    }
    const QString folder = QDir(arguments[1]).absolutePath();
    const QString saveDir = folder + QStringLiteral("/images/");
    QDir().mkpath(saveDir);
    QDir().mkpath(folder + QStringLiteral("/xdg/HPortal"));
    if (capture) {
        writeFile(folder + QStringLiteral("/xdg/HPortal/PortalCam.conf"),
                  "camera0=" + solidCamera(arguments[3]) +
                      "\ncamera1=" + solidCamera(arguments[4]) + "\n");
    }
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder + QStringLiteral("/xdg")));
    // A spool of its own: the user's would have its waiting pairs forwarded into this folder.
    qputenv("XDG_DATA_HOME", QFile::encodeName(folder + QStringLiteral("/data")));
    QDir::setCurrent(folder);
    writeFile(QStringLiteral("settings.txt"),
              "COMPRESS_EXE;/bin/cp;x\r\nIMAGE_SAVE_DIR;" + QFile::encodeName(saveDir) + ";x\r\n");

    fakes::RecordingMessageBoxes messages;
    platform::DetachedProcessStarter processes;
    platform::QueuedKeySender keys;
    platform::LocalFileSystem files;
    fakes::ModalDriver<workorder::Frm_Wo> dialogs;
    capture::Form_ImageMaker window(std::make_unique<camera::GstVideoControl>(),
                                    capture::StationServices{messages, processes, keys, files});
    if (capture) {
        messages.answers.enqueue(true);
        dialogs.then([](workorder::Frm_Wo& dialog) {
            dialog.txt_Sample->setText(QStringLiteral("12345678"));
            dialog.cmd_Ok->click();
        });
    }
    dialogs.otherwise([](workorder::Frm_Wo& dialog) { dialog.cmd_Cancel->click(); });
    window.Form_Load();

    // The copies take their names once both compressors have ended; start-up work ends on its
    // own. Nothing hidden is left either way.
    const auto done = [&] {
        return platform::detachedWorkRunning().load() == 0 &&
               QDir(saveDir)
                   .entryList({QStringLiteral(".*")}, QDir::Files | QDir::Hidden)
                   .isEmpty() &&
               (!capture || (QFile::exists(saveDir + QStringLiteral("CLR_12345678_01.JPG")) &&
                             QFile::exists(saveDir + QStringLiteral("BTM_12345678_01.JPG"))));
    };
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 30000) {
        QTest::qWait(20);
    }
    if (!messages.shown.isEmpty()) {
        qWarning("%s", qPrintable(messages.shown.join(QLatin1Char('\n'))));
    }
    return done() && messages.shown.isEmpty() && (!capture || window.CapturedCount == 1) ? 0 : 1;
}
