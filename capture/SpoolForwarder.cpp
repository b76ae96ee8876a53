#include "SpoolForwarder.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>

#include "DetachedWork.h"
#include "PlatformError.h"
#include "StillPairCommit.h"

namespace capture {

namespace {

struct AttemptResult {
    int waiting = 0;
    bool failed = false;
    bool unfinished = false;  // more could go now, but this attempt has done its share
};

[[noreturn]] void throwFileError(const QString& what, const QString& path, int error) {
    throw platform::FileAccessError(
        QStringLiteral("cannot %1 %2: %3")
            .arg(what, path, QString::fromLocal8Bit(std::strerror(error))));
}

void syncFolder(const QString& folder) {
    const int descriptor =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor >= 0) {
        ::fsync(descriptor);
        ::close(descriptor);
    }
}

// Copies the bytes to a new file and syncs it; a failed copy leaves no target behind.
void copySynced(const QString& from, const QString& to) {
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    const int in = ::open(source.constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        throwFileError(QStringLiteral("read"), from, errno);
    }
    const int out = ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        throwFileError(QStringLiteral("create"), to, error);
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
        throwFileError(QStringLiteral("write"), to, error);
    }
}

// Files of one sample and one extension: a pair, or a single file when the other is gone.
void forwardFiles(SpoolShared& shared, const QStringList& names) {
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
        return;
    }
    if (names.size() == 2) {
        const std::atomic<bool> notAbandoned{false};
        commitStillPair({{temporaries[0], temporaries[1]},
                         {shared.saveDir + names[0], shared.saveDir + names[1]}},
                        notAbandoned);
    } else {
        const QString final = shared.saveDir + names[0];
        if (::rename(QFile::encodeName(temporaries[0]).constData(),
                     QFile::encodeName(final).constData()) != 0) {
            const int error = errno;
            removeTemporaries();
            throwFileError(QStringLiteral("rename into"), final, error);
        }
        syncFolder(shared.saveDir);
    }
    for (const QString& name : names) {
        QFile::remove(shared.spool.claimedPathOf(name));
    }
}

AttemptResult forwardWaiting(SpoolShared& shared) {
    // Bounded, so that a spool file that cannot be removed cannot keep an attempt going for ever.
    for (int round = 0; round < 64; ++round) {
        const std::vector<SpoolFolder::Waiting> waiting = shared.spool.waiting();
        const auto next = std::find_if(
            waiting.begin(), waiting.end(),
            [&shared](const SpoolFolder::Waiting& sample) { return !shared.isHeld(sample.key); });
        if (next == waiting.end()) {
            return {static_cast<int>(waiting.size()), false, false};
        }
        try {
            forwardSample(shared, *next);
        } catch (const std::exception&) {
            return {static_cast<int>(shared.spool.waiting().size()), true, false};
        }
    }
    return {static_cast<int>(shared.spool.waiting().size()), false, true};
}

}  // namespace

bool SpoolShared::isHeld(const QString& key) {
    const std::lock_guard lock(heldMutex);
    return held.contains(key);
}

void forwardSample(SpoolShared& shared, const SpoolFolder::Waiting& sample) {
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
    for (const auto& group : groups) {
        forwardFiles(shared, group.second);
    }
}

SpoolForwarder::SpoolForwarder(SpoolFolder spool, QString saveDir, QObject* parent)
    : QObject(parent),
      shared_(std::make_shared<SpoolShared>(std::move(spool), std::move(saveDir))) {
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
    if (!inFlight_) {
        retry_.stop();
        attempt();
    }
}

void SpoolForwarder::recount() {
    const int waiting = static_cast<int>(shared_->spool.waiting().size());
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
    // Before the first attempt, a pair a crash cut short while it was kept here is finished or
    // undone, so that only whole pairs are forwarded.
    const std::optional<QDateTime> recoverFrom =
        recovered_ ? std::nullopt : std::optional(startedAt_);
    recovered_ = true;
    platform::runDetachedThen(
        this,
        [shared = shared_, recoverFrom]() -> std::optional<AttemptResult> {
            try {
                if (recoverFrom && QFileInfo(shared->spool.dir()).isDir()) {
                    recoverStillPairs(shared->spool.dir(), *recoverFrom);
                }
                return forwardWaiting(*shared);
            } catch (const std::exception&) {
                return std::nullopt;  // tried again after the next pause
            }
        },
        [this](const std::optional<AttemptResult>& attempt) {
            inFlight_ = false;
            const AttemptResult result = attempt.value_or(AttemptResult{waiting_, true});
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
        });
}

}  // namespace capture
