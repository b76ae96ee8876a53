// The rules the capture, display and delete share: names, command lines, messages, date text.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <mutex>
#include <thread>

#include "Diagnostics.h"
#include "GeneralDate.h"
#include "ImageNaming.h"
#include "SpoolFolder.h"
#include "SpoolForwarder.h"

namespace {

void writeFile(const QString& path, const QByteArray& bytes, int minutesAgo) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    file.flush();  // a later write would set the time to now
    QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-60 * minutesAgo),
                             QFileDevice::FileModificationTime));
}

QByteArray bytesOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

using namespace capture;

class TestImageNaming : public QObject {
    Q_OBJECT
private slots:
    void namesJoinWithoutSeparator() {
        QCOMPARE(imagePath(QStringLiteral("/data/img"), View::Color, QStringLiteral("1234"),
                           QStringLiteral("bmp")),
                 QStringLiteral("/data/imgCLR_1234_01.bmp"));
        QCOMPARE(imagePath(QString(), View::Bottom, QStringLiteral(" 12 "), QStringLiteral("JPG")),
                 QStringLiteral("BTM_ 12 _01.JPG"));
    }

    void commandLineKeepsItsPiecesAndPathsStayWhole_data() {
        QTest::addColumn<QString>("exe");
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("argv");
        const QString src = QStringLiteral("/lab images/CLR_1 2_01.BMP");
        const QString dst = QStringLiteral("/lab images/CLR_1 2_01.JPG");
        QTest::newRow("no options: two blanks")
            << QStringLiteral("convert") << QString()
            << QStringLiteral("convert ") + src + QStringLiteral("  ") + dst
            << QStringList{QStringLiteral("convert"), src, dst};
        QTest::newRow("options split like a command line")
            << QStringLiteral("convert") << QStringLiteral("-quality 80 -comment \"lab a\"")
            << QStringLiteral("convert ") + src +
                   QStringLiteral(" -quality 80 -comment \"lab a\" ") + dst
            << QStringList{QStringLiteral("convert"),
                           src,
                           QStringLiteral("-quality"),
                           QStringLiteral("80"),
                           QStringLiteral("-comment"),
                           QStringLiteral("lab a"),
                           dst};
        QTest::newRow("quoted program path with its own switch")
            << QStringLiteral("\"/opt/my tools/cjpeg\" -fast") << QString()
            << QStringLiteral("\"/opt/my tools/cjpeg\" -fast ") + src + QStringLiteral("  ") + dst
            << QStringList{QStringLiteral("/opt/my tools/cjpeg"), QStringLiteral("-fast"), src,
                           dst};
        QTest::newRow("shell characters stay plain arguments")
            << QStringLiteral("convert") << QStringLiteral("; rm -rf x")
            << QStringLiteral("convert ") + src + QStringLiteral(" ; rm -rf x ") + dst
            << QStringList{QStringLiteral("convert"),
                           src,
                           QStringLiteral(";"),
                           QStringLiteral("rm"),
                           QStringLiteral("-rf"),
                           QStringLiteral("x"),
                           dst};
    }
    void commandLineKeepsItsPiecesAndPathsStayWhole() {
        QFETCH(QString, exe);
        QFETCH(QString, options);
        QFETCH(QString, line);
        QFETCH(QStringList, argv);
        const CompressionCommand command =
            compressionCommand(exe, options, QStringLiteral("/lab images/CLR_1 2_01.BMP"),
                               QStringLiteral("/lab images/CLR_1 2_01.JPG"));
        QCOMPARE(command.commandLine, line);
        QCOMPARE(QStringList{command.program} + command.arguments, argv);
    }

    void sampleNumbersThatNameFilesSafely_data() {
        QTest::addColumn<QString>("number");
        QTest::addColumn<bool>("usable");
        QTest::newRow("digits") << QStringLiteral("12345678") << true;
        QTest::newRow("blanks and letters") << QStringLiteral(" AB-12.3") << true;
        QTest::newRow("umlaut") << QString::fromUtf8("Müller") << true;
        QTest::newRow("slash") << QStringLiteral("../etc") << false;
        QTest::newRow("dots") << QStringLiteral("1..2") << false;
        QTest::newRow("backslash") << QStringLiteral("a\\b") << false;
        QTest::newRow("quote") << QStringLiteral("a\"b") << false;
        QTest::newRow("newline") << QStringLiteral("a\nb") << false;
        QTest::newRow("nul") << QString(QChar(0)) << false;
    }
    void sampleNumbersThatNameFilesSafely() {
        QFETCH(QString, number);
        QFETCH(bool, usable);
        QCOMPARE(isUsableSampleNumber(number), usable);
        if (!usable) {
            const QString message = unusableSampleNumberMessage(number);
            QVERIFY(message.startsWith(QStringLiteral("Error:\r\n")));
            // Control characters are shown, not sent to the message box raw.
            for (const QChar ch : message) {
                QVERIFY(ch == QLatin1Char('\r') || ch == QLatin1Char('\n') ||
                        ch.category() != QChar::Other_Control);
            }
        }
    }

    void saveFolderValueThatLacksItsFinalSlash_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("isFolder");
        QTest::addColumn<bool>("lacks");
        QTest::newRow("folder") << QStringLiteral("/srv/images") << true << true;
        QTest::newRow("folder with /") << QStringLiteral("/srv/images/") << true << false;
        QTest::newRow("prefix in a folder")
            << QStringLiteral("/srv/images/station1_") << false << false;
        QTest::newRow("network host") << QStringLiteral("\\\\labhost") << false << true;
        QTest::newRow("network share, backslash at the end")
            << QStringLiteral("\\\\labhost\\images\\") << false << true;
        QTest::newRow("empty is missing, not this") << QString() << false << false;
    }
    void saveFolderValueThatLacksItsFinalSlash() {
        QFETCH(QString, value);
        QFETCH(bool, isFolder);
        QFETCH(bool, lacks);
        QStringList asked;
        QCOMPARE(saveDirLacksFinalSlash(value,
                                        [&](const QString& path) {
                                            asked.append(path);
                                            return isFolder;
                                        }),
                 lacks);
        // A value ending in / is never looked up: a stalled share would hold up the capture.
        if (value.endsWith(QLatin1Char('/'))) {
            QVERIFY(asked.isEmpty());
        }
    }

    void generalDateIsShortDateAndLongTimeWithoutZone_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("expected");
        QTest::newRow("en_US") << QStringLiteral("en_US") << QStringLiteral("12/8/26 2:05:09 PM");
        QTest::newRow("de_DE") << QStringLiteral("de_DE") << QStringLiteral("08.12.26 14:05:09");
        QTest::newRow("C") << QStringLiteral("C") << QStringLiteral("8 Dec 2026 14:05:09");
    }
    void generalDateIsShortDateAndLongTimeWithoutZone() {
        QFETCH(QString, locale);
        QFETCH(QString, expected);
        const QDateTime moment(QDate(2026, 12, 8), QTime(14, 5, 9));
        const QLocale l(locale);
        QCOMPARE(generalDateText(moment, l).replace(QChar(0x202F), QLatin1Char(' ')), expected);
        QVERIFY(!longTimeFormatWithoutZone(l).contains(QLatin1Char('t')));
    }

    void saveFolderOutOfReach_data() {
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QByteArray>("fstab");
        QTest::addColumn<bool>("unreachable");
        const QByteArray fstab =
            "# <fs> <mount point> <type>\n/dev/sda1 / ext4 defaults 0 1\n"
            "//nas/lab /mnt/lab cifs noauto 0 0\n";
        for (const int error : {ENOENT, EIO, ENOTCONN, ESTALE, EHOSTDOWN, ETIMEDOUT}) {
            QTest::addRow("errno %d", error) << error << QString() << QByteArray() << true;
        }
        for (const int error : {EACCES, ENOSPC, ENOTDIR, EROFS}) {
            QTest::addRow("errno %d refuses", error) << error << QString() << QByteArray() << false;
        }
        QTest::newRow("share not mounted")
            << 0 << QStringLiteral("/mnt/lab/images/") << fstab << true;
        QTest::newRow("share point itself") << 0 << QStringLiteral("/mnt/lab") << fstab << true;
        QTest::newRow("share mounted") << 0 << QStringLiteral("/mnt/mounted/x/")
                                       << QByteArray("//nas/m /mnt/mounted cifs 0 0\n") << false;
        QTest::newRow("only the root") << 0 << QStringLiteral("/srv/images/") << fstab << false;
        QTest::newRow("a name that only starts alike")
            << 0 << QStringLiteral("/mnt/labs/") << fstab << false;
    }
    void saveFolderOutOfReach() {
        QFETCH(int, error);
        QFETCH(QString, folder);
        QFETCH(QByteArray, fstab);
        QFETCH(bool, unreachable);
        const QByteArray mounts = "/dev/sda1 / ext4 rw 0 0\n//nas/m /mnt/mounted cifs rw 0 0\n";
        QCOMPARE(error != 0 ? isUnreachableError(error) : lacksItsMount(folder, fstab, mounts),
                 unreachable);
    }

    void forwardingRetriesWithinItsBound() {
        using std::chrono::milliseconds;
        milliseconds pause{0};
        QList<qint64> pauses;
        for (int attempt = 0; attempt < 8; ++attempt) {
            pause = SpoolForwarder::nextRetry(pause);
            pauses.append(pause.count());
        }
        QCOMPARE(pauses, (QList<qint64>{1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000}));
    }

    // A pair goes only into the save folder it was taken for: pairs another station set-up kept
    // here go into theirs, a flat spool from before belongs to this station. A folder out of
    // reach or refusing holds up no other; a refused pair stays here, and each failure is told
    // to IT once.
    void keptPairsGoWhereTheyWereTakenFor_data() {
        QTest::addColumn<QString>("trouble");
        QTest::newRow("two stations' pairs and a flat spool") << QString();
        QTest::newRow("the other station's folder is gone") << QStringLiteral("gone");
        QTest::newRow("this station's folder refuses the pair") << QStringLiteral("refused");
        QTest::newRow("the other station runs") << QStringLiteral("runs");
    }
    void keptPairsGoWhereTheyWereTakenFor() {
        QFETCH(QString, trouble);
        QTemporaryDir scratch;
        const QString root = scratch.filePath(QStringLiteral("spool/"));
        const QString saveA = scratch.filePath(QStringLiteral("a/"));
        const QString saveB = scratch.filePath(QStringLiteral("b/"));
        QVERIFY(QDir().mkpath(saveA));
        QVERIFY(trouble == QStringLiteral("gone") || QDir().mkpath(saveB));
        const QString blocker = saveA + QStringLiteral("CLR_1_01.BMP/in-the-way");
        QVERIFY(trouble != QStringLiteral("refused") || QDir().mkpath(blocker));
        // Kept by station B while its share was down, and by A before destination folders.
        const SpoolFolder forB = SpoolFolder::forDestination(root, saveB);
        forB.create();
        for (const QString& prefix : {QStringLiteral("CLR_"), QStringLiteral("BTM_")}) {
            writeFile(forB.pathOf(prefix + QStringLiteral("1_01.BMP")), "b " + prefix.toUtf8(), 2);
            writeFile(root + prefix + QStringLiteral("1_01.BMP"), "a " + prefix.toUtf8(), 1);
        }
        // Only station B knows which of its pairs its compressors still write.
        ForwardingLock stationB =
            trouble == QStringLiteral("runs") ? forB.lockForwarding(false) : ForwardingLock();
        const platform::DiagnosticRecorder recorder;
        SpoolForwarder forwarder(SpoolFolder(root), saveA);
        QVERIFY(forwarder.spool().dir() != forB.dir());
        forwarder.wake();

        const auto arrived = [](const QString& folder, const QByteArray& station) {
            return bytesOf(folder + QStringLiteral("CLR_1_01.BMP")) == station + " CLR_" &&
                   bytesOf(folder + QStringLiteral("BTM_1_01.BMP")) == station + " BTM_";
        };
        const auto failures = [&recorder](const QString& folder) {
            std::vector<platform::DiagnosticEvent> told;
            for (platform::DiagnosticEvent& event :
                 recorder.matching("station.spool", QStringLiteral("could not be forwarded"))) {
                if (event.field("FOLDER") == folder) {
                    told.push_back(std::move(event));
                }
            }
            return told;
        };
        if (trouble == QStringLiteral("gone")) {
            QTRY_VERIFY(arrived(saveA, "a"));
            QTRY_COMPARE(forwarder.waitingCount(), 1);  // B's pair still waits on this PC
            QTest::qWait(2500);                         // two retries
            QCOMPARE(failures(saveB).size(), std::size_t(1));
            QVERIFY(QDir().mkpath(saveB));
        } else if (trouble == QStringLiteral("refused")) {
            QTRY_VERIFY(arrived(saveB, "b"));
            QTRY_COMPARE(failures(saveA).size(), std::size_t(1));
            QVERIFY(failures(saveA).front().field("REASON").contains(QStringLiteral("CLR_1_01")));
            QCOMPARE(failures(saveA).front().field("SAMPLE"), QStringLiteral("1"));
            // Still here, whole, for the next attempt.
            QCOMPARE(bytesOf(forwarder.spool().locate(QStringLiteral("CLR_1_01.BMP"))),
                     QByteArray("a CLR_"));
            QCOMPARE(bytesOf(forwarder.spool().locate(QStringLiteral("BTM_1_01.BMP"))),
                     QByteArray("a BTM_"));
            QCOMPARE(forwarder.waitingCount(), 1);
            QVERIFY(QDir(saveA + QStringLiteral("CLR_1_01.BMP")).removeRecursively());
        } else if (trouble == QStringLiteral("runs")) {
            QVERIFY(stationB.held());
            QTRY_VERIFY(arrived(saveA, "a"));
            forwarder.wake();
            QTRY_COMPARE(forwarder.waitingCount(), 1);
            QVERIFY(!arrived(saveB, "b"));
            // A direct capture of the sample into A sets aside only what waits for A.
            QCOMPARE(forwarder.spool().setAside(QStringLiteral("1_01")), QStringList());
            QCOMPARE(forB.waiting().size(), std::size_t(1));
            stationB = ForwardingLock();  // B ends
        }
        forwarder.wake();
        QTRY_VERIFY_WITH_TIMEOUT(arrived(saveA, "a") && arrived(saveB, "b"), 10000);
        QTRY_COMPARE(recorder.matching("station.spool", QStringLiteral("was forwarded")).size(),
                     std::size_t(2));
        QTRY_COMPARE(forwarder.waitingCount(), 0);
        QCOMPARE(QDir(root).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    // Oldest first; a copy claimed by a forwarding that ended early goes before a newer spooled
    // one of the same sample; a newer direct save sets the spooled copies aside, never over an
    // earlier set-aside copy.
    void spoolForwardsOldestFirstAndNewerPairsWin() {
        QTemporaryDir root;
        const QString saveDir = root.filePath(QStringLiteral("save/"));
        QVERIFY(QDir().mkpath(saveDir));
        SpoolShared shared(SpoolFolder(root.filePath(QStringLiteral("spool"))), saveDir);
        const SpoolFolder& spool = shared.spool;
        spool.create();
        QCOMPARE(QFileInfo(spool.dir()).permissions() & 0x0077, QFileDevice::Permissions());
        writeFile(spool.pathOf(QStringLiteral("CLR_B_01.BMP")), "b-clr", 5);
        writeFile(spool.pathOf(QStringLiteral("BTM_B_01.BMP")), "b-btm", 5);
        writeFile(spool.claimedPathOf(QStringLiteral("CLR_A_01.BMP")), "a-old-clr", 9);
        writeFile(spool.claimedPathOf(QStringLiteral("BTM_A_01.BMP")), "a-old-btm", 9);
        writeFile(spool.pathOf(QStringLiteral("CLR_A_01.BMP")), "a-new-clr", 1);
        writeFile(spool.pathOf(QStringLiteral("BTM_A_01.BMP")), "a-new-btm", 1);
        writeFile(spool.pathOf(QStringLiteral("CLR_A_01.JPG")), "a-new-jpg", 1);
        writeFile(spool.pathOf(QStringLiteral(".1234-CLR_C_01.BMP")), "being written", 0);

        std::vector<SpoolFolder::Waiting> waiting = spool.waiting();
        QCOMPARE(waiting.size(), std::size_t(2));
        QCOMPARE(waiting[0].key, QStringLiteral("A_01"));
        QCOMPARE(waiting[1].key, QStringLiteral("B_01"));

        forwardSample(shared, waiting[0]);  // the claimed, older pair only
        QCOMPARE(bytesOf(saveDir + QStringLiteral("CLR_A_01.BMP")), QByteArray("a-old-clr"));
        QCOMPARE(bytesOf(saveDir + QStringLiteral("BTM_A_01.BMP")), QByteArray("a-old-btm"));
        forwardSample(shared, spool.waiting()[1]);
        QCOMPARE(bytesOf(saveDir + QStringLiteral("CLR_A_01.BMP")), QByteArray("a-new-clr"));
        QCOMPARE(bytesOf(saveDir + QStringLiteral("CLR_A_01.JPG")), QByteArray("a-new-jpg"));

        // B was captured again straight into the save folder: its spooled copies are older.
        QVERIFY(QDir().mkpath(spool.supersededDir()));
        writeFile(spool.supersededDir() + QStringLiteral("CLR_B_01.BMP"), "earlier", 60);
        QCOMPARE(spool.setAside(QStringLiteral("B_01")).size(), 2);
        QCOMPARE(spool.waiting().size(), std::size_t(0));
        QCOMPARE(bytesOf(spool.supersededDir() + QStringLiteral("CLR_B_01.BMP")),
                 QByteArray("earlier"));
        QCOMPARE(bytesOf(spool.supersededDir() + QStringLiteral("CLR_B_01 (2).BMP")),
                 QByteArray("b-clr"));
        QVERIFY(!QFile::exists(saveDir + QStringLiteral("CLR_B_01.BMP")));
        QCOMPARE(QDir(spool.dir()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral(".1234-CLR_C_01.BMP")});

        // D is copied over while a direct capture of it holds the save folder; that capture
        // sets the copies aside, and the forwarder, let in afterwards, must not rename its
        // older copies over the newer pair.
        writeFile(spool.pathOf(QStringLiteral("CLR_D_01.BMP")), "d-old-clr", 3);
        writeFile(spool.pathOf(QStringLiteral("BTM_D_01.BMP")), "d-old-btm", 3);
        std::unique_lock direct(shared.saveFolder);
        std::thread forwarder([&shared] { forwardSample(shared, shared.spool.waiting()[0]); });
        QTRY_COMPARE(QDir(saveDir)
                         .entryList({QStringLiteral(".*_D_01.BMP")}, QDir::Files | QDir::Hidden)
                         .size(),
                     2);
        QTest::qWait(200);  // the second copy's bytes
        writeFile(saveDir + QStringLiteral("CLR_D_01.BMP"), "d-new-clr", 0);
        QCOMPARE(spool.setAside(QStringLiteral("D_01")).size(), 2);
        direct.unlock();
        forwarder.join();
        QCOMPARE(bytesOf(saveDir + QStringLiteral("CLR_D_01.BMP")), QByteArray("d-new-clr"));
        QCOMPARE(QDir(saveDir).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral("_D_")),
                 QStringList{QStringLiteral("CLR_D_01.BMP")});
    }
};

QTEST_MAIN(TestImageNaming)
#include "tst_image_naming.moc"
