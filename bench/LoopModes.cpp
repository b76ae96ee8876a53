// Modes of the running program: start-up, the idle live view and the scan-to-ready loop.
#include <dlfcn.h>
#include <QFile>
#include <QLineEdit>
#include <optional>
#include <vector>

#include "StationHarness.h"
#include "StationModes.h"

namespace bench {

namespace {

// Ends the process the moment the scan dialog is shown: the runner times exec to exit.
class ExitOnScanDialog final : public QObject {
public:
    ExitOnScanDialog(Clock::time_point entered, bench::StationFolder& folder)
        : entered_(entered), folder_(folder) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && qobject_cast<workorder::Frm_Wo*>(watched) != nullptr) {
            report("startup.in_process_ms", millisecondsBetween(entered_, Clock::now()));
            folder_.removeIfOwned();
            std::_Exit(0);
        }
        return false;
    }

private:
    Clock::time_point entered_;
    bench::StationFolder& folder_;
};

// Counts the paint events a widget receives while `counting` holds.
class PaintCounter final : public QObject {
public:
    bool eventFilter(QObject* /*watched*/, QEvent* event) override {
        if (counting && event->type() == QEvent::Paint) {
            ++paints;
        }
        return false;
    }

    bool counting = false;
    int paints = 0;
};

// The real queued Alt+G, with a note of when the window asked for it.
class NotingKeySender final : public platform::KeySender {
public:
    void sendAltG() override {
        if (onSend) {
            onSend();
        }
        real_.sendAltG();
    }
    std::function<void()> onSend;

private:
    platform::QueuedKeySender real_;
};

// Drives the loop OK -> "Take Picture" -> Yes -> capture -> queued Alt+G -> scan dialog, timing
// OK to the question and Yes to the dialog being shown again, split at the Alt+G request.
class ScanToReady final : public QObject {
public:
    ScanToReady(Station& station, NotingKeySender& keys, QString saveDir, int rounds)
        : station_(station), saveDir_(std::move(saveDir)), rounds_(rounds) {
        station_.messages.onAsk = [this] { questionAsked(); };
        keys.onSend = [this] { keySent_ = Clock::now(); };
        station_.window->frmWo().installEventFilter(this);
    }

    void begin() { station_.keys().sendAltG(); }
    bool finished() const { return finished_; }
    const std::vector<double>& okToQuestion() const { return okToQuestion_; }
    const std::vector<double>& yesToDialog() const { return yesToDialog_; }
    const std::vector<double>& yesToKey() const { return yesToKey_; }
    const std::vector<double>& keyToDialog() const { return keyToDialog_; }

    bool eventFilter(QObject* /*watched*/, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            dialogShown(Clock::now());
        } else if (event->type() == QEvent::Hide) {
            // The offscreen platform has no window manager to hand the activation back to the
            // main window when the dialog goes; without it the queued Alt+G reaches the hidden
            // dialog.
            station_.window->activateWindow();
        }
        return false;
    }

private:
    void dialogShown(Clock::time_point shownAt) {
        if (yesAt_) {
            yesToDialog_.push_back(millisecondsBetween(*yesAt_, shownAt));
            yesToKey_.push_back(millisecondsBetween(*yesAt_, keySent_));
            keyToDialog_.push_back(millisecondsBetween(keySent_, shownAt));
            yesAt_.reset();
            takeAwayPictures(saveDir_, sampleNumber(round_ - 1));
        }
        // The actions run inside the dialog's own modal loop, as an operator's would.
        if (round_ < rounds_) {
            QTimer::singleShot(0, this, [this] { pressOk(); });
        } else {
            QTimer::singleShot(0, this, [this] { endLoop(); });
        }
    }

    void pressOk() {
        workorder::Frm_Wo& dialog = station_.window->frmWo();
        dialog.txt_Sample->setText(sampleNumber(round_));
        okAt_ = Clock::now();
        dialog.cmd_Ok->click();
    }

    void questionAsked() {
        const auto askedAt = Clock::now();
        okToQuestion_.push_back(millisecondsBetween(okAt_, askedAt));
        ++round_;
        yesAt_ = Clock::now();
    }

    void endLoop() {
        station_.window->frmWo().cmd_Cancel->click();
        finished_ = true;
    }

    Station& station_;
    QString saveDir_;
    int rounds_;
    int round_ = 0;
    bool finished_ = false;
    Clock::time_point okAt_;
    Clock::time_point keySent_;
    std::optional<Clock::time_point> yesAt_;
    std::vector<double> okToQuestion_;
    std::vector<double> yesToDialog_;
    std::vector<double> yesToKey_;
    std::vector<double> keyToDialog_;
};

}  // namespace

// startup: from process start to the scan dialog being shown.
void runStartup(Clock::time_point entered, bench::StationFolder& folder) {
    ExitOnScanDialog exiter(entered, folder);
    qApp->installEventFilter(&exiter);
    Station station(std::make_unique<platform::QueuedKeySender>());
    station.window->Form_Load();
    fail(QStringLiteral("start-up ended without showing the scan dialog"));
}

// idle SECONDS: CPU of the shown window with both cameras running and nothing to do, and how
// often the live view was painted meanwhile.
int runIdle(int seconds) {
    Station station(std::make_unique<platform::QueuedKeySender>());
    station.startCancelling();
    station.showActive();
    PaintCounter liveView;
    station.window->VideoPortal1->installEventFilter(&liveView);
    liveView.counting = true;
    const double before = bench::cpuSeconds();
    runEventLoopFor(seconds * 1000);
    const double total = bench::cpuSeconds();
    liveView.counting = false;
    report("idle.seconds", seconds);
    report("idle.cpu_s", total);
    report("idle.cpu_while_idle_s", total - before);
    report("idle.live_view_paints", liveView.paints);
    report("idle.painted_fps", static_cast<double>(liveView.paints) / seconds);
    return 0;
}

// scan-to-ready ROUNDS: the operator loop, OK to question and Yes to the dialog again.
int runScanToReady(const bench::StationFolder& folder, int rounds) {
    auto keys = std::make_unique<NotingKeySender>();
    NotingKeySender& notingKeys = *keys;
    Station station(std::move(keys));
    // BENCH_STALL_SAVE_FOLDER=1 with the stall_open helper preloaded: the save folder stops
    // answering, so that every capture is kept on this PC.
    if (qEnvironmentVariableIsSet("BENCH_STALL_SAVE_FOLDER")) {
        const auto stallOpens =
            reinterpret_cast<void (*)(const char*, int)>(dlsym(RTLD_DEFAULT, "stall_open_below"));
        if (stallOpens == nullptr) {
            fail(QStringLiteral("BENCH_STALL_SAVE_FOLDER needs the stall_open helper preloaded"));
        }
        stallOpens(QFile::encodeName(folder.saveDir()).constData(), 3600);
    }
    station.startCancelling();
    station.showActive();
    ScanToReady loop(station, notingKeys, folder.saveDir(), rounds);
    loop.begin();
    waitUntil([&loop] { return loop.finished(); }, 30000 + rounds * 5000, "the scan loop");
    if (station.window->CapturedCount != rounds || station.messages.shown > 0) {
        fail(QStringLiteral("%1 of %2 rounds captured")
                 .arg(station.window->CapturedCount)
                 .arg(rounds));
    }
    bench::reportTimes("scan.ok_to_question", loop.okToQuestion());
    bench::reportTimes("scan.yes_to_dialog", loop.yesToDialog());
    bench::reportTimes("scan.yes_to_key_request", loop.yesToKey());
    bench::reportTimes("scan.key_request_to_dialog", loop.keyToDialog());
    return 0;
}

}  // namespace bench
