// The pair commit on real files, without a window: both new pictures under their final names, or
// both earlier ones, and no hidden file left behind.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPromise>
#include <QTemporaryDir>
#include <QTest>

#include "CaptureRecord.h"
#include "Diagnostics.h"
#include "PlatformError.h"
#include "RecordVerifier.h"
#include "Sha256.h"
#include "StillPairCommit.h"

using capture::StillPairPaths;

namespace {

QByteArray bytesOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

const std::array<QByteArray, 2> kEarlier{"earlier colour", "earlier bottom"};
const std::array<QByteArray, 2> kNew{"new colour", "new bottom"};

enum class Fault { None, SecondRenameFails, AbandonedBefore, AbandonedBetween };

// A save folder with the new pictures under temporaries and, if asked, an earlier pair.
class PairFolder {
public:
    explicit PairFolder(bool earlier) {
        paths.finals = {folder_.filePath(QStringLiteral("CLR_12345678_01.BMP")),
                        folder_.filePath(QStringLiteral("BTM_12345678_01.BMP"))};
        for (std::size_t i = 0; i < 2; ++i) {
            paths.temporaries[i] = capture::temporaryPathFor(paths.finals[i]);
            write(paths.temporaries[i], kNew[i]);
            if (earlier) {
                write(paths.finals[i], kEarlier[i]);
            }
        }
    }

    // Both finals hold EXPECTED (empty: absent), and nothing hidden is left.
    void verifyHolds(const std::array<QByteArray, 2>& expected) const {
        QCOMPARE(bytesOf(paths.finals[0]), expected[0]);
        QCOMPARE(bytesOf(paths.finals[1]), expected[1]);
        QCOMPARE(QDir(folder_.path()).entryList({QStringLiteral(".*")}, QDir::Hidden | QDir::Files),
                 QStringList());
    }

    StillPairPaths paths;

private:
    QTemporaryDir folder_;
};

}  // namespace

class TestStillPairCommit : public QObject {
    Q_OBJECT
private slots:
    void commitLeavesOneWholePair_data() {
        QTest::addColumn<bool>("earlier");
        QTest::addColumn<bool>("hardLinks");
        QTest::addColumn<Fault>("fault");
        for (const bool links : {true, false}) {
            const char* const how = links ? "hard link" : "renamed aside";
            for (const bool earlier : {true, false}) {
                const char* const before = earlier ? "earlier pair" : "first pair";
                QTest::addRow("%s, %s", before, how) << earlier << links << Fault::None;
                QTest::addRow("%s, %s, second rename fails", before, how)
                    << earlier << links << Fault::SecondRenameFails;
            }
            QTest::addRow("abandoned between the renames, %s", how)
                << true << links << Fault::AbandonedBetween;
        }
        QTest::newRow("abandoned before the renames") << true << true << Fault::AbandonedBefore;
    }
    void commitLeavesOneWholePair() {
        QFETCH(bool, earlier);
        QFETCH(bool, hardLinks);
        QFETCH(Fault, fault);
        PairFolder folder(earlier);
        std::atomic<bool> abandoned = fault == Fault::AbandonedBefore;
        capture::StillPairCommitProbe probe{hardLinks, {}};
        if (fault == Fault::AbandonedBetween) {
            probe.betweenRenames = [&abandoned] { abandoned = true; };
        } else if (fault == Fault::SecondRenameFails) {
            // A folder with something in it cannot be replaced by a file.
            probe.betweenRenames = [&folder] {
                QFile::remove(folder.paths.finals[1]);
                QVERIFY(QDir().mkpath(folder.paths.finals[1] + QStringLiteral("/in the way")));
            };
        }

        // The record goes in before the renames; one whose pair did not land is answered.
        int recorded = 0;
        int answered = 0;
        capture::PairCommitSteps steps{[&recorded] { ++recorded; }, [&answered] { ++answered; }};
        bool threw = false;
        try {
            capture::commitStillPair(folder.paths, abandoned, probe, steps);
        } catch (const platform::FileAccessError& error) {
            threw = true;
            if (fault == Fault::SecondRenameFails) {
                QVERIFY2(error.message().contains(folder.paths.finals[1]),
                         qPrintable(error.message()));
            }
        }
        QCOMPARE(threw, fault != Fault::None);
        QCOMPARE(recorded, fault == Fault::AbandonedBefore ? 0 : 1);
        QCOMPARE(answered, fault == Fault::None || fault == Fault::AbandonedBefore ? 0 : 1);
        if (fault == Fault::SecondRenameFails) {
            QVERIFY(QDir(folder.paths.finals[1]).removeRecursively());
            folder.verifyHolds({earlier ? kEarlier[0] : QByteArray(), QByteArray()});
        } else {
            folder.verifyHolds(fault == Fault::None ? kNew
                               : earlier            ? kEarlier
                                                    : std::array<QByteArray, 2>{});
        }
    }

    // Which write ends how, in the order they end: 'k' ends well, 'f' fails.
    void pairWaitsForBothWrites_data() {
        QTest::addColumn<QByteArray>("endings");
        QTest::addColumn<bool>("abandon");
        QTest::newRow("both written") << QByteArray("kk") << false;
        QTest::newRow("second fails after the first was written") << QByteArray("kf") << false;
        QTest::newRow("first fails") << QByteArray("fk") << false;
        QTest::newRow("abandoned after the first was written") << QByteArray("kk") << true;
    }
    void pairWaitsForBothWrites() {
        QFETCH(QByteArray, endings);
        QFETCH(bool, abandon);
        PairFolder folder(true);
        std::array<QPromise<void>, 2> writes;
        for (QPromise<void>& write : writes) {
            write.start();
        }
        const auto abandoned = std::make_shared<std::atomic<bool>>(false);
        QFuture<void> commit = capture::commitStillPairOnceWritten(
            {writes[0].future(), writes[1].future()}, folder.paths, abandoned);
        for (std::size_t i = 0; i < 2; ++i) {
            if (endings[static_cast<int>(i)] == 'f') {
                writes[i].setException(
                    std::make_exception_ptr(platform::FileAccessError(QStringLiteral("no room"))));
            }
            writes[i].finish();
            if (i == 0) {
                QTest::qWait(50);  // time for a commit that would not wait for the second write
                abandoned->store(abandon);
            }
        }
        const bool whole = !endings.contains('f') && !abandon;
        bool failed = false;
        try {
            commit.waitForFinished();
        } catch (const platform::FileAccessError&) {
            failed = true;
        }
        QCOMPARE(failed, !whole);
        folder.verifyHolds(whole ? kNew : kEarlier);
    }

    // Another station may be saving into the same folder: only what is older than this start goes.
    void startUpRemovesOnlyEarlierTemporaries() {
        PairFolder folder(true);
        QTest::qWait(20);
        const QDateTime started = QDateTime::currentDateTime();
        QTest::qWait(20);
        const QString newer = capture::temporaryPathFor(folder.paths.finals[0]);
        write(newer, kNew[0]);
        capture::recoverStillPairs(QFileInfo(newer).path(), started);
        QVERIFY(QFile::exists(newer));
        QVERIFY(QFile::remove(newer));
        folder.verifyHolds(kEarlier);
    }
    // A commit cut short between its renames (as by a crash) is undone at the next start, and IT
    // is told which sample in which folder.
    void crashBetweenTheRenamesIsUndoneAndTold() {
        PairFolder folder(true);
        capture::StillPairCommitProbe crash;
        crash.betweenRenames = [] { throw std::runtime_error("crashed"); };
        const std::atomic<bool> notAbandoned{false};
        QVERIFY_THROWS_EXCEPTION(std::runtime_error,
                                 capture::commitStillPair(folder.paths, notAbandoned, crash));
        const platform::DiagnosticRecorder recorder;
        const QString dir = QFileInfo(folder.paths.finals[0]).absolutePath();
        const std::vector<capture::UnlandedPair> unlanded =
            capture::recoverStillPairs(dir, QDateTime::currentDateTime().addSecs(60));
        folder.verifyHolds(kEarlier);
        const std::vector<platform::DiagnosticEvent> told =
            recorder.matching("station.recovery", QStringLiteral("12345678"));
        QCOMPARE(told.size(), std::size_t(1));
        QCOMPARE(told.front().field("FOLDER"), dir);
        QVERIFY(!told.front().field("REASON").isEmpty());
        // The record written before the renames is answered: the capture did not land, and the
        // earlier pictures that stand are named with their digests.
        QCOMPARE(unlanded.size(), std::size_t(1));
        QCOMPARE(unlanded.front().sample, QString("12345678"));
        QCOMPARE(unlanded.front().finals, folder.paths.finals);
        const QTemporaryDir recordsDir;
        records::RecordBook book(recordsDir.path(), QStringLiteral("station"));
        capture::recordRepairs(unlanded, dir, book);
        const std::vector<records::LoadedRecord> loaded = records::loadRecords(recordsDir.path());
        QCOMPARE(loaded.size(), std::size_t(1));
        QVERIFY(loaded.front().record);
        const records::RecordEvent& repaired = loaded.front().record->event;
        QCOMPARE(repaired.kind, records::RecordEventKind::Repaired);
        QCOMPARE(repaired.files.size(), std::size_t(2));
        QCOMPARE(repaired.files[0].name, QFileInfo(folder.paths.finals[0]).fileName());
        QCOMPARE(repaired.files[0].sha256, records::sha256OfFile(folder.paths.finals[0]));
    }
};

QTEST_GUILESS_MAIN(TestStillPairCommit)
#include "tst_still_pair_commit.moc"
