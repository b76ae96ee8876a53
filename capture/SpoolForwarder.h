#pragma once

#include <QDateTime>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>

#include "SpoolFolder.h"
#include "StillPairCommit.h"

namespace capture {

struct AttemptResult;

// How a group of files about to be forwarded under FINALS is recorded: the steps of its commit,
// none for files that are not a pair's pictures.
using ForwardRecorder = std::function<PairCommitSteps(
    const SpoolFolder& spool, const QStringList& names, const std::array<QString, 2>& finals)>;

// What the forwarding threads share with the window; it outlives both, since an attempt on a dead
// share may hang in the kernel long after the window has gone.
struct SpoolShared {
    SpoolShared(SpoolFolder folder, QString saveFolder, ForwardRecorder forwardRecorder = {})
        : spool(std::move(folder)),
          saveDir(std::move(saveFolder)),
          recorder(std::move(forwardRecorder)) {}

    const SpoolFolder spool;
    const QString saveDir;
    const ForwardRecorder recorder;
    // Held while a pair goes under its final names in the save folder, by the forwarder and by a
    // direct capture alike, so that a newer direct pair and an older spooled one of the same sample
    // are never renamed in the wrong order.
    std::mutex saveFolder;
    // Held while files are renamed inside the spool (local and quick): a pair spooled, claimed
    // for forwarding, set aside or deleted, so that no two of these meet halfway.
    std::mutex spoolFolder;

    // This station's hold on its spool folder's forwarding, taken by the first attempt (on the
    // forwarding thread, one attempt at a time).
    ForwardingLock ownLock;

    bool isHeld(const QString& key);
    std::mutex heldMutex;
    QSet<QString> held;  // samples whose compressors still write into the spool
};

// Moves what waits in the spool into the save folders, oldest first, off the window's thread: the
// pairs of this station's save folder, and those kept for any other (another station set-up of
// this account, or the setting before it changed), each into its own. One attempt at a time: a
// share that stopped answering can hold an attempt in the kernel for as long as it is down, and
// piling further attempts onto it would only add stuck threads.
class SpoolForwarder : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kFirstRetry{1000};
    static constexpr std::chrono::milliseconds kLongestRetry{30000};

    // ROOT: the spool, which holds one folder per save folder; SAVE_DIR: this station's.
    // RECORDER records the pairs as they reach their save folders.
    SpoolForwarder(const SpoolFolder& root, const QString& saveDir, ForwardRecorder recorder = {},
                   QObject* parent = nullptr);

    // Where this station's save folder's pairs wait.
    const SpoolFolder& spool() const { return shared_->spool; }
    const std::shared_ptr<SpoolShared>& shared() const { return shared_; }

    // A sample whose compressed copies are still being written into the spool is not forwarded
    // until it is released.
    void hold(const QString& key);
    void release(const QString& key);
    // Tries at once, or right after the attempt under way.
    void wake();

    // The samples waiting for any save folder.
    int waitingCount() const { return waiting_; }
    // Counts the spool again (it is local), after the window has spooled a pair.
    void recount();

    // The pause after a failed attempt: doubling from the first retry up to the longest.
    static std::chrono::milliseconds nextRetry(std::chrono::milliseconds previous);

signals:
    void waitingChanged(int count);

private:
    void attempt();
    // Diagnoses each destination's failure once per change of its reason.
    void noteReasons(const AttemptResult& result);

    std::shared_ptr<SpoolShared> shared_;
    const QString root_;
    const QDateTime startedAt_ = QDateTime::currentDateTime();
    bool recovered_ = false;
    QTimer retry_;
    bool inFlight_ = false;
    bool pending_ = false;                // woken while an attempt was under way
    std::map<QString, QString> reasons_;  // each destination's last failure
    std::chrono::milliseconds pause_{0};
    int waiting_ = 0;
};

// One sample's waiting files into the save folder: each pair of the same extension all or nothing,
// then the spool copies removed. False when a newer direct capture set them all aside meanwhile.
// Throws platform::FileAccessError when the save folder refuses.
bool forwardSample(SpoolShared& shared, const SpoolFolder::Waiting& sample);

}  // namespace capture
