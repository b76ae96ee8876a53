// The station program: wires the real platform services to the main window and runs it.
#include <QStyleFactory>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "DetachedWork.h"
#include "FileSystem.h"
#include "Form_ImageMaker.h"
#include "GstVideoControl.h"
#include "GuardedApplication.h"
#include "KeySender.h"
#include "MessageBoxes.h"
#include "ProcessStarter.h"

int main(int argc, char** argv) {
    platform::GuardedApplication app(argc, argv);
    // The name is the message boxes' title. A display name would also be appended to every
    // window title by the window system integration, so none is set.
    QApplication::setApplicationName(QStringLiteral("Sample Image Capturing"));
    // One look on every desktop, so the station's colours show as set.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    platform::QtMessageBoxes messages;
    platform::DetachedProcessStarter processes;
    platform::QueuedKeySender keys;
    platform::LocalFileSystem files;

    const int status = platform::GuardedApplication::runGuarded([&] {
        capture::Form_ImageMaker window(std::make_unique<camera::GstVideoControl>(),
                                        {messages, processes, keys, files});
        // Start-up ends by asking for the first work order; the window appears only after that.
        window.Form_Load();
        if (window.programEnded()) {
            return 0;
        }
        window.show();
        return QApplication::exec();
    });
    // File work stuck on a stalled share cannot be joined, and the destructors of the
    // application and of static objects must not run under it: end at once instead. The window,
    // and with it the cameras, is gone already; the pictures were synced before they were named.
    if (platform::detachedWorkRunning().load() > 0) {
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
