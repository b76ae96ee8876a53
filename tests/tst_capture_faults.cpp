// Faults while capturing, on the real camera control: each is reported, the station stays usable
// and no earlier picture is lost or cut short.
#include <sys/resource.h>
#include <QListWidget>
#include <QProcess>
#include <QTest>
#include <csignal>

#include "LiveStation.h"

namespace {

QByteArray bytesOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool processAlive(qint64 pid) {
    return ::kill(static_cast<pid_t>(pid), 0) == 0;
}

// A small file system of its own; when mounting is not allowed, a file-size limit makes the
// same writes fail.
class FullDisk {
public:
    explicit FullDisk(const QString& folder) : folder_(folder) {
        QDir().mkpath(folder);
        mounted_ =
            QProcess::execute(QStringLiteral("mount"),
                              {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                               QStringLiteral("size=600k"), QStringLiteral("tmpfs"), folder}) == 0;
    }
    ~FullDisk() {
        if (mounted_) {
            QProcess::execute(QStringLiteral("umount"), {folder_});
        }
        if (limited_) {
            setrlimit(RLIMIT_FSIZE, &previous_);
        }
    }
    FullDisk(const FullDisk&) = delete;
    FullDisk& operator=(const FullDisk&) = delete;

    // Fills what is left so the next picture cannot be written.
    void fill() {
        if (!mounted_) {
            std::signal(SIGXFSZ, SIG_IGN);
            getrlimit(RLIMIT_FSIZE, &previous_);
            rlimit limit = previous_;
            limit.rlim_cur = 64 * 1024;
            limited_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
        }
    }
    bool mounted() const { return mounted_; }

private:
    QString folder_;
    bool mounted_ = false;
    bool limited_ = false;
    rlimit previous_{};
};

}  // namespace

class TestCaptureFaults : public QObject {
    Q_OBJECT
private slots:
    void cameraThatStopsIsNamedAndEarlierPicturesStay() {
        // The colour camera delivers for five seconds, then ends.
        LiveStation station({}, LiveStation::solidCamera(QStringLiteral("0xff0000ff")),
                            LiveStation::solidCamera(QStringLiteral("0xffff0000"),
                                                     QStringLiteral("num-buffers=150 ")));
        station.startWith(QStringLiteral("12345678"), true);
        capture::Form_ImageMaker& w = *station.window;
        QVERIFY2(station.messages.shown.isEmpty(), qPrintable(station.messages.shown.join('\n')));
        const QString clr =
            station.path(QStringLiteral("CLR_"), QStringLiteral("12345678"), QStringLiteral("BMP"));
        const QString btm =
            station.path(QStringLiteral("BTM_"), QStringLiteral("12345678"), QStringLiteral("BMP"));
        const QByteArray colourBefore = bytesOf(clr);
        const QByteArray bottomBefore = bytesOf(btm);
        QVERIFY(!colourBefore.isEmpty());

        QTRY_COMPARE_WITH_TIMEOUT(
            w.VideoPortal1->invoke(platform::VideoControl::kSelectCamera, {1}), QVariant(0), 20000);
        station.messages.answers.enqueue(true);
        w.frmWo().txt_Sample->setText(QStringLiteral("12345678"));
        w.Accept_Sample_Number();

        QCOMPARE(station.messages.shown.size(), 1);
        const QString message = station.messages.shown.first();
        QVERIFY2(message.startsWith(QStringLiteral("Error:\r\n")), qPrintable(message));
        QVERIFY2(message.contains(QStringLiteral("camera 1")), qPrintable(message));
        QCOMPARE(bytesOf(clr), colourBefore);
        QCOMPARE(bytesOf(btm), bottomBefore);
        QCOMPARE(w.CapturedCount, qint16(1));
        QCOMPARE(w.lbl_Status->text(), QStringLiteral("Waiting..."));

        // The bottom camera still works, and the operator can go on scanning.
        w.cmd_View->setEnabled(true);
        w.cmd_View->click();
        QCOMPARE(w.VideoPortal1->invoke(platform::VideoControl::kSelectCamera, {0}), QVariant(1));
        station.dialogs.then([](workorder::Frm_Wo& dialog) {
            QTest::keyClicks(dialog.txt_Sample, QStringLiteral("99990000"));
            dialog.cmd_Ok->click();
        });
        w.cmd_wo->click();
        QCOMPARE(w.lbl_Status->text(), QStringLiteral("Ready"));
    }

    void saveFolderFaultsAreNamed_data() {
        QTest::addColumn<QString>("fault");
        QTest::newRow("folder removed") << QStringLiteral("removed");
        QTest::newRow("folder part is a file") << QStringLiteral("file");
        QTest::newRow("disk full") << QStringLiteral("full");
    }
    void saveFolderFaultsAreNamed() {
        QFETCH(QString, fault);
        QTemporaryDir scratch;
        QString saveDir = scratch.filePath(QStringLiteral("pictures/"));
        if (fault == QStringLiteral("file")) {
            QFile blocker(scratch.filePath(QStringLiteral("pictures")));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        } else {
            QVERIFY(QDir().mkpath(saveDir));
        }
        std::unique_ptr<FullDisk> disk;
        if (fault == QStringLiteral("full")) {
            disk = std::make_unique<FullDisk>(saveDir);
        }
        LiveStation station({QStringLiteral("COMPRESS_EXE;/bin/true;x"),
                             QStringLiteral("IMAGE_SAVE_DIR;%1;x").arg(saveDir)});
        station.startWith(fault == QStringLiteral("file") ? QString() : QStringLiteral("12345678"),
                          true);
        capture::Form_ImageMaker& w = *station.window;
        const QString clr = saveDir + QStringLiteral("CLR_12345678_01.BMP");
        QByteArray earlier;
        if (fault != QStringLiteral("file")) {
            QCOMPARE(w.CapturedCount, qint16(1));
            earlier = bytesOf(clr);
            QVERIFY(!earlier.isEmpty());
        }
        if (fault == QStringLiteral("removed")) {
            QVERIFY(QDir(saveDir).removeRecursively());
        } else if (fault == QStringLiteral("full")) {
            disk->fill();
        }

        station.messages.shown.clear();
        station.messages.answers.enqueue(true);
        w.frmWo().txt_Sample->setText(QStringLiteral("12345678"));
        w.Accept_Sample_Number();

        QCOMPARE(station.messages.shown.size(), 1);
        const QString message = station.messages.shown.first();
        QVERIFY2(message.startsWith(QStringLiteral("Error:\r\n")), qPrintable(message));
        QVERIFY2(message.contains(saveDir), qPrintable(message));
        QCOMPARE(w.CapturedCount, qint16(fault == QStringLiteral("file") ? 0 : 1));
        if (fault == QStringLiteral("full")) {
            QCOMPARE(bytesOf(clr), earlier);
            // Only the tmpfs keeps its files after the limit; nothing half-written is left.
            QCOMPARE(QDir(saveDir).entryList(QDir::Files | QDir::Hidden).size(), 2);
        }
        disk.reset();

        // Once the folder is back the next capture works.
        if (fault == QStringLiteral("removed")) {
            QVERIFY(QDir().mkpath(saveDir));
            station.messages.answers.enqueue(true);
            w.frmWo().txt_Sample->setText(QStringLiteral("12345678"));
            w.Accept_Sample_Number();
            QCOMPARE(w.CapturedCount, qint16(2));
            QVERIFY(QFile::exists(clr));
        }
    }

    void compressorThatFailsOrHangsLeavesTheStationResponsive() {
        QTemporaryDir scratch;
        const QString pids = scratch.filePath(QStringLiteral("pids"));
        const QString hanging = scratch.filePath(QStringLiteral("hanging-compressor"));
        {
            QFile script(hanging);
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write(
                QStringLiteral("#!/bin/sh\necho $$ >> '%1'\nexec sleep 30\n").arg(pids).toUtf8());
        }
        QFile::setPermissions(hanging, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        {
            // A compressor that fails does not undo the capture; its line says so, no box opens.
            LiveStation failing({QStringLiteral("COMPRESS_EXE;/bin/false;x"),
                                 QStringLiteral("IMAGE_SAVE_DIR;SAVE_DIR_HERE;x")});
            failing.startWith(QStringLiteral("11110000"), true);
            QCOMPARE(failing.window->CapturedCount, qint16(1));
            QTRY_VERIFY_WITH_TIMEOUT(failing.window->lst_Captured->item(0)->text().contains(
                                         QStringLiteral("exit status 1")),
                                     10000);
            QVERIFY(failing.messages.shown.isEmpty());
        }

        auto station = std::make_unique<LiveStation>(
            QStringList{QStringLiteral("COMPRESS_EXE;%1;x").arg(hanging),
                        QStringLiteral("IMAGE_SAVE_DIR;SAVE_DIR_HERE;x")});
        station->startWith(QStringLiteral("22220000"), true);
        station->messages.answers.enqueue(true);
        station->window->frmWo().txt_Sample->setText(QStringLiteral("33330000"));
        station->window->Accept_Sample_Number();
        QVERIFY2(station->messages.shown.isEmpty(), qPrintable(station->messages.shown.join('\n')));
        QCOMPARE(station->window->CapturedCount, qint16(2));

        // Four compressors run on; closing the station leaves them running.
        QTRY_COMPARE_WITH_TIMEOUT(bytesOf(pids).count('\n'), 4, 10000);
        station.reset();
        const QList<QByteArray> started = bytesOf(pids).trimmed().split('\n');
        for (const QByteArray& pid : started) {
            QVERIFY2(processAlive(pid.toLongLong()), pid.constData());
            ::kill(static_cast<pid_t>(pid.toLongLong()), SIGTERM);
        }
    }
};

QTEST_MAIN(TestCaptureFaults)
#include "tst_capture_faults.moc"
