// Times the camera control calls of one capture (still, select the other camera, still, select
// back) on two simulated 1920x1080 cameras, and compares them with dd writing the same bytes with
// the same durability.
//
//   bench_camera_control [ROUNDS=50] [OUTPUT_FOLDER=temporary]

#include "CameraConfig.h"
#include "CameraError.h"
#include "GstVideoControl.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <vector>

namespace {

constexpr int kDefaultRounds = 50;
constexpr int kFrameWaitMs = 15000;
constexpr int kPauseBetweenRoundsMs = 100;  // the live picture keeps painting meanwhile

struct Summary {
    double median = 0;
    double p95 = 0;
};

Summary summarise(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const auto rank = [&values](double fraction) {
        const auto position =
            static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())) - 1);
        return values[std::min(position, values.size() - 1)];
    };
    return {rank(0.5), rank(0.95)};
}

void pumpEvents(int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
}

bool writeConfig(const QString& configHome) {
    if (!QDir(configHome).mkpath("HPortal")) {
        return false;
    }
    QFile file(QDir(configHome).filePath("HPortal/PortalCam.conf"));
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    const QByteArray caps = "video/x-raw,width=1920,height=1080,framerate=30/1";
    file.write("# two simulated station cameras\n");
    file.write("camera0=videotestsrc is-live=true pattern=smpte ! " + caps + "\n");
    file.write("camera1=videotestsrc is-live=true pattern=ball ! " + caps + "\n");
    return file.error() == QFile::NoError;
}

int select(camera::CameraControl& control, int index) {
    return control.select(index) ? 0 : 1;
}

void still(camera::CameraControl& control, const QString& path) {
    control.stillToFile(path).waitForFinished();
}

// dd's own account of its copy time, so that starting the process is not counted.
std::optional<double> ddMilliseconds(const QString& target, qint64 bytes) {
    QProcess dd;
    dd.start("dd", {"if=/dev/zero", "of=" + target, QStringLiteral("bs=%1").arg(bytes), "count=1",
                    "conv=fdatasync"});
    if (!dd.waitForFinished(60000) || dd.exitCode() != 0) {
        return std::nullopt;
    }
    static const QRegularExpression seconds(QStringLiteral(R"(copied, ([0-9.,e-]+) s)"));
    const QRegularExpressionMatch match =
        seconds.match(QString::fromLocal8Bit(dd.readAllStandardError()));
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    QString number = match.captured(1);
    number.replace(QLatin1Char(','), QLatin1Char('.'));
    return number.toDouble() * 1000.0;
}

// Opens and starts the simulated cameras and waits until both deliver; false when they do not.
bool startCameras(camera::GstVideoControl& control) {
    control.setGeometry(0, 0, 640, 480);
    if (const std::optional<QString> failure =
            control.open(QStringLiteral("MIRET_DEMO"), camera::cameraconfig::kCameraSoftwareKey)) {
        throw camera::CameraError(*failure);
    }
    control.configure();
    control.start();
    control.setLivePicture(true);
    control.show();

    QElapsedTimer waiting;
    waiting.start();
    while (select(control, 0) + select(control, 1) < 2) {
        if (waiting.elapsed() > kFrameWaitMs) {
            std::fprintf(stderr, "the simulated cameras deliver no pictures\n");
            return false;
        }
        pumpEvents(50);
    }
    select(control, 0);
    pumpEvents(500);
    return true;
}

struct Timings {
    std::vector<double> ddMs;
    std::vector<double> roundMs;
    std::vector<double> stillMs;
    std::vector<double> selectMs;
    qint64 stillBytes = 0;
};

// One capture round, then dd writing the same bytes as its two stills, each file flushed with
// fdatasync as QSaveFile does on commit; alternating keeps both under the same disk load.
bool measureRound(camera::GstVideoControl& control, const QString& output, int round,
                  Timings& timings) {
    const QString ddTarget = QDir(output).filePath("ddtest");
    const QString bottom = QDir(output).filePath(QStringLiteral("BTM_%1.BMP").arg(round));
    const QString colour = QDir(output).filePath(QStringLiteral("CLR_%1.BMP").arg(round));
    QElapsedTimer timer;
    timer.start();
    still(control, bottom);
    const qint64 afterStill = timer.nsecsElapsed();
    select(control, 1);
    const qint64 afterSelect = timer.nsecsElapsed();
    still(control, colour);
    select(control, 0);
    const qint64 total = timer.nsecsElapsed();
    timings.roundMs.push_back(static_cast<double>(total) / 1e6);
    timings.stillMs.push_back(static_cast<double>(afterStill) / 1e6);
    timings.selectMs.push_back(static_cast<double>(afterSelect - afterStill) / 1e6);

    timings.stillBytes = QFileInfo(bottom).size();
    QFile::remove(bottom);
    QFile::remove(colour);
    const std::optional<double> first = ddMilliseconds(ddTarget, timings.stillBytes);
    const std::optional<double> second = ddMilliseconds(ddTarget + "2", timings.stillBytes);
    if (!first || !second) {
        std::fprintf(stderr, "dd failed\n");
        return false;
    }
    timings.ddMs.push_back(*first + *second);
    QFile::remove(ddTarget);
    QFile::remove(ddTarget + "2");
    pumpEvents(kPauseBetweenRoundsMs);
    return true;
}

void printSummary(const Timings& timings, int rounds, const QString& output) {
    const Summary capture = summarise(timings.roundMs);
    const Summary stills = summarise(timings.stillMs);
    const Summary selects = summarise(timings.selectMs);
    const Summary dd = summarise(timings.ddMs);
    std::printf("rounds %d, still %lld bytes (BMP, 24 bits), folder %s\n", rounds,
                static_cast<long long>(timings.stillBytes), qPrintable(output));
    std::printf("capture round (still, select, still, select): median %.2f ms, p95 %.2f ms\n",
                capture.median, capture.p95);
    std::printf("  one still: median %.2f ms, p95 %.2f ms\n", stills.median, stills.p95);
    std::printf("  one select: median %.2f ms, p95 %.2f ms\n", selects.median, selects.p95);
    std::printf("dd 2 x %lld bytes, conv=fdatasync: median %.2f ms, p95 %.2f ms\n",
                static_cast<long long>(timings.stillBytes), dd.median, dd.p95);
    std::printf("ratio median/dd = %.2f (target <= 2.00)\n", capture.median / dd.median);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, QString(argv[1]).toInt()) : kDefaultRounds;
    QTemporaryDir temporaryOutput;
    const QString output = argc > 2 ? QString::fromLocal8Bit(argv[2]) : temporaryOutput.path();
    QTemporaryDir configHome;
    if (!configHome.isValid() || !writeConfig(configHome.path()) || !QDir().mkpath(output)) {
        std::fprintf(stderr, "cannot prepare the configuration or the output folder\n");
        return 1;
    }
    qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());

    try {
        camera::GstVideoControl control;
        if (!startCameras(control)) {
            return 1;
        }
        Timings timings;
        for (int round = 0; round < rounds; ++round) {
            if (!measureRound(control, output, round, timings)) {
                return 1;
            }
        }
        printSummary(timings, rounds, output);
    } catch (const camera::CameraError& error) {
        std::fprintf(stderr, "camera control failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
