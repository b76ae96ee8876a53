#pragma once

// The station under measurement: its main window on the real camera control, services that need
// no operator, and the small tools every benchmark mode shares.

#include <sys/resource.h>

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>

#include "BenchSupport.h"
#include "FileSystem.h"
#include "Form_ImageMaker.h"
#include "Frm_Wo.h"
#include "GstVideoControl.h"
#include "ImageNaming.h"
#include "KeySender.h"
#include "MessageBoxes.h"
#include "ProcessStarter.h"
#include "fakes/ModalDriver.h"

namespace bench {

inline constexpr int kFirstSampleNumber = 20000000;

[[noreturn]] inline void fail(const QString& text) {
    std::fprintf(stderr, "bench_station: %s\n", qPrintable(text));
    std::fflush(stdout);
    std::_Exit(2);
}

// Message boxes that answer Yes at once and keep no history, so that they add no memory per
// capture. A notice means the run went wrong and is echoed.
class AnsweringMessages final : public platform::MessageBoxes {
public:
    void show(const QString& text) override {
        ++shown;
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    }
    bool ask(const QString& /*text*/, const QString& /*title*/) override {
        if (onAsk) {
            onAsk();
        }
        return true;
    }

    int shown = 0;
    std::function<void()> onAsk;
};

// Runs the event loop until `done` holds; a run that takes longer than `timeoutMs` is a failure.
inline void waitUntil(const std::function<bool()>& done, int timeoutMs, const char* what) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    QTimer tick;
    tick.start(5);
    while (!done()) {
        if (Clock::now() > deadline) {
            fail(QStringLiteral("timed out waiting for %1").arg(QLatin1String(what)));
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

inline void runEventLoopFor(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

// The main window on the real camera control, with services that need no operator.
class Station {
public:
    explicit Station(std::unique_ptr<platform::KeySender> keys) : keys_(std::move(keys)) {
        window = std::make_unique<capture::Form_ImageMaker>(
            std::make_unique<camera::GstVideoControl>(),
            capture::StationServices{messages, processes_, *keys_, files_});
    }
    // The window goes first: it holds references to the services.
    ~Station() { window.reset(); }
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    platform::KeySender& keys() { return *keys_; }

    // Start-up, answering its scan dialog with Cancel.
    void startCancelling() {
        fakes::ModalDriver<workorder::Frm_Wo> dialogs;
        dialogs.then([](workorder::Frm_Wo& dialog) { dialog.cmd_Cancel->click(); });
        window->Form_Load();
        if (window->programEnded() || messages.shown > 0) {
            fail(QStringLiteral("start-up did not reach the Waiting state"));
        }
    }

    void showActive() {
        window->show();
        window->activateWindow();
        waitUntil([this] { return QApplication::activeWindow() == window.get(); }, 10000,
                  "the main window to become active");
    }

    AnsweringMessages messages;
    std::unique_ptr<capture::Form_ImageMaker> window;

private:
    platform::DetachedProcessStarter processes_;
    std::unique_ptr<platform::KeySender> keys_;
    platform::LocalFileSystem files_;
};

inline QString sampleNumber(int round) {
    return QString::number(kFirstSampleNumber + round);
}

inline QStringList savedPictures(const QString& saveDir, const QString& number) {
    using capture::View;
    return {capture::imagePath(saveDir, View::Color, number, QStringLiteral("BMP")),
            capture::imagePath(saveDir, View::Bottom, number, QStringLiteral("BMP"))};
}

// Removes the pictures of a capture and answers the bytes they held.
inline qint64 takeAwayPictures(const QString& saveDir, const QString& number) {
    qint64 bytes = 0;
    for (const QString& path : savedPictures(saveDir, number)) {
        bytes += QFileInfo(path).size();
        QFile::remove(path);
    }
    return bytes;
}
struct Timing {
    double wallMs;
    double threadCpuMs;  // of the GUI thread alone
};

inline double threadCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

template <typename Action>
Timing timed(Action&& action) {
    const double cpuBefore = threadCpuMs();
    const auto started = Clock::now();
    action();
    return {millisecondsBetween(started, Clock::now()), threadCpuMs() - cpuBefore};
}

}  // namespace bench
