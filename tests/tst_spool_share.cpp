// A real network share that stops answering: sshfs to an sshd of the test's own on 127.0.0.1,
// the server stopped (SIGSTOP) while samples are captured and continued (SIGCONT) afterwards.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QListWidget>
#include <QProcess>
#include <QStandardPaths>
#include <csignal>
#include <cstdio>

#include "DetachedWork.h"
#include "LiveStation.h"
#include "RecordVerifier.h"

namespace {

int freePort() {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(probe);
    return port;
}

// The process and all of its descendants: the server's connection processes start sessions of
// their own, so a signal to its process group would miss them.
QList<pid_t> processTree(pid_t root) {
    QList<pid_t> tree{root};
    for (qsizetype i = 0; i < tree.size(); ++i) {
        for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            const QByteArray stat = bytesOf(QStringLiteral("/proc/%1/stat").arg(entry));
            // pid (name) state ppid ...: the name may hold blanks, so read after its ')'.
            const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
            bool isNumber = false;
            const pid_t pid = entry.toInt(&isNumber);
            if (isNumber && fields.size() > 1 && fields[1].toInt() == tree[i] &&
                !tree.contains(pid)) {
                tree.append(pid);
            }
        }
    }
    return tree;
}

bool run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

// The server and the mount; everything is undone on destruction, a stuck mount included.
class SshShare {
public:
    SshShare() {
        const QString sshfs = QStandardPaths::findExecutable(QStringLiteral("sshfs"));
        fusermount = QStandardPaths::findExecutable(QStringLiteral("fusermount3"));
        if (fusermount.isEmpty()) {
            fusermount = QStandardPaths::findExecutable(QStringLiteral("fusermount"));
        }
        if (!QFileInfo::exists(QStringLiteral("/dev/fuse")) || sshfs.isEmpty() ||
            fusermount.isEmpty() || !QFileInfo(QStringLiteral("/usr/sbin/sshd")).isExecutable()) {
            why = QStringLiteral("needs /dev/fuse, sshfs, fusermount and /usr/sbin/sshd");
            return;
        }
        const QString dir = folder_.path();
        mountPoint = dir + QStringLiteral("/mnt/");
        QDir().mkpath(mountPoint);
        QDir().mkpath(dir + QStringLiteral("/remote"));
        QDir().mkpath(QStringLiteral("/run/sshd"));  // the server's privilege separation
        for (const char* key : {"host_key", "user_key"}) {
            run(QStringLiteral("ssh-keygen"),
                {QStringLiteral("-q"), QStringLiteral("-t"), QStringLiteral("ed25519"),
                 QStringLiteral("-N"), QString(), QStringLiteral("-f"),
                 dir + QLatin1Char('/') + QLatin1String(key)});
        }
        QFile::copy(dir + QStringLiteral("/user_key.pub"), dir + QStringLiteral("/authorized"));
        const int port = freePort();
        QFile config(dir + QStringLiteral("/sshd_config"));
        config.open(QIODevice::WriteOnly);
        config.write(QStringLiteral("Port %1\nListenAddress 127.0.0.1\nHostKey %2/host_key\n"
                                    "AuthorizedKeysFile %2/authorized\nPidFile none\n"
                                    "StrictModes no\nUsePAM no\nPasswordAuthentication no\n"
                                    "PermitRootLogin prohibit-password\n"
                                    "Subsystem sftp internal-sftp\n")
                         .arg(port)
                         .arg(dir)
                         .toUtf8());
        config.close();
        server_.setProcessChannelMode(QProcess::ForwardedChannels);
        server_.start(QStringLiteral("/usr/sbin/sshd"),
                      {QStringLiteral("-D"), QStringLiteral("-e"), QStringLiteral("-f"),
                       dir + QStringLiteral("/sshd_config")});
        if (!server_.waitForStarted()) {
            why = QStringLiteral("sshd did not start");
            return;
        }
        for (int attempt = 0; attempt < 50 && !mounted_; ++attempt) {
            QThread::msleep(100);
            mounted_ =
                run(sshfs, {QStringLiteral("root@127.0.0.1:") + dir + QStringLiteral("/remote"),
                            mountPoint, QStringLiteral("-o"),
                            QStringLiteral("port=%1,IdentityFile=%2/user_key,BatchMode=yes,"
                                           "StrictHostKeyChecking=no,"
                                           "UserKnownHostsFile=/dev/null")
                                .arg(port)
                                .arg(dir)});
        }
        if (!mounted_) {
            why = QStringLiteral("sshfs could not mount the test server's folder");
        }
    }
    ~SshShare() {
        resume();
        if (mounted_) {
            run(fusermount, {QStringLiteral("-uz"), mountPoint});
        }
        if (server_.state() != QProcess::NotRunning) {
            ::kill(static_cast<pid_t>(server_.processId()), SIGTERM);
            server_.waitForFinished(5000);
        }
    }
    SshShare(const SshShare&) = delete;
    SshShare& operator=(const SshShare&) = delete;

    bool ready() const { return mounted_; }
    void stop() {
        stopped_ = processTree(static_cast<pid_t>(server_.processId()));
        for (const pid_t pid : stopped_) {
            ::kill(pid, SIGSTOP);
        }
    }
    void resume() {
        for (const pid_t pid : stopped_) {
            ::kill(pid, SIGCONT);
        }
        stopped_.clear();
    }

    QString why;
    QString mountPoint;
    QString fusermount;

private:
    QTemporaryDir folder_;
    QProcess server_;
    QList<pid_t> stopped_;
    bool mounted_ = false;
};

SshShare* share = nullptr;

// Every file of the sample in a folder, by name; in the spool also those the forwarder has taken.
QMap<QString, QByteArray> filesOf(const QString& folder, const QString& number) {
    const QString taken = QStringLiteral(".forwarding-");
    QMap<QString, QByteArray> files;
    for (const QString& name :
         QDir(folder).entryList({QStringLiteral("*_") + number + QStringLiteral("_01.*")},
                                QDir::Files | QDir::Hidden)) {
        const QString plain = name.startsWith(taken) ? name.mid(taken.size()) : name;
        if (!plain.startsWith(QLatin1Char('.'))) {
            files.insert(plain, bytesOf(folder + name));
        }
    }
    return files;
}

}  // namespace

class TestSpoolShare : public QObject {
    Q_OBJECT
private slots:
    void capturesDuringAnOutageArriveAfterIt() {
        const QString moving = QStringLiteral(
            "videotestsrc pattern=ball is-live=true ! "
            "video/x-raw,width=320,height=240,framerate=30/1");
        const QString shareDir = share->mountPoint;
        LiveStation station({QStringLiteral("COMPRESS_EXE;%1;x").arg(kConvert),
                             QStringLiteral("COMPRESS_COMMAND_LINE_OPTIONS;-quality 90;x"),
                             QStringLiteral("IMAGE_SAVE_DIR;%1;x").arg(shareDir)},
                            moving, moving);
        station.startWith(QStringLiteral("00000001"), true);
        capture::Form_ImageMaker& w = *station.window;
        QCOMPARE(w.CapturedCount, qint16(1));
        QTRY_COMPARE_WITH_TIMEOUT(filesOf(shareDir, QStringLiteral("00000001")).size(), 4, 20000);
        const QString spoolDir = w.spoolForwarder()->spool().dir();

        share->stop();
        // Three new samples and a Redo of the one saved before the outage.
        const QStringList numbers{QStringLiteral("10000001"), QStringLiteral("10000002"),
                                  QStringLiteral("10000003"), QStringLiteral("00000001")};
        for (const QString& number : numbers) {
            QElapsedTimer clock;
            clock.start();
            station.scanAgain(number);
            QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        }
        QVERIFY2(station.messages.shown.isEmpty(), qPrintable(station.messages.shown.join('\n')));
        QCOMPARE(w.CapturedCount, qint16(5));
        QVERIFY2(w.lst_Captured->item(4)->text().endsWith(
                     QStringLiteral("(kept on this PC: 4 waiting)")),
                 qPrintable(w.lst_Captured->item(4)->text()));
        // Compressed where they wait; what was kept is what must arrive.
        QMap<QString, QMap<QString, QByteArray>> kept;
        for (const QString& number : numbers) {
            QTRY_COMPARE_WITH_TIMEOUT(filesOf(spoolDir, number).size(), 4, 20000);
            kept.insert(number, filesOf(spoolDir, number));
        }
        // A kept sample is shown again from this PC while the share is still down.
        w.lst_Captured->setCurrentRow(2);
        w.lst_Captured_DblClick();
        QTRY_VERIFY_WITH_TIMEOUT(!w.img_color->pixmap().isNull(), 10000);

        // Redone once the share answers, before or after its kept pair went over: this newer
        // pair must be the one that stays.
        share->resume();
        station.messages.answers.enqueue(true);
        w.cmd_Redo_Click();
        QCOMPARE(w.CapturedCount, qint16(6));
        const QByteArray redone = bytesOf(shareDir + QStringLiteral("CLR_10000002_01.BMP"));
        QVERIFY(redone != kept[QStringLiteral("10000002")][QStringLiteral("CLR_10000002_01.BMP")]);

        QTRY_COMPARE_WITH_TIMEOUT(w.spoolForwarder()->spool().waiting().size(), std::size_t(0),
                                  60000);
        for (const QString& number : numbers) {
            if (number != QStringLiteral("10000002")) {
                QCOMPARE(filesOf(shareDir, number), kept[number]);
            }
        }
        QCOMPARE(bytesOf(shareDir + QStringLiteral("CLR_10000002_01.BMP")), redone);
        const QString setAside = spoolDir + QStringLiteral("superseded/CLR_10000002_01.BMP");
        if (QFile::exists(setAside)) {
            QCOMPARE(bytesOf(setAside),
                     kept[QStringLiteral("10000002")][QStringLiteral("CLR_10000002_01.BMP")]);
        }
        QTRY_VERIFY(!w.lbl_Status->text().contains(QStringLiteral("kept on this PC")));
        // The writes given up during the outage leave nothing behind once they end.
        QTRY_COMPARE_WITH_TIMEOUT(platform::detachedWorkRunning().load(), 0, 30000);
        // (the Redo's compressors may still be writing their hidden copies)
        QTRY_COMPARE_WITH_TIMEOUT(
            QDir(shareDir).entryList({QStringLiteral(".*")}, QDir::Files | QDir::Hidden),
            QStringList(), 30000);

        // Each kept pair arrived with its capture's record, the Redo of the pair saved before the
        // outage with the earlier pair kept, and the share's folder verifies as a whole.
        QMap<QString, const records::RecordEvent*> forwarded;
        const std::vector<records::LoadedRecord> loaded =
            records::loadRecords(shareDir + QStringLiteral("records"));
        for (const records::LoadedRecord& record : loaded) {
            if (record.record && record.record->event.kind == records::RecordEventKind::Forwarded) {
                forwarded.insert(record.record->event.sample, &record.record->event);
            }
        }
        for (const QString& number : {numbers[0], numbers[2], numbers[3]}) {
            const records::RecordEvent* event = forwarded.value(number);
            QVERIFY2(event != nullptr, qPrintable(number));
            QCOMPARE(event->pictures.size(), std::size_t{2});
            for (const records::AcquisitionMetadata& picture : event->pictures) {
                const QString name =
                    QStringLiteral("%1_%2_01.BMP")
                        .arg(picture.view == records::PictureView::Color ? QStringLiteral("CLR")
                                                                         : QStringLiteral("BTM"),
                             number);
                QCOMPARE(picture.sha256,
                         QCryptographicHash::hash(kept[number][name], QCryptographicHash::Sha256));
                QVERIFY(picture.time < event->time);  // taken during the outage, not on arrival
            }
        }
        QCOMPARE(forwarded.value(numbers[3])->supersedes,
                 loaded.front().record->event.pictures.front().captureId);
        QCOMPARE(forwarded.value(numbers[3])->kept.size(), std::size_t{4});
        // Once the Redo's copies have replaced the ones made of the pair it superseded.
        QTRY_VERIFY2_WITH_TIMEOUT(
            records::verifySaveFolder({shareDir, {}}).ok(),
            qPrintable(records::verifySaveFolder({shareDir, {}}).problems.join('\n')), 20000);
    }
};

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    SshShare server;
    if (!server.ready()) {
        std::fprintf(stderr, "SKIP: %s\n", qPrintable(server.why));
        return 77;
    }
    share = &server;
    TestSpoolShare test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_spool_share.moc"
