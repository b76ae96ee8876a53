// Benchmarks of the station on its real camera control with two simulated cameras: capture time,
// memory over many captures, start-up, idle cost of the live view and the scan-to-ready loop.
// Prints "name value" lines; bench/run_all.sh turns them into a table.
#include <QApplication>
#include <QStyleFactory>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <vector>

#include "BenchSupport.h"
#include "GuardedApplication.h"
#include "PlatformError.h"
#include "StationHarness.h"
#include "StationModes.h"

namespace {

using bench::Clock;
using bench::fail;

constexpr QSize kFullHd(1920, 1080);
constexpr QSize kHd(1280, 720);

struct Command {
    QString mode;
    int count = 0;
    std::vector<int> checkpoints;  // memory: the capture counts at which RSS is read
    QSize cameraSize = kFullHd;
    bench::CameraKind cameraKind = bench::CameraKind::Bgrx;
};

[[noreturn]] void usage() {
    std::fprintf(
        stderr,
        "usage: bench_station capture|capture-parts [N [WIDTHxHEIGHT [KIND]]] |\n"
        "                     memory [TOTAL...] | startup | idle [SECONDS [KIND WIDTHxHEIGHT]] |\n"
        "                     scan-to-ready [ROUNDS] | cameras [raw|mjpeg] WIDTHxHEIGHT\n");
    std::exit(64);
}

int countArgument(const QStringList& args, int position, int fallback) {
    if (args.size() <= position) {
        return fallback;
    }
    bool ok = false;
    const int value = args[position].toInt(&ok);
    if (!ok || value <= 0) {
        usage();
    }
    return value;
}

// "raw|mjpeg WIDTHxHEIGHT" at `position`; the command keeps its cameras when the pair is absent.
void parseCameras(const QStringList& args, int position, Command& command) {
    if (args.size() <= position) {
        return;
    }
    if (args.size() != position + 2) {
        usage();
    }
    const auto kind = bench::parseCameraKind(args[position]);
    if (!kind) {
        usage();
    }
    command.cameraKind = *kind;
    command.cameraSize = bench::parseSize(args[position + 1]).value_or(QSize());
}

Command parseCommand(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        args.append(QString::fromLocal8Bit(argv[i]));
    }
    Command command;
    command.mode = args.value(0);
    if (command.mode == QLatin1String("capture") ||
        command.mode == QLatin1String("capture-parts")) {
        command.count = countArgument(args, 1, 50);
        if (args.size() > 2) {
            command.cameraSize = bench::parseSize(args[2]).value_or(QSize());
        }
        if (args.size() > 3) {
            command.cameraKind = bench::parseCameraKind(args[3]).value_or(command.cameraKind);
        }
    } else if (command.mode == QLatin1String("memory")) {
        for (int position = 1; position == 1 || position < args.size(); ++position) {
            const int checkpoint = countArgument(args, position, 1000);
            if (checkpoint <= 10 ||
                (!command.checkpoints.empty() && checkpoint <= command.checkpoints.back())) {
                usage();
            }
            command.checkpoints.push_back(checkpoint);
        }
    } else if (command.mode == QLatin1String("idle")) {
        command.count = countArgument(args, 1, 20);
        command.cameraSize = kHd;
        parseCameras(args, 2, command);
    } else if (command.mode == QLatin1String("scan-to-ready")) {
        command.count = countArgument(args, 1, 30);
    } else if (command.mode == QLatin1String("startup")) {
        command.cameraSize = kHd;
    } else if (command.mode == QLatin1String("cameras")) {
        if (args.size() > 2) {
            parseCameras(args, 1, command);
        } else {
            command.cameraSize = bench::parseSize(args.value(1)).value_or(QSize());
        }
    } else {
        usage();
    }
    if (!command.cameraSize.isValid()) {
        usage();
    }
    return command;
}

int run(const Command& command, Clock::time_point entered, bench::StationFolder& folder) {
    if (command.mode == QLatin1String("capture")) {
        return bench::runCapture(folder, command.count);
    }
    if (command.mode == QLatin1String("capture-parts")) {
        return bench::runCaptureParts(folder, command.count);
    }
    if (command.mode == QLatin1String("memory")) {
        return bench::runMemory(folder, command.checkpoints);
    }
    if (command.mode == QLatin1String("idle")) {
        return bench::runIdle(command.count);
    }
    if (command.mode == QLatin1String("scan-to-ready")) {
        return bench::runScanToReady(folder, command.count);
    }
    bench::runStartup(entered, folder);
}

}  // namespace
int main(int argc, char** argv) {
    const auto entered = Clock::now();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    const Command command = parseCommand(argc, argv);
    if (command.mode == QLatin1String("cameras")) {
        // The peers' runs read the same camera descriptions from here.
        for (int index = 0; index < 2; ++index) {
            std::printf("%s\n", qPrintable(bench::cameraDescription(index, command.cameraSize,
                                                                    command.cameraKind)));
        }
        return 0;
    }
    bench::StationFolder folder(command.cameraSize, command.cameraKind);

    // Wired like the station program, except that a fatal error is printed, not shown.
    platform::GuardedApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("sample-image-station-bench"));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    app.setFatalReporter([](const QString& text) { fail(text); });
    try {
        return run(command, entered, folder);
    } catch (const platform::PlatformError& error) {
        fail(error.message());
    } catch (const std::exception& error) {
        fail(QString::fromUtf8(error.what()));
    }
}
