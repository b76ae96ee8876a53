#pragma once

#include <QDateTime>
#include <QFuture>
#include <QString>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace capture {

// The two stills of one capture: where they were written, and the names they take together.
struct StillPairPaths {
    std::array<QString, 2> temporaries;
    std::array<QString, 2> finals;
};

// Beside the final name and ending like it, since the ending decides the picture format; hidden,
// so that nothing looking for the final names sees it, and new for every call, so that a late
// write of an abandoned capture cannot meet the next capture's file.
QString temporaryPathFor(const QString& finalPath);

// What a test may change about a commit: whether the folder takes hard links (without them the
// earlier first picture is renamed aside instead), and a call between the two renames.
struct StillPairCommitProbe {
    bool hardLinks = true;
    std::function<void()> betweenRenames;
};

// What a commit does beside its renames. BEFORE_RENAMES runs once the journal is synced and both
// writes have ended well, right before the renames (inside the guard): a record of the pair
// written there stands whenever the pair lands. When it throws, nothing is renamed and the
// temporaries go. NOT_LANDED runs when the renames fail or the pair is abandoned after
// BEFORE_RENAMES ran, once the earlier pair stands again: its record must be answered.
struct PairCommitSteps {
    std::function<void()> beforeRenames;
    std::function<void()> notLanded;
};

// Renames both temporaries into their final names and syncs the folder, or leaves both earlier
// pictures as they were and removes the temporaries: all or nothing. All four names lie in one
// folder (a pair kept elsewhere is first copied to temporaries beside its final names). Throws
// platform::FileAccessError with the reason. Blocks as long as the folder does, so it belongs off
// the window's thread.
void commitStillPair(const StillPairPaths& paths, const std::atomic<bool>& abandoned,
                     const StillPairCommitProbe& probe = {}, const PairCommitSteps& steps = {});

// Runs the renames it is given; a caller that must order them against other renames into the
// same folder passes one that holds its lock around them (and may abandon the pair first).
using RenameGuard = std::function<void(const std::function<void()>& renames)>;

// Off the caller's thread: once both writes have ended, commits the pair; when a write failed or
// the capture was abandoned meanwhile, removes both temporaries instead. The future carries the
// first failure.
QFuture<void> commitStillPairOnceWritten(const std::array<QFuture<void>, 2>& writes,
                                         const StillPairPaths& paths,
                                         std::shared_ptr<const std::atomic<bool>> abandoned,
                                         RenameGuard guard = {}, PairCommitSteps steps = {});

// A file written whole under a temporary name (a compressed copy) takes its final name: its data
// synced, renamed, the folder synced. Throws platform::FileAccessError with the reason and then
// removes the temporary.
void placeWholeFile(const QString& temporary, const QString& finalPath);

// At start-up, for a folder that pairs are saved in: finishes or undoes every pair whose commit a
// crash or power cut cut short, so that each sample has its earlier or its new pair, never one of
// each, and removes the temporaries (stills and compressed copies) left from before STARTED_AT.
// Blocks as long as the folder does.
// Returns the pairs whose new pictures did not land: a record written before their renames began
// must be answered by one saying so.
struct UnlandedPair {
    QString sample;
    std::array<QString, 2> finals;
};
std::vector<UnlandedPair> recoverStillPairs(const QString& folder, const QDateTime& startedAt);

}  // namespace capture
