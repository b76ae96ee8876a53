#include "StillPairCommit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <cerrno>
#include <exception>
#include <optional>

#include "DetachedWork.h"
#include "Diagnostics.h"
#include "FileOps.h"
#include "PlatformError.h"

namespace capture {

namespace {

bool exists(const QByteArray& path) {
    struct stat status {};
    return ::lstat(path.constData(), &status) == 0;
}

const QByteArray kJournalEnding = QByteArrayLiteral(".pair");
constexpr qint64 kMaxJournalBytes = qint64{64} * 1024;

[[noreturn]] void throwAbandoned() {
    throw platform::FileAccessError(QStringLiteral("the capture was abandoned"));
}

// The names one commit works with, all in one folder. While the pair is renamed, the earlier first
// picture is kept under a hidden name of its own so that it can go back, and a journal names
// everything, so that a commit cut short by a crash is finished or undone at the next start.
struct CommitNames {
    QByteArray folder;
    QByteArray earlier;
    std::array<QByteArray, 2> temporaries;
    std::array<QByteArray, 2> finals;
    QByteArray journal;

    static CommitNames of(const StillPairPaths& paths) {
        const QByteArray firstTemporary = QFile::encodeName(paths.temporaries[0]);
        return {QFile::encodeName(QFileInfo(paths.finals[0]).absolutePath()),
                QFile::encodeName(temporaryPathFor(paths.finals[0])),
                {firstTemporary, QFile::encodeName(paths.temporaries[1])},
                {QFile::encodeName(paths.finals[0]), QFile::encodeName(paths.finals[1])},
                firstTemporary + kJournalEnding};
    }

    // The file names, one a line, in the order of the members; the journal is not among them.
    QByteArray journalText() const {
        QByteArray text;
        for (const QByteArray* path :
             {&earlier, &temporaries[0], &temporaries[1], &finals[0], &finals[1]}) {
            text += path->mid(path->lastIndexOf('/') + 1) + '\n';
        }
        return text;
    }

    static std::optional<CommitNames> ofJournal(const QByteArray& folder, const QByteArray& journal,
                                                const QByteArray& text) {
        const QList<QByteArray> lines = text.split('\n');
        constexpr int kNames = 5;
        if (lines.size() != kNames + 1 || !lines.last().isEmpty()) {
            return std::nullopt;  // cut short before it was synced: no rename has begun
        }
        std::array<QByteArray, kNames> paths;
        for (int i = 0; i < kNames; ++i) {
            const QByteArray& name = lines[i];
            if (name.isEmpty() || name.contains('/') || name == "." || name == "..") {
                return std::nullopt;
            }
            paths[static_cast<std::size_t>(i)] = folder + '/' + name;
        }
        return CommitNames{folder, paths[0], {paths[1], paths[2]}, {paths[3], paths[4]}, journal};
    }
};

// The second first: a journal whose second temporary is gone means that nothing is left to undo.
void removeTemporaries(const CommitNames& names) {
    ::unlink(names.temporaries[1].constData());
    ::unlink(names.temporaries[0].constData());
}

// The renames that have not begun never will: the temporaries and the journal go.
void discard(const CommitNames& names) {
    removeTemporaries(names);
    ::unlink(names.journal.constData());
}

// Written and synced before any final name changes; nothing else of the pair is touched.
void writeJournal(const CommitNames& names) {
    writeNewFileSynced(
        names.journal, names.journalText(),
        QStringLiteral("cannot record the renames in %1").arg(QFile::decodeName(names.journal)));
}

// The earlier first picture's hidden name marks that the renames may have begun: a hard link to
// it, the picture itself renamed aside where the folder has no hard links, or an empty file when
// there is none. Like the renames after it, it needs no sync of its own: a journalling file
// system keeps changes of names in their order.
bool markBegun(const CommitNames& names, bool hardLinks) {
    if (!exists(names.finals[0])) {
        const int descriptor =
            ::open(names.earlier.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        return descriptor >= 0 && ::close(descriptor) == 0;
    }
    return (hardLinks && ::link(names.finals[0].constData(), names.earlier.constData()) == 0) ||
           ::rename(names.finals[0].constData(), names.earlier.constData()) == 0;
}

bool holdsEarlierPicture(const QByteArray& path) {
    struct stat status {};
    return ::lstat(path.constData(), &status) == 0 && status.st_size > 0;
}

// Leaves the final names as they were before the renames began and removes what the commit made.
// The second final name changes only in the last step, so only the first needs care.
void undo(const CommitNames& names, bool firstRenamed) {
    const bool earlier = holdsEarlierPicture(names.earlier);
    // Back under its temporary name first: cut short after this, the commit looks like one whose
    // first rename never happened, and the next undo treats it so.
    if (firstRenamed &&
        ::rename(names.finals[0].constData(), names.temporaries[0].constData()) != 0 && !earlier) {
        ::unlink(names.finals[0].constData());
    }
    if (earlier && (firstRenamed || !exists(names.finals[0]))) {
        ::rename(names.earlier.constData(), names.finals[0].constData());
    }
    if (!earlier || exists(names.finals[0])) {
        ::unlink(names.earlier.constData());  // the mark, or a hard link beside the picture
    }
    removeTemporaries(names);
    syncFolder(names.folder);
    ::unlink(names.journal.constData());
}

// Both renames of a pair whose journal is written and whose stills are whole.
void renamePair(const CommitNames& names, const std::atomic<bool>& abandoned,
                const StillPairCommitProbe& probe) {
    if (abandoned.load()) {
        discard(names);
        throwAbandoned();
    }
    if (!markBegun(names, probe.hardLinks)) {
        const int error = errno;
        undo(names, false);
        throwFileError(QStringLiteral("cannot keep the earlier picture %1")
                           .arg(QFile::decodeName(names.finals[0])),
                       error);
    }
    for (std::size_t i = 0; i < names.finals.size(); ++i) {
        if (i > 0) {
            if (probe.betweenRenames) {
                probe.betweenRenames();
            }
            if (abandoned.load()) {
                undo(names, true);
                throwAbandoned();
            }
        }
        if (::rename(names.temporaries[i].constData(), names.finals[i].constData()) != 0) {
            const int error = errno;
            undo(names, i > 0);
            throwFileError(QStringLiteral("cannot rename %1 to %2")
                               .arg(QFile::decodeName(names.temporaries[i]),
                                    QFile::decodeName(names.finals[i])),
                           error);
        }
    }
    syncFolder(names.folder);
    // Left behind by a crash from here on, these only make the next start tidy up.
    ::unlink(names.earlier.constData());
    ::unlink(names.journal.constData());
}

// Renames do not cross file systems, and a journal names files of its own folder only.
CommitNames namesInOneFolder(const StillPairPaths& paths) {
    const QString folder = QFileInfo(paths.finals[0]).absolutePath();
    for (const QString& path : {paths.finals[1], paths.temporaries[0], paths.temporaries[1]}) {
        if (QFileInfo(path).absolutePath() != folder) {
            throw platform::FileAccessError(
                QStringLiteral("%1 is not in the folder %2 of the pair").arg(path, folder));
        }
    }
    return CommitNames::of(paths);
}

// What a repair did, and whether the new pair stands under its final names.
struct Repair {
    QString outcome;
    bool landed = false;
    std::array<QString, 2> finals;
};

// Finishes or undoes the commit that a journal left from before the start names.
Repair repairFromJournal(const QByteArray& encodedFolder, const QFileInfo& info) {
    QFile file(info.absoluteFilePath());
    const QByteArray journal = QFile::encodeName(info.absoluteFilePath());
    const std::optional<CommitNames> names =
        file.open(QIODevice::ReadOnly)
            ? CommitNames::ofJournal(encodedFolder, journal, file.read(kMaxJournalBytes))
            : std::nullopt;
    if (!names || !exists(names->earlier)) {
        // Cut short before it was synced, or before the renames began: no final name changed.
        names ? discard(*names) : void(::unlink(journal.constData()));
        return {QStringLiteral("cut short before its renames began: the earlier pair stays"), false,
                names ? std::array{QFile::decodeName(names->finals[0]),
                                   QFile::decodeName(names->finals[1])}
                      : std::array<QString, 2>{}};
    }
    if (exists(names->temporaries[1])) {
        undo(*names, !exists(names->temporaries[0]));  // the pair was not made
        return {QStringLiteral("cut short during its renames: undone, the earlier pair stays"),
                false,
                {QFile::decodeName(names->finals[0]), QFile::decodeName(names->finals[1])}};
    }
    ::unlink(names->earlier.constData());  // both renames were made
    ::unlink(names->temporaries[0].constData());
    syncFolder(names->folder);
    ::unlink(journal.constData());
    return {QStringLiteral("cut short after its renames: finished, the new pair stays"), true, {}};
}

// "12345678" of ".1a2b3c4d-CLR_12345678_01.BMP.pair".
QString sampleOf(const QString& journalName) {
    static const QRegularExpression number(QStringLiteral(R"((?:CLR|BTM)_(.+)_01\.)"));
    return number.match(journalName).captured(1);
}

// The record of a pair goes in after the journal and before the first rename: once any final
// name changes, the record stands. A record that cannot be written stops the pair; a pair whose
// renames were undone after its record went in gets one more that says so.
void recordThenRename(const CommitNames& names, const std::atomic<bool>& abandoned,
                      const PairCommitSteps& steps, const StillPairCommitProbe& probe = {}) {
    const bool recorded = steps.beforeRenames && !abandoned.load();
    if (recorded) {
        try {
            steps.beforeRenames();
        } catch (...) {
            discard(names);
            throw;
        }
    }
    try {
        renamePair(names, abandoned, probe);
    } catch (...) {
        if (recorded && steps.notLanded) {
            steps.notLanded();
        }
        throw;
    }
}

}  // namespace

QString temporaryPathFor(const QString& finalPath) {
    const QFileInfo info(finalPath);
    return QStringLiteral("%1/.%2-%3")
        .arg(info.path())
        .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'))
        .arg(info.fileName());
}

void commitStillPair(const StillPairPaths& paths, const std::atomic<bool>& abandoned,
                     const StillPairCommitProbe& probe, const PairCommitSteps& steps) {
    const CommitNames names = namesInOneFolder(paths);
    if (!abandoned.load()) {
        try {
            writeJournal(names);
        } catch (...) {
            discard(names);
            throw;
        }
    }
    recordThenRename(names, abandoned, steps, probe);
}

void placeWholeFile(const QString& temporary, const QString& finalPath) {
    const QByteArray from = QFile::encodeName(temporary);
    const QByteArray to = QFile::encodeName(finalPath);
    const int descriptor = ::open(from.constData(), O_RDONLY | O_CLOEXEC);
    const bool placed = descriptor >= 0 && ::fsync(descriptor) == 0 &&
                        ::rename(from.constData(), to.constData()) == 0;
    const int error = errno;
    if (descriptor >= 0) {
        ::close(descriptor);
    }
    if (!placed) {
        ::unlink(from.constData());
        throwFileError(QStringLiteral("cannot move %1 to %2")
                           .arg(QFile::decodeName(from), QFile::decodeName(to)),
                       error);
    }
    syncFolder(QFile::encodeName(QFileInfo(finalPath).absolutePath()));
}

std::vector<UnlandedPair> recoverStillPairs(const QString& folder, const QDateTime& startedAt) {
    // Ours: hidden, a random mark, a picture's name (a save folder setting may prefix it), and
    // after it perhaps a journal's or a file writer's own ending.
    static const QRegularExpression ours(
        QStringLiteral(R"(^\.[0-9a-f]{8}-.*(CLR|BTM)_.*_01\..+$)"));
    const QDir dir(folder);
    const auto leftOver = [&startedAt](const QFileInfo& info) {
        // A hard link renews only the change time of a picture, not its modification time.
        return ours.match(info.fileName()).hasMatch() && info.lastModified() < startedAt &&
               info.metadataChangeTime() < startedAt;
    };
    const QDir::Filters filters = QDir::Files | QDir::Hidden | QDir::System;
    const QByteArray encodedFolder = QFile::encodeName(dir.absolutePath());
    bool changed = false;
    std::vector<UnlandedPair> notLanded;
    for (const QFileInfo& info :
         dir.entryInfoList({QStringLiteral("*") + QString::fromLatin1(kJournalEnding)}, filters)) {
        if (!leftOver(info)) {
            continue;
        }
        const Repair repair = repairFromJournal(encodedFolder, info);
        const QString sample = sampleOf(info.fileName());
        platform::diagnose(
            platform::lcRecovery(), QtWarningMsg,
            QStringLiteral("a pair's commit that a crash cut short was repaired"),
            {{"SAMPLE", sample}, {"FOLDER", dir.absolutePath()}, {"REASON", repair.outcome}});
        if (!repair.landed && !repair.finals[0].isEmpty()) {
            notLanded.push_back({sample, repair.finals});
        }
        changed = true;
    }
    for (const QFileInfo& info : dir.entryInfoList(filters)) {
        if (leftOver(info)) {
            changed = QFile::remove(info.absoluteFilePath()) || changed;
        }
    }
    if (changed) {
        syncFolder(encodedFolder);
    }
    return notLanded;
}

QFuture<void> commitStillPairOnceWritten(const std::array<QFuture<void>, 2>& writes,
                                         const StillPairPaths& paths,
                                         std::shared_ptr<const std::atomic<bool>> abandoned,
                                         RenameGuard guard, PairCommitSteps steps) {
    return platform::runDetached([writes, paths, abandoned = std::move(abandoned),
                                  guard = std::move(guard), steps = std::move(steps)] {
        std::exception_ptr failure;
        std::optional<CommitNames> names;
        // The journal is written and synced while the stills are, so that its sync joins theirs
        // instead of adding one to the capture.
        try {
            names = namesInOneFolder(paths);
            if (!abandoned->load()) {
                writeJournal(*names);
            }
        } catch (...) {
            failure = std::current_exception();
        }
        // Neither still gets its final name before both writes have ended well.
        for (QFuture<void> write : writes) {
            try {
                write.waitForFinished();
            } catch (...) {
                if (!failure) {
                    failure = std::current_exception();
                }
            }
        }
        if (failure) {
            discard(names ? *names : CommitNames::of(paths));
            std::rethrow_exception(failure);
        }
        const auto renames = [&] { recordThenRename(*names, *abandoned, steps); };
        guard ? guard(renames) : renames();
    });
}

}  // namespace capture
