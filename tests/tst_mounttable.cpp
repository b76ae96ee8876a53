#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "MountTable.h"
#include "NetworkNeighbourhood.h"

using network::MountEntry;
using network::NetworkMount;

namespace {

// A mount table as the kernel writes it, with the network file systems among local ones.
const QByteArray kSampleTable =
    "sysfs /sys sysfs rw,nosuid,nodev,noexec,relatime 0 0\n"
    "proc /proc proc rw,nosuid,nodev,noexec,relatime 0 0\n"
    "/dev/sda1 / ext4 rw,relatime,errors=remount-ro 0 0\n"
    "tmpfs /run tmpfs rw,nosuid,nodev,size=1620300k,mode=755 0 0\n"
    "//labserver/images /mnt/lab\\040images cifs rw,relatime,vers=3.1.1,cache=strict 0 0\n"
    "//NAS-02/archive/2024 /srv/archive smb3 rw,relatime,vers=3.0 0 0\n"
    "nas-02:/export/scans /mnt/scans nfs rw,relatime,vers=3,proto=tcp 0 0\n"
    "[fd00::12]:/data /mnt/v6\\011tab nfs4 rw,relatime,vers=4.2 0 0\n"
    "garbage-without-fields\n"
    "\n"
    "//no-share-here /mnt/broken cifs rw 0 0\n"
    "labserver:relative /mnt/relative nfs rw 0 0\n"
    "/dev/sdb1 /media/usb\\040stick vfat rw 0 0\n";

}  // namespace

class TestMountTable : public QObject {
    Q_OBJECT
private slots:
    void cleanup();

    void parsesEveryLineWithThreeFields();
    void unescapesOctalSequences_data();
    void unescapesOctalSequences();
    void networkMountOfAnEntry_data();
    void networkMountOfAnEntry();
    void gvfsSmbShareOfAFolderName_data();
    void gvfsSmbShareOfAFolderName();
    void readsOnlyTheNetworkMountsOfAFile();
    void unreadableFileHasNoMounts();
    void neighbourhoodGroupsSharesByComputer();
    void announcedComputerJoinsItsMountedNamesake();
};

void TestMountTable::cleanup() {
    for (const QWidget* widget : QApplication::topLevelWidgets()) {
        QVERIFY2(!widget->isVisible(), qPrintable(widget->objectName() + " was left open"));
    }
}

void TestMountTable::parsesEveryLineWithThreeFields() {
    const std::vector<MountEntry> entries = network::parseMountTable(kSampleTable);
    QCOMPARE(entries.size(), std::size_t{11});
    QCOMPARE(entries.at(4), (MountEntry{"//labserver/images", "/mnt/lab images", "cifs"}));
    QCOMPARE(entries.at(7), (MountEntry{"[fd00::12]:/data", "/mnt/v6\ttab", "nfs4"}));
    QCOMPARE(entries.at(10), (MountEntry{"/dev/sdb1", "/media/usb stick", "vfat"}));
}

void TestMountTable::unescapesOctalSequences_data() {
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QString>("text");
    QTest::newRow("plain") << QByteArray("/mnt/lab") << "/mnt/lab";
    QTest::newRow("blank") << QByteArray("/mnt/lab\\040images") << "/mnt/lab images";
    QTest::newRow("two blanks") << QByteArray("a\\040\\040b") << "a  b";
    QTest::newRow("tab and newline") << QByteArray("a\\011b\\012c") << "a\tb\nc";
    QTest::newRow("backslash") << QByteArray("a\\134b") << "a\\b";
    QTest::newRow("not octal stays") << QByteArray("a\\089b") << "a\\089b";
    QTest::newRow("too short at the end") << QByteArray("a\\04") << "a\\04";
    QTest::newRow("UTF-8 name") << QStringLiteral("/mnt/Prüfung").toUtf8() << "/mnt/Prüfung";
    QTest::newRow("escaped UTF-8 bytes") << QByteArray("/mnt/Pr\\303\\274f") << "/mnt/Prüf";
}

void TestMountTable::unescapesOctalSequences() {
    QFETCH(QByteArray, field);
    QFETCH(QString, text);
    QCOMPARE(network::unescapeMountField(field), text);
}

void TestMountTable::networkMountOfAnEntry_data() {
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("type");
    QTest::addColumn<bool>("isNetwork");
    QTest::addColumn<QString>("computer");
    QTest::addColumn<QString>("share");
    auto row = [](const char* name, const QString& device, const QString& type, bool isNetwork,
                  const QString& computer = {}, const QString& share = {}) {
        QTest::newRow(name) << device << type << isNetwork << computer << share;
    };
    row("cifs", "//labserver/images", "cifs", true, "labserver", "images");
    row("smb3 with a sub-folder", "//NAS-02/archive/2024", "smb3", true, "NAS-02", "archive/2024");
    row("cifs, trailing slash", "//labserver/images/", "cifs", true, "labserver", "images");
    row("cifs by address", "//192.168.7.20/scans", "cifs", true, "192.168.7.20", "scans");
    row("cifs with backslashes", R"(\\labserver\images)", "cifs", true, "labserver", "images");
    row("nfs", "nas-02:/export/scans", "nfs", true, "nas-02", "/export/scans");
    row("nfs4", "nas-02:/", "nfs4", true, "nas-02", "/");
    row("nfs4 by v6 address", "[fd00::12]:/data", "nfs4", true, "fd00::12", "/data");
    row("cifs without share", "//no-share-here", "cifs", false);
    row("cifs with an empty share", "//host/", "cifs", false);
    row("cifs without host", "///share", "cifs", false);
    row("nfs without export path", "labserver:relative", "nfs", false);
    row("nfs without host", ":/export", "nfs", false);
    row("nfs v6 unclosed", "[fd00::12:/data", "nfs", false);
    row("ext4", "/dev/sda1", "ext4", false);
    row("tmpfs", "tmpfs", "tmpfs", false);
    row("proc", "proc", "proc", false);
    row("SMB-looking device on ext4", "//labserver/images", "ext4", false);
    row("sshfs", "tech@labserver:/srv/images", "fuse.sshfs", true, "labserver", "/srv/images");
    row("sshfs without user", "labserver:images", "fuse.sshfs", true, "labserver", "images");
    row("sshfs home folder", "tech@labserver:", "fuse.sshfs", true, "labserver", "~");
    row("sshfs by v6 address", "tech@[fd00::12]:/data", "fuse.sshfs", true, "fd00::12", "/data");
    row("sshfs, @ in the path", "labserver:/a@b", "fuse.sshfs", true, "labserver", "/a@b");
    row("sshfs without host", "tech@:/data", "fuse.sshfs", false);
    row("davfs", "https://dav.lab.example/remote.php/Lab%20Images/", "davfs", true,
        "dav.lab.example", "/remote.php/Lab Images");
    row("davfs with port, root", "http://nas-02:8080", "davfs", true, "nas-02", "/");
    row("davfs as plain fuse", "https://nas-02/dav", "fuse", true, "nas-02", "/dav");
    row("other fuse", "gvfsd-fuse", "fuse", false);
    row("davfs without host", "https:///dav", "davfs", false);
    row("gvfs itself", "gvfsd-fuse", "fuse.gvfsd-fuse", false);
}

void TestMountTable::networkMountOfAnEntry() {
    QFETCH(QString, device);
    QFETCH(QString, type);
    QFETCH(bool, isNetwork);
    QFETCH(QString, computer);
    QFETCH(QString, share);
    const std::optional<NetworkMount> mount =
        network::networkMount(MountEntry{device, QStringLiteral("/mnt/x"), type});
    QCOMPARE(mount.has_value(), isNetwork);
    if (mount) {
        QCOMPARE(mount->computer, computer);
        QCOMPARE(mount->share, share);
        QCOMPARE(mount->mountPoint, QStringLiteral("/mnt/x"));
    }
}

void TestMountTable::gvfsSmbShareOfAFolderName_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("computer");
    QTest::addColumn<QString>("share");
    QTest::newRow("plain") << "smb-share:server=labserver,share=images"
                           << "labserver"
                           << "images";
    QTest::newRow("more keys, other order")
        << "smb-share:domain=LAB,share=scans,server=nas-02.local,user=tech"
        << "nas-02.local"
        << "scans";
    QTest::newRow("escaped") << "smb-share:server=labserver,share=lab%20images%2C2024"
                             << "labserver"
                             << "lab images,2024";
    QTest::newRow("no share") << "smb-share:server=labserver" << QString() << QString();
    QTest::newRow("empty server") << "smb-share:server=,share=images" << QString() << QString();
    QTest::newRow("sftp") << "sftp:host=labserver,user=tech" << QString() << QString();
    QTest::newRow("whole server") << "smb-server:server=labserver" << QString() << QString();
}

void TestMountTable::gvfsSmbShareOfAFolderName() {
    QFETCH(QString, name);
    QFETCH(QString, computer);
    QFETCH(QString, share);
    const std::optional<NetworkMount> found = network::gvfsSmbShare(name);
    QCOMPARE(found.has_value(), !computer.isEmpty());
    if (found) {
        QCOMPARE(found->computer, computer);
        QCOMPARE(found->share, share);
    }
}

void TestMountTable::readsOnlyTheNetworkMountsOfAFile() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A GVfs folder as the file manager leaves it: one folder per opened location.
    const QDir gvfs(dir.filePath("gvfs"));
    QVERIFY(gvfs.mkpath("smb-share:server=analyzer-7,share=results"));
    QVERIFY(gvfs.mkpath("sftp:host=labserver,user=tech"));
    QFile file(dir.filePath("mounts"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    const QByteArray table = kSampleTable + "gvfsd-fuse " + QFile::encodeName(gvfs.path()) +
                             " fuse.gvfsd-fuse rw,nosuid,nodev,user_id=1000 0 0\n"
                             "gvfsd-fuse /nonexistent/gvfs fuse.gvfsd-fuse rw 0 0\n"
                             "tech@labserver:/srv /mnt/ssh fuse.sshfs rw 0 0\n";
    QCOMPARE(file.write(table), table.size());
    file.close();

    const std::vector<NetworkMount> mounts = network::readNetworkMounts(file.fileName());

    const std::vector<NetworkMount> expected{
        {"labserver", "images", "/mnt/lab images"},
        {"NAS-02", "archive/2024", "/srv/archive"},
        {"nas-02", "/export/scans", "/mnt/scans"},
        {"fd00::12", "/data", "/mnt/v6\ttab"},
        {"labserver", "/srv", "/mnt/ssh"},
        {"analyzer-7", "results", gvfs.filePath("smb-share:server=analyzer-7,share=results")},
    };
    QCOMPARE(mounts, expected);
}

void TestMountTable::unreadableFileHasNoMounts() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(network::readNetworkMounts(dir.filePath("missing")).empty());
}

void TestMountTable::neighbourhoodGroupsSharesByComputer() {
    const auto neighbourhood = network::NetworkNeighbourhood::fromMounts({
        {"labserver", "images", "/mnt/lab images"},
        {"NAS-02", "archive/2024", "/srv/archive"},
        {"nas-02", "/export/scans", "/mnt/scans"},
        {"labserver", "images", "/mnt/lab images"},
        {"labserver", "images", "/home/tech/images"},
    });

    const std::vector<network::NetworkComputer> expected{
        {"labserver", {{"images", "/mnt/lab images"}, {"images", "/home/tech/images"}}},
        {"NAS-02", {{"archive/2024", "/srv/archive"}, {"/export/scans", "/mnt/scans"}}},
    };
    QCOMPARE(neighbourhood.computers(), expected);
}

void TestMountTable::announcedComputerJoinsItsMountedNamesake() {
    auto neighbourhood =
        network::NetworkNeighbourhood::fromMounts({{"labserver", "images", "/mnt/lab"}});

    QVERIFY(!neighbourhood.addComputer("LabServer.local"));
    QVERIFY(!neighbourhood.addComputer("labserver.local."));
    QVERIFY(neighbourhood.addComputer("scanner-3.local"));
    QVERIFY(!neighbourhood.addComputer("SCANNER-3"));
    QVERIFY(!neighbourhood.addComputer(QString()));

    QCOMPARE(neighbourhood.computers().size(), std::size_t{2});
    QCOMPARE(neighbourhood.computers().at(0).name, QStringLiteral("labserver"));
    QCOMPARE(neighbourhood.computers().at(0).shares.size(), std::size_t{1});
    QCOMPARE(neighbourhood.computers().at(1).name, QStringLiteral("scanner-3.local"));
    QVERIFY(neighbourhood.computers().at(1).shares.empty());
    QVERIFY(neighbourhood.findComputer(u"Scanner-3") != nullptr);
    QVERIFY(neighbourhood.findComputer(u"scanner") == nullptr);
}

QTEST_MAIN(TestMountTable)
#include "tst_mounttable.moc"
