#include "SpoolForwarder.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>

#include "DetachedWork.h"
#include "Diagnostics.h"
#include "FileOps.h"
#include "PlatformError.h"
#include "StillPairCommit.h"

namespace capture {

// How forwarding into one destination ended; an empty reason when nothing failed.
struct DestinationEnd {
    QString destination;
    QString sample;
    QString reason;
};

struct AttemptResult {
    int waiting = 0;
    bool failed = false;
    bool unfinished = false;  // more could go now, but this attempt has done its share
    std::vector<DestinationEnd> ends;
};

namespace {

// Copies the bytes to a new file and syncs it; a failed copy leaves no target behind.
void copySynced(const QString& from, const QString& to) {
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    const int in = ::open(source.constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        throwFileError(QStringLiteral("cannot read %1").arg(from), errno);
    }
    const int out = ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        throwFileError(QStringLiteral("cannot create %1").arg(to), error);
    }
    std::array<char, 1 << 16> buffer{};
    int error = 0;
    for (;;) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got <= 0) {
            error = got < 0 ? errno : 0;
            break;
        }
        for (ssize_t done = 0; done < got && error == 0;) {
            const ssize_t put = ::write(out, buffer.data() + done, static_cast<size_t>(got - done));
            if (put < 0) {
                error = errno;
            } else {
                done += put;
            }
        }
        if (error != 0) {
            break;
        }
    }
    if (error == 0 && ::fsync(out) != 0) {
        error = errno;
    }
    // A network file system may report a failed write only when the file is closed.
    if (::close(out) != 0 && error == 0) {
        error = errno;
    }
    ::close(in);
    if (error != 0) {
        ::unlink(target.constData());
        throwFileError(QStringLiteral("cannot write %1").arg(to), error);
    }
}

// Files of one sample and one extension: a pair, or a single file when the other is gone. False
// when a newer direct capture has set them aside meanwhile.
bool forwardFiles(SpoolShared& shared, const QStringList& names) {
    std::vector<QString> temporaries;
    const auto removeTemporaries = [&temporaries] {
        for (const QString& path : temporaries) {
            QFile::remove(path);
        }
    };
    try {
        for (const QString& name : names) {
            temporaries.push_back(temporaryPathFor(shared.saveDir + name));
            copySynced(shared.spool.claimedPathOf(name), temporaries.back());
        }
    } catch (...) {
        removeTemporaries();
        throw;
    }
    const std::lock_guard lock(shared.saveFolder);
    // A direct capture of the sample since then is newer and has set these copies aside.
    const bool stillWaiting = std::all_of(names.begin(), names.end(), [&shared](const QString& n) {
        return QFileInfo::exists(shared.spool.claimedPathOf(n));
    });
    if (!stillWaiting) {
        removeTemporaries();
        return false;
    }
    if (names.size() == 2) {
        const std::atomic<bool> notAbandoned{false};
        const std::array<QString, 2> finals{shared.saveDir + names[0], shared.saveDir + names[1]};
        const PairCommitSteps steps =
            shared.recorder ? shared.recorder(shared.spool, names, finals) : PairCommitSteps{};
        commitStillPair({{temporaries[0], temporaries[1]}, finals}, notAbandoned, {}, steps);
        if (steps.beforeRenames) {
            // Its record is in the save folder's now.
            QFile::remove(shared.spool.recordPathOf(SpoolFolder::sampleKey(names[0])));
        }
    } else {
        const QString final = shared.saveDir + names[0];
        if (::rename(QFile::encodeName(temporaries[0]).constData(),
                     QFile::encodeName(final).constData()) != 0) {
            const int error = errno;
            removeTemporaries();
            throwFileError(QStringLiteral("cannot rename into %1").arg(final), error);
        }
        syncFolder(QFile::encodeName(QFileInfo(final).absolutePath()));
    }
    // Only now: a refused or interrupted commit leaves the pair waiting here.
    for (const QString& name : names) {
        QFile::remove(shared.spool.claimedPathOf(name));
    }
    return true;
}

// Every destination's samples: the operator's count goes down only as their pairs leave this PC,
// also after the save folder setting changed.
int countWaiting(const QString& root, const SpoolFolder& own) {
    std::size_t count = 0;
    bool ownCounted = false;
    for (const SpoolFolder& folder : SpoolFolder::destinationsIn(root)) {
        ownCounted = ownCounted || folder.dir() == own.dir();
        count += folder.waiting().size();
    }
    if (!ownCounted) {
        count += own.waiting().size();
    }
    return static_cast<int>(count);
}

// What waits for one destination, oldest first; a failure ends this destination's share of the
// attempt only.
void forwardWaiting(SpoolShared& shared, AttemptResult& result) {
    DestinationEnd end{shared.saveDir, {}, {}};
    // Bounded, so that a spool file that cannot be removed cannot keep an attempt going for ever.
    int round = 0;
    for (; round < 64; ++round) {
        const std::vector<SpoolFolder::Waiting> waiting = shared.spool.waiting();
        const auto next = std::find_if(
            waiting.begin(), waiting.end(),
            [&shared](const SpoolFolder::Waiting& sample) { return !shared.isHeld(sample.key); });
        if (next == waiting.end()) {
            break;
        }
        try {
            if (forwardSample(shared, *next)) {
                platform::diagnose(
                    platform::lcSpool(), QtInfoMsg,
                    QStringLiteral("a pair kept on this PC was forwarded"),
                    {{"SAMPLE", SpoolFolder::sampleOfKey(next->key)}, {"FOLDER", shared.saveDir}});
            }
        } catch (const std::exception& error) {
            end.sample = SpoolFolder::sampleOfKey(next->key);
            end.reason = QString::fromUtf8(error.what());
            result.failed = true;
            break;
        }
    }
    result.unfinished = result.unfinished || round == 64;
    result.ends.push_back(end);
}

// Before the first attempt: a pair a crash cut short while it was kept here is finished or undone,
// so that only whole pairs are forwarded.
void recoverIn(const SpoolFolder& folder, const std::optional<QDateTime>& recoverFrom) {
    if (recoverFrom && QFileInfo(folder.dir()).isDir()) {
        recoverStillPairs(folder.dir(), *recoverFrom);
    }
}

// The station's own destination first, then every other one whose pairs wait here, each into its
// own save folder: one that is out of reach holds up none of the others.
AttemptResult forwardAll(SpoolShared& shared, const QString& root,
                         const std::optional<QDateTime>& recoverFrom) {
    AttemptResult result;
    try {
        recoverIn(SpoolFolder(root), recoverFrom);
        if (recoverFrom) {
            // Kept before there were destination folders: this station's, as then.
            const std::lock_guard lock(shared.spoolFolder);
            shared.spool.adoptFlatSpool(root);
        }
        recoverIn(shared.spool, recoverFrom);
        if (!shared.ownLock.held()) {
            shared.spool.create();
            shared.ownLock = shared.spool.lockForwarding(false);
        }
        forwardWaiting(shared, result);
    } catch (const std::exception& error) {
        result.failed = true;
        result.ends.push_back({shared.saveDir, {}, QString::fromUtf8(error.what())});
    }
    for (const SpoolFolder& other : SpoolFolder::destinationsIn(root)) {
        if (other.dir() == shared.spool.dir()) {
            continue;
        }
        // Left to the station that runs with this save folder.
        const ForwardingLock lock = other.lockForwarding(true);
        if (!lock.held()) {
            continue;
        }
        recoverIn(other, recoverFrom);
        SpoolShared theirs(other, other.destination(), shared.recorder);
        forwardWaiting(theirs, result);
    }
    result.waiting = countWaiting(root, shared.spool);
    return result;
}

}  // namespace

bool SpoolShared::isHeld(const QString& key) {
    const std::lock_guard lock(heldMutex);
    return held.contains(key);
}

bool forwardSample(SpoolShared& shared, const SpoolFolder::Waiting& sample) {
    const SpoolFolder& spool = shared.spool;
    // Claimed copies are older than plain ones of the same sample, so they go first; the plain
    // ones follow in a later round.
    QStringList claimed;
    for (const QString& name : sample.names) {
        if (QFileInfo::exists(spool.claimedPathOf(name))) {
            claimed.append(name);
        }
    }
    if (claimed.isEmpty()) {
        const std::lock_guard lock(shared.spoolFolder);
        for (const QString& name : sample.names) {
            if (QFile::rename(spool.pathOf(name), spool.claimedPathOf(name))) {
                claimed.append(name);
            }
        }
    }
    // By extension, the pictures before their compressed copies (those were made later).
    std::map<QString, std::pair<QDateTime, QStringList>> byExtension;
    for (const QString& name : claimed) {
        auto& [oldest, names] = byExtension[QFileInfo(name).suffix()];
        const QDateTime modified = QFileInfo(spool.claimedPathOf(name)).lastModified();
        oldest = names.isEmpty() ? modified : std::min(oldest, modified);
        names.append(name);
    }
    std::vector<std::pair<QDateTime, QStringList>> groups;
    for (auto& [extension, group] : byExtension) {
        std::sort(group.second.begin(), group.second.end());  // BTM_ before CLR_, as on disk
        groups.push_back(group);
    }
    std::stable_sort(groups.begin(), groups.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    bool forwarded = false;
    for (const auto& group : groups) {
        forwarded = forwardFiles(shared, group.second) || forwarded;
    }
    return forwarded;
}

SpoolForwarder::SpoolForwarder(const SpoolFolder& root, const QString& saveDir,
                               ForwardRecorder recorder, QObject* parent)
    : QObject(parent),
      shared_(std::make_shared<SpoolShared>(SpoolFolder::forDestination(root.dir(), saveDir),
                                            absoluteSaveDir(saveDir), std::move(recorder))),
      root_(root.dir()) {
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, &SpoolForwarder::attempt);
}

void SpoolForwarder::hold(const QString& key) {
    const std::lock_guard lock(shared_->heldMutex);
    shared_->held.insert(key);
}

void SpoolForwarder::release(const QString& key) {
    {
        const std::lock_guard lock(shared_->heldMutex);
        shared_->held.remove(key);
    }
    wake();
}

void SpoolForwarder::wake() {
    if (inFlight_) {
        // The attempt may have passed over what woke us (a sample released meanwhile).
        pending_ = true;
        return;
    }
    retry_.stop();
    attempt();
}

void SpoolForwarder::recount() {
    const int waiting = countWaiting(root_, shared_->spool);
    if (waiting != waiting_) {
        waiting_ = waiting;
        emit waitingChanged(waiting_);
    }
}

std::chrono::milliseconds SpoolForwarder::nextRetry(std::chrono::milliseconds previous) {
    return previous < kFirstRetry ? kFirstRetry : std::min(previous * 2, kLongestRetry);
}

void SpoolForwarder::attempt() {
    if (inFlight_) {
        return;
    }
    inFlight_ = true;
    pending_ = false;
    const std::optional<QDateTime> recoverFrom =
        recovered_ ? std::nullopt : std::optional(startedAt_);
    recovered_ = true;
    platform::runDetachedThen(
        this,
        [shared = shared_, root = root_, recoverFrom] {
            return forwardAll(*shared, root, recoverFrom);
        },
        [this](const AttemptResult& result) {
            inFlight_ = false;
            noteReasons(result);
            if (result.waiting != waiting_) {
                waiting_ = result.waiting;
                emit waitingChanged(waiting_);
            }
            if (result.failed) {
                pause_ = nextRetry(pause_);
                retry_.start(pause_);
            } else {
                pause_ = std::chrono::milliseconds{0};
                if (result.unfinished) {
                    retry_.start(kFirstRetry);
                }
            }
            if (pending_) {
                wake();
            }
        });
}

void SpoolForwarder::noteReasons(const AttemptResult& result) {
    // A temporary's name is new on every retry; the same failure is told once.
    static const QRegularExpression mark(QStringLiteral(R"(/\.[0-9a-f]{8}-)"));
    for (const DestinationEnd& end : result.ends) {
        const QString reason = QString(end.reason).replace(mark, QStringLiteral("/."));
        QString& last = reasons_[end.destination];
        if (reason != last && !reason.isEmpty()) {
            platform::diagnose(
                platform::lcSpool(), QtWarningMsg,
                QStringLiteral("pairs kept on this PC could not be forwarded"),
                {{"SAMPLE", end.sample}, {"FOLDER", end.destination}, {"REASON", end.reason}});
        }
        last = reason;
    }
}

}  // namespace capture
