// Saving a pair: into the save folder, or kept on this PC (the spool) while the folder cannot
// take it.
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <atomic>
#include <mutex>

#include "CameraError.h"
#include "CaptureRecord.h"
#include "DetachedWork.h"
#include "Form_ImageMaker.h"
#include "ImageNaming.h"
#include "PlatformError.h"
#include "SettingNames.h"
#include "SpoolFolder.h"
#include "SpoolForwarder.h"
#include "StillPairCommit.h"

namespace capture {

namespace {

constexpr std::chrono::milliseconds kDefaultSpoolAfter{3000};
// The spool is a local folder; only a failing disk makes it this slow.
constexpr std::chrono::milliseconds kSpoolAnswerTime{15000};

}  // namespace

void Form_ImageMaker::startSpool() {
    const auto optional = [this](const QString& name) {
        return SoftwareSettings.contains(name) ? setting(name) : QString();
    };
    const QString dir = optional(settings::kSpoolDir);
    bool isNumber = false;
    const double seconds = optional(settings::kSpoolAfterSeconds).trimmed().toDouble(&isNumber);
    spoolAfter_ = isNumber && seconds > 0 && seconds <= 3600
                      ? std::chrono::milliseconds(qRound64(seconds * 1000))
                      : kDefaultSpoolAfter;
    delete forwarder_;
    forwarder_ = new SpoolForwarder(SpoolFolder(dir.isEmpty() ? defaultSpoolDir() : dir),
                                    setting(settings::kImageSaveDir), forwardRecorder(), this);
    connect(forwarder_, &SpoolForwarder::waitingChanged, this, [this] { showStatus(statusText_); });
    // What was still waiting when the station last ended goes first.
    forwarder_->wake();
}

ForwardRecorder Form_ImageMaker::forwardRecorder() const {
    const QString recordsSetting = SoftwareSettings.contains(settings::kRecordsDir)
                                       ? setting(settings::kRecordsDir)
                                       : QString();
    return [recordsSetting, keep = keepsOriginals(), savedExt = setting(settings::kFileExtSaved),
            compressedExt = setting(settings::kFileExtCompressed)](
               const SpoolFolder& spool, const QStringList& names,
               const std::array<QString, 2>& finals) {
        const QString key = SpoolFolder::sampleKey(names[0]);
        const std::optional<records::RecordEvent> pending =
            readPendingRecord(spool.recordPathOf(key));
        const auto named = [&pending](const QString& name) {
            return std::any_of(
                pending->files.begin(), pending->files.end(),
                [&name](const records::RecordedFile& file) { return file.name == name; });
        };
        // The pictures of a pair, not its compressed copies, which the pictures' record explains.
        if (pending ? !named(names[0])
                    : !compressedExt.isEmpty() && names[0].endsWith(compressedExt)) {
            return PairCommitSteps{};
        }
        const QString saveFolder = QFileInfo(finals[0]).absolutePath();
        const std::shared_ptr<records::RecordBook> book = records::RecordBook::of(
            recordsFolderFor(saveFolder, recordsSetting), records::thisStation().host);
        const QString sample = pending ? pending->sample : SpoolFolder::sampleOfKey(key);
        PairCommitSteps steps;
        steps.beforeRenames = [=] {
            book->write(forwardedRecord(
                pending, sample, {spool.claimedPathOf(names[0]), spool.claimedPathOf(names[1])},
                finals,
                Replacing{book.get(), compressedCopiesOf(finals, savedExt, compressedExt), keep}));
        };
        steps.notLanded = [=] { recordRepairs({{sample, finals}}, saveFolder, *book); };
        return steps;
    };
}

QString Form_ImageMaker::spoolNote() const {
    const int waiting = forwarder_ != nullptr ? forwarder_->waitingCount() : 0;
    return waiting > 0 ? QStringLiteral(" (kept on this PC: %1 waiting)").arg(waiting) : QString();
}

void Form_ImageMaker::showStatus(const QString& text) {
    statusText_ = text;
    lbl_Status->setText(text + spoolNote());
}

void Form_ImageMaker::releaseSpooled(const QString& key) {
    for (const PendingCompression& compression : compressions_) {
        if (compression.spoolKey == key) {
            return;  // the other compressor of the pair still writes
        }
    }
    forwarder_->release(key);
}

Form_ImageMaker::SaveFolderCommit Form_ImageMaker::startSaveFolderCommit(const StillPair& pair,
                                                                         const QString& folder) {
    SaveFolderCommit started;
    // Asked beside the writes: a share that is no longer mounted leaves an empty local folder
    // that takes the writes without complaint.
    started.probe = platform::runDetached(
        [outOfReach = started.outOfReach, folder] { *outOfReach = unreachableReason(folder); });
    const std::shared_ptr<SpoolShared> spool =
        forwarder_ != nullptr ? forwarder_->shared() : nullptr;
    const QString key = SpoolFolder::sampleKey(
        imageFileName(View::Color, SampleNumber, setting(settings::kFileExtSaved)));
    const auto guard = [probe = started.probe, outOfReach = started.outOfReach,
                        abandoned = started.abandoned, setAside = started.setAside, spool,
                        key](const std::function<void()>& renames) {
        QFuture<void>(probe).waitForFinished();
        if (*outOfReach) {
            abandoned->store(true);  // nothing goes under the final names of an empty folder
        }
        if (spool == nullptr) {
            renames();
            return;
        }
        const std::lock_guard saving(spool->saveFolder);
        renames();
        // A copy of the sample still waiting in the spool is older than this pair. A capture
        // that gave up on this commit has spooled a newer one, which must stay.
        const std::lock_guard spooling(spool->spoolFolder);
        if (!abandoned->load()) {
            setAside->store(!spool->spool.setAside(key).isEmpty());
        }
    };
    // The record is written after the journal and before the renames: a pair under its final
    // names always has it, and a records folder that cannot be written fails the pair like a
    // picture that cannot be written. The earlier pair is kept there too, before it is replaced.
    const std::shared_ptr<records::RecordBook> book = recordBookFor(folder);
    PairCommitSteps steps;
    steps.beforeRenames =
        [book, stills = pair.stills, pictures = pair.pictures, paths = pair.paths, folder,
         replacing =
             Replacing{book.get(),
                       compressedCopiesOf(pair.paths.finals, setting(settings::kFileExtSaved),
                                          setting(settings::kFileExtCompressed)),
                       keepsOriginals()}] {
            book->write(pairRecord(stills, pictures, paths, folder, replacing));
        };
    steps.notLanded = [book, sample = pair.pictures[0].sample, finals = pair.paths.finals, folder] {
        recordRepairs({{sample, finals}}, folder, *book);
    };
    // The commit waits for the writes itself and removes the temporaries when it is abandoned.
    started.commit = commitStillPairOnceWritten(pair.writes, pair.paths, started.abandoned, guard,
                                                std::move(steps));
    return started;
}

bool Form_ImageMaker::keepsOriginals() const {
    if (!SoftwareSettings.contains(settings::kKeepReplacedPictures)) {
        return true;
    }
    const QString value = setting(settings::kKeepReplacedPictures).trimmed().toLower();
    return !QStringList{QStringLiteral("no"), QStringLiteral("0"), QStringLiteral("false"),
                        QStringLiteral("off")}
                .contains(value);
}

std::shared_ptr<records::RecordBook> Form_ImageMaker::recordBookFor(const QString& saveFolder) {
    const QString setting = SoftwareSettings.contains(settings::kRecordsDir)
                                ? this->setting(settings::kRecordsDir)
                                : QString();
    return records::RecordBook::of(recordsFolderFor(saveFolder, setting),
                                   records::thisStation().host);
}

Form_ImageMaker::PairEnd Form_ImageMaker::finishStillPair(const StillPair& pair) {
    const QString folder = QFileInfo(pair.paths.finals[0]).absolutePath();
    const SaveFolderCommit started = startSaveFolderCommit(pair, folder);
    WaitEnd end = awaitFileWork({pair.writes[0], pair.writes[1], started.probe}, spoolAfter_);
    if (end == WaitEnd::Done && *started.outOfReach) {
        started.abandoned->store(true);
        return {PairEnd::Unreachable, **started.outOfReach, false};
    }
    if (end == WaitEnd::Done) {
        for (const QFuture<void>& write : pair.writes) {
            if (std::optional<QString> problem = errorOfWork(write)) {
                // The commit removes the journal and the temporaries; the operator is told once
                // the folder holds nothing of this attempt.
                awaitFileWork({started.commit}, spoolAfter_);
                return failureIn(folder, *problem);
            }
        }
        end = awaitFileWork({started.commit}, spoolAfter_);
    }
    if (end != WaitEnd::Done) {
        // Too late for this capture: the renames that have not begun are not made, and the
        // temporaries go once their writes end.
        started.abandoned->store(true);
        if (end == WaitEnd::Closing) {
            return {PairEnd::Closing, {}, false};
        }
        return {PairEnd::Unreachable,
                QStringLiteral("The save folder %1 has not answered within %2 s.")
                    .arg(folder)
                    .arg(std::chrono::duration<double>(spoolAfter_).count()),
                false};
    }
    if (std::optional<QString> problem = errorOfWork(started.commit)) {
        return failureIn(folder, *problem);
    }
    return {PairEnd::Saved, {}, started.setAside->load()};
}

Form_ImageMaker::PairEnd Form_ImageMaker::failureIn(const QString& folder, const QString& problem) {
    const auto outOfReach = std::make_shared<std::optional<QString>>();
    const QFuture<void> probe =
        platform::runDetached([outOfReach, folder] { *outOfReach = unreachableReason(folder); });
    const WaitEnd end = awaitFileWork({probe}, spoolAfter_);
    if (end == WaitEnd::Closing) {
        return {PairEnd::Closing, {}, false};
    }
    if (end == WaitEnd::TimedOut || *outOfReach) {
        return {PairEnd::Unreachable, problem, false};
    }
    return {PairEnd::Failed, problem, false};
}

Form_ImageMaker::SpoolEnd Form_ImageMaker::spoolStillPair(const std::array<QString, 2>& names,
                                                          const CameraOrder& cameras) {
    const std::shared_ptr<SpoolShared> shared = forwarder_->shared();
    const SpoolFolder& spool = shared->spool;
    StillPair pair = stillPairAt({spool.pathOf(names[0]), spool.pathOf(names[1])});
    const QString key = SpoolFolder::sampleKey(names[0]);
    SpoolEnd end;
    try {
        spool.create();
        // Held from the start: the forwarder must not take the pair before its compressors ran.
        forwarder_->hold(key);
        if (const std::optional<StillFailure> failed = takeStills(pair, cameras)) {
            end.problem = failed->reason;
        }
    } catch (const std::exception& error) {
        end.problem = platform::reasonOf(error);
    }
    // As on the direct way: the pair is not kept while the view shows no picture.
    end.viewLost = reselectView(cameras.first);
    if (!end.problem && !end.viewLost) {
        const WaitEnd waited = awaitFileWork({pair.writes[0], pair.writes[1]}, kSpoolAnswerTime);
        if (waited != WaitEnd::Done) {
            end.problem = QStringLiteral("the folder %1 has not answered").arg(spool.dir());
        }
        for (const QFuture<void>& write : pair.writes) {
            end.problem = end.problem ? end.problem : errorOfWork(write);
        }
    }
    if (end.problem || end.viewLost) {
        discardStillPair(pair);
        forwarder_->release(key);
        return end;
    }
    end.problem = commitSpooledPair(pair, key);
    if (!end.problem) {
        rememberSavedPictures(pair, cameras);  // its copies say which pictures they were made of
    }
    return end;
}

std::optional<QString> Form_ImageMaker::commitSpooledPair(const StillPair& pair,
                                                          const QString& key) {
    const std::shared_ptr<SpoolShared> shared = forwarder_->shared();
    // The capture's record waits with the pair, so that it arrives with it.
    PairCommitSteps steps;
    steps.beforeRenames = [stills = pair.stills, pictures = pair.pictures, paths = pair.paths,
                           path = shared->spool.recordPathOf(key), dir = shared->spool.dir()] {
        // Only its pictures travel: what it replaces is decided where it arrives.
        writePendingRecord(path, pairRecord(stills, pictures, paths, dir,
                                            Replacing{nullptr, {}, /*keepOriginals=*/false}));
    };
    const QFuture<void> commit =
        platform::runDetached([paths = pair.paths, shared, steps = std::move(steps)] {
            const std::lock_guard spooling(shared->spoolFolder);
            const std::atomic<bool> notAbandoned{false};
            commitStillPair(paths, notAbandoned, {}, steps);
        });
    if (awaitFileWork({commit}, kSpoolAnswerTime) != WaitEnd::Done) {
        return QStringLiteral("the folder %1 has not answered").arg(shared->spool.dir());
    }
    std::optional<QString> problem = errorOfWork(commit);
    if (problem) {
        forwarder_->release(key);
    }
    forwarder_->recount();
    return problem;
}

}  // namespace capture
