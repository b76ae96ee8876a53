// Capture modes: Save_Sample_Images alone, its two halves, and memory over many full captures.
#include <spawn.h>
#include <sys/wait.h>

#include <QLineEdit>
#include <QListWidget>
#include <vector>

#include "StationHarness.h"
#include "StationModes.h"
#include "fakes/RecordingServices.h"

extern char** environ;

namespace bench {

namespace {

Timing timedSave(Station& station, const QString& number) {
    station.window->SampleNumber = number;
    bool saved = false;
    const Timing timing = timed([&] { saved = station.window->Save_Sample_Images(); });
    if (!saved) {
        fail(QStringLiteral("the pictures of %1 were not saved").arg(number));
    }
    return timing;
}

struct PartTimes {
    std::vector<double> wall;
    std::vector<double> cpu;

    void add(const Timing& timing) {
        wall.push_back(timing.wallMs);
        cpu.push_back(timing.threadCpuMs);
    }
    void report(const char* prefix) const {
        bench::reportTimes(prefix, wall);
        bench::report((QByteArray(prefix) + ".gui_thread_cpu_median_ms").constData(),
                      bench::median(cpu));
    }
};

// What starting the same program costs from this process without copying its address space:
// posix_spawn, reaped at once (/bin/true ends immediately). A reference, not the station's path.
void spawnReference(const QString& argument) {
    const QByteArray program("/bin/true");
    const QByteArray arg = argument.toLocal8Bit();
    char* const argv[] = {const_cast<char*>(program.constData()),
                          const_cast<char*>(arg.constData()), nullptr};
    pid_t child = 0;
    if (posix_spawn(&child, program.constData(), nullptr, nullptr, argv, environ) != 0) {
        fail(QStringLiteral("posix_spawn of /bin/true failed"));
    }
    int status = 0;
    waitpid(child, &status, 0);
}

// A capture the way the operator makes one: a scanned number, Yes to the question, the list line.
void fullCapture(Station& station, const QString& saveDir, int round) {
    const qint16 before = station.window->CapturedCount;
    station.window->frmWo().txt_Sample->setText(sampleNumber(round));
    station.window->Accept_Sample_Number();
    if (station.window->CapturedCount != before + 1) {
        fail(QStringLiteral("capture %1 added no line").arg(round));
    }
    takeAwayPictures(saveDir, sampleNumber(round));
    QCoreApplication::processEvents();
}

void reportResources(const char* prefix) {
    const QByteArray base(prefix);
    report((base + ".fds").constData(), bench::openDescriptors());
    report((base + ".threads").constData(), bench::threadCount());
}

}  // namespace

// capture N WxH: Save_Sample_Images alone, N times with different sample numbers.
int runCapture(const bench::StationFolder& folder, int count) {
    Station station(std::make_unique<fakes::RecordingKeySender>());
    station.startCancelling();
    // The first capture after start-up is not timed: it may wait for the first frames.
    timedSave(station, sampleNumber(count));
    takeAwayPictures(folder.saveDir(), sampleNumber(count));

    std::vector<double> times;
    std::vector<double> cpu;
    std::vector<double> bytes;
    for (int round = 0; round < count; ++round) {
        const Timing timing = timedSave(station, sampleNumber(round));
        times.push_back(timing.wallMs);
        cpu.push_back(timing.threadCpuMs);
        bytes.push_back(
            static_cast<double>(takeAwayPictures(folder.saveDir(), sampleNumber(round))));
        QCoreApplication::processEvents();
    }
    bench::reportTimes("capture", times);
    report("capture.gui_thread_cpu_median_ms", bench::median(cpu));
    report("capture.bytes", bench::median(bytes));
    report("capture.messages", station.messages.shown);
    return 0;
}

// capture-parts N WxH: a still and a compressor start, each timed on its own.
int runCaptureParts(const bench::StationFolder& folder, int count) {
    Station station(std::make_unique<fakes::RecordingKeySender>());
    station.startCancelling();
    platform::DetachedProcessStarter starter;
    const QString path = folder.saveDir() + QStringLiteral("part.BMP");
    PartTimes still;
    PartTimes start;
    PartTimes spawn;
    for (int round = 0; round <= count; ++round) {
        const Timing stillTiming = timed([&] {
            // The write runs off this thread; the still counts once it is on disk.
            station.window->VideoPortal1->stillToFile(path).waitForFinished();
        });
        const Timing startTiming = timed([&] {
            starter.start(QStringLiteral("/bin/true"), {path, path});
        });
        const Timing spawnTiming = timed([&] { spawnReference(path); });
        QFile::remove(path);
        QCoreApplication::processEvents();
        if (round > 0) {  // the first round may wait for the first frames
            still.add(stillTiming);
            start.add(startTiming);
            spawn.add(spawnTiming);
        }
    }
    still.report("parts.still");
    start.report("parts.start");
    spawn.report("parts.spawn_reference");
    return 0;
}

// memory TOTAL: resident size, descriptors and threads over TOTAL full captures.
int runMemory(const bench::StationFolder& folder, const std::vector<int>& checkpoints) {
    constexpr int kFirst = 10;
    Station station(std::make_unique<fakes::RecordingKeySender>());
    station.startCancelling();
    station.window->show();
    runEventLoopFor(500);
    reportResources("memory.before");
    report("memory.rss_start_mib", bench::residentMiB());

    int round = 0;
    for (; round < kFirst; ++round) {
        fullCapture(station, folder.saveDir(), round);
    }
    runEventLoopFor(500);
    const double afterFirst = bench::residentMiB();
    report("memory.rss_first_mib", afterFirst);
    // One run answers for every checkpoint: the growth to 1,000 captures and on to a longer day.
    for (const int checkpoint : checkpoints) {
        for (; round < checkpoint; ++round) {
            fullCapture(station, folder.saveDir(), round);
        }
        runEventLoopFor(500);
        const double now = bench::residentMiB();
        const QByteArray at = QByteArray::number(checkpoint);
        report(("memory.rss_mib." + at).constData(), now);
        report(("memory.growth_mib." + at).constData(), now - afterFirst);
        report(("memory.list_lines." + at).constData(), station.window->lst_Captured->count());
    }
    report("memory.captures", round);
    reportResources("memory.after");
    report("memory.messages", station.messages.shown);
    return 0;
}

}  // namespace bench
