#include <dlfcn.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>
#include <array>
#include <functional>
#include <memory>

#include "MdnsSmbBrowser.h"
#include "NetworkBrowserDialog.h"
#include "QtShellApi.h"
#include "ShellApi.h"
#include "fakes/ModalDriver.h"

using network::ItemList;
using network::NetworkBrowserDialog;
using network::QtShellApi;

namespace {

using namespace std::chrono_literals;

constexpr auto kNoAvahi = "/nonexistent/avahi-browse";

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A stand-in for avahi-browse: a shell script that prints the given text and then does `tail`.
QString writeAvahiScript(const QTemporaryDir& dir, const QByteArray& output,
                         const QByteArray& tail = "exit 0") {
    QString path = dir.filePath(QStringLiteral("avahi-browse"));
    const QByteArray script = "#!/bin/sh\nprintf '%s' '" + output + "'\n" + tail + "\n";
    if (!writeFile(path, script) ||
        !QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        return {};
    }
    return path;
}

// The operator's part at a modal window; whatever `act` leaves open is rejected, so that a failed
// check cannot hang the test.
template <typename T>
std::function<void(T&)> closingAfter(std::function<void(T*)> act) {
    return [act = std::move(act)](T& dialog) {
        const QPointer<T> guard(&dialog);
        act(&dialog);
        if (guard && guard->isVisible()) {
            guard->reject();
        }
    };
}

QTreeWidget* treeOf(QDialog* browser) {
    return browser->findChild<QTreeWidget*>(QStringLiteral("networkTree"));
}

QPushButton* okButtonOf(QDialog* browser) {
    return browser->findChild<QDialogButtonBox*>(QStringLiteral("buttons"))
        ->button(QDialogButtonBox::Ok);
}

QPushButton* newFolderButtonOf(QDialog* browser) {
    return browser->findChild<QPushButton*>(QStringLiteral("newFolderButton"));
}

// The item under the given names from the top, e.g. {"Network", "labserver", "images"}.
QTreeWidgetItem* itemAt(QTreeWidget* tree, const QStringList& names) {
    QTreeWidgetItem* item = tree->invisibleRootItem();
    for (const QString& name : names) {
        QTreeWidgetItem* next = nullptr;
        for (int i = 0; i < item->childCount() && next == nullptr; ++i) {
            if (item->child(i)->text(0) == name) {
                next = item->child(i);
            }
        }
        if (next == nullptr) {
            return nullptr;
        }
        item = next;
    }
    return item;
}

QStringList childNames(const QTreeWidgetItem* item) {
    QStringList names;
    for (int i = 0; i < item->childCount(); ++i) {
        names << item->child(i)->text(0);
    }
    return names;
}

// Opens the items under the given names one level at a time, waiting for each folder to be read.
QTreeWidgetItem* openItem(QTreeWidget* tree, const QStringList& names) {
    QTreeWidgetItem* item = nullptr;
    for (qsizetype depth = 1; depth <= names.size(); ++depth) {
        const QStringList path = names.first(depth);
        if (!QTest::qWaitFor([&] { return itemAt(tree, path) != nullptr; }, 10000)) {
            return nullptr;
        }
        item = itemAt(tree, path);
        item->setExpanded(true);
    }
    return item;
}

// Clicks the item as the operator would, opening its parents first.
bool clickItem(QTreeWidget* tree, const QStringList& names) {
    QTreeWidgetItem* item = itemAt(tree, names);
    if (item == nullptr) {
        return false;
    }
    for (QTreeWidgetItem* parent = item->parent(); parent != nullptr; parent = parent->parent()) {
        parent->setExpanded(true);
    }
    tree->scrollToItem(item);
    // A long name runs past the viewport: click the part that shows.
    const QRect rect = tree->visualItemRect(item).intersected(tree->viewport()->rect());
    if (rect.isEmpty()) {
        return false;
    }
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, rect.center());
    return tree->currentItem() == item;
}

struct BrowseResult {
    ItemList chosen;
    QByteArray displayName;
};

// One browse from the network root, with the operator's part played by `act`.
BrowseResult browse(QtShellApi& shell, QWidget* owner, std::uint32_t flags,
                    std::function<void(NetworkBrowserDialog*)> act) {
    ItemList root;
    if (shell.SHGetSpecialFolderLocation(owner, network::CSIDL_NETWORK, root) != network::S_OK) {
        return {};
    }
    QByteArray displayName(network::MAX_PATH, ' ');
    network::BROWSEINFOA info;
    info.hwndOwner = owner;
    info.pidlRoot = root;
    info.pszDisplayName = {displayName.data(), static_cast<std::size_t>(displayName.size())};
    info.lpszTitle = "Select a network computer or share.";
    info.ulFlags = flags;
    fakes::ModalDriver<NetworkBrowserDialog> atTheBrowser;
    atTheBrowser.then(closingAfter<NetworkBrowserDialog>(std::move(act)));
    const ItemList chosen = shell.SHBrowseForFolderA(info);
    shell.CoTaskMemFree(root);
    return {chosen, displayName};
}

QString textBeforeNul(const QByteArray& buffer) {
    const qsizetype nul = buffer.indexOf('\0');
    return QString::fromLocal8Bit(nul < 0 ? buffer : buffer.first(nul));
}

std::optional<QString> pathOf(QtShellApi& shell, ItemList list) {
    QByteArray path(network::MAX_PATH, ' ');
    if (!shell.SHGetPathFromIDListA(list, {path.data(), static_cast<std::size_t>(path.size())})) {
        return std::nullopt;
    }
    return textBeforeNul(path);
}

}  // namespace

class TestQtShellApi : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void rootIsGivenOnlyForTheNetwork();
    void releasingTwiceOrAStrangerIsRefused();
    void unreleasedListStaysVisible();
    void lstrlenWCountsUpToTheFirstNul_data();
    void lstrlenWCountsUpToTheFirstNul();

    void browserShowsComputersAndTheirShares();
    void computerOnlyBrowseRestrictsTheChoice();
    void chosenShareGivesItsNameAndMountPoint();
    void chosenComputerInAShareBrowseHasNoPath();
    void cancelGivesNoListAndLeavesTheBuffer();
    void browsingFromAReleasedRootIsRefused();
    void newFolderButtonFollowsTheFlags_data();
    void newFolderButtonFollowsTheFlags();
    void foldersInsideAShareCanBeChosen_data();
    void foldersInsideAShareCanBeChosen();
    void unreadableFolderSaysWhyAndIsReadAgain();
    void slowFolderNeverHoldsTheBrowser();
    void emptyNetworkIsExplained_data();
    void emptyNetworkIsExplained();
    void newFolderIsMadeUnderTheSelectedShare_data();
    void newFolderIsMadeUnderTheSelectedShare();
    void newFolderRefusesNamesThatLeaveTheShare_data();
    void newFolderRefusesNamesThatLeaveTheShare();
    void newFolderReportsAFolderThatCannotBeMade();

    void longDisplayNameIsCutAtACharacterInsideTheBuffer();
    void shortBufferIsNeverOverrun();
    void pathLongerThanTheBufferIsNoPath();

    void announcedComputersAppearOnceEach();
    void slowAnnouncementsNeverHoldTheBrowser();
    void resolvedSmbHostOfALine_data();
    void resolvedSmbHostOfALine();

private:
    void closeStuckModalWindows();

    std::optional<QTemporaryDir> dir_;
    QString mountsFile_;
    // Turns a modal window that nothing answers into a failure instead of a hang.
    QTimer watchdog_;
    bool watchdogFired_ = false;
};

void TestQtShellApi::closeStuckModalWindows() {
    watchdogFired_ = true;
    for (int i = 0; i < 10; ++i) {
        auto* stuck = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (stuck == nullptr) {
            return;
        }
        stuck->reject();
    }
}

void TestQtShellApi::initTestCase() {
    watchdog_.setSingleShot(true);
    connect(&watchdog_, &QTimer::timeout, this, &TestQtShellApi::closeStuckModalWindows);
}

void TestQtShellApi::init() {
    watchdogFired_ = false;
    watchdog_.start(15000);
    dir_.emplace();
    QVERIFY(dir_->isValid());
    QVERIFY(QDir(dir_->path()).mkpath(QStringLiteral("mnt/lab images")));
    QVERIFY(QDir(dir_->path()).mkpath(QStringLiteral("srv/archive")));
    for (const char* folder : {"2023/jan", "2023/feb", "2024", ".snapshot"}) {
        QVERIFY(QDir(dir_->filePath("mnt/lab images")).mkpath(QLatin1String(folder)));
    }
    QVERIFY(writeFile(dir_->filePath("mnt/lab images/notes.txt"), "not a folder"));
    mountsFile_ = dir_->filePath(QStringLiteral("mounts"));
    const QByteArray labImages =
        QFile::encodeName(dir_->filePath("mnt/lab images")).replace(" ", "\\040");
    const QByteArray archive = QFile::encodeName(dir_->filePath("srv/archive"));
    QVERIFY(writeFile(mountsFile_,
                      "/dev/sda1 / ext4 rw 0 0\n"
                      "proc /proc proc rw 0 0\n"
                      "//labserver/images " +
                          labImages +
                          " cifs rw,vers=3.1.1 0 0\n"
                          "nas-02:/export/archive " +
                          archive +
                          " nfs4 rw 0 0\n"
                          "//NAS-02/scans /mnt/missing-scans smb3 rw 0 0\n"
                          "//Analyzer-7/results /mnt/results cifs rw 0 0\n"));
}

void TestQtShellApi::cleanup() {
    watchdog_.stop();
    QVERIFY2(!watchdogFired_, "a modal window waited for an answer that never came");
    for (const QWidget* widget : QApplication::topLevelWidgets()) {
        QVERIFY2(!widget->isVisible(), qPrintable(widget->objectName() + " was left open"));
    }
    dir_.reset();
}

void TestQtShellApi::rootIsGivenOnlyForTheNetwork() {
    QtShellApi shell(mountsFile_, kNoAvahi);
    ItemList root(77);
    QCOMPARE(shell.SHGetSpecialFolderLocation(nullptr, 0x0005, root), network::E_INVALIDARG);
    QVERIFY(root.isNull());
    QCOMPARE(shell.liveHandleCount(), std::size_t{0});

    QCOMPARE(shell.SHGetSpecialFolderLocation(nullptr, network::CSIDL_NETWORK, root),
             network::S_OK);
    QVERIFY(!root.isNull());
    QCOMPARE(shell.liveHandleCount(), std::size_t{1});
    // The network itself has no file-system path.
    QVERIFY(!pathOf(shell, root));
    shell.CoTaskMemFree(root);
    QCOMPARE(shell.liveHandleCount(), std::size_t{0});
}

void TestQtShellApi::releasingTwiceOrAStrangerIsRefused() {
    QtShellApi shell(mountsFile_, kNoAvahi);
    ItemList first;
    ItemList second;
    QCOMPARE(shell.SHGetSpecialFolderLocation(nullptr, network::CSIDL_NETWORK, first),
             network::S_OK);
    QCOMPARE(shell.SHGetSpecialFolderLocation(nullptr, network::CSIDL_NETWORK, second),
             network::S_OK);
    QVERIFY(first != second);

    shell.CoTaskMemFree(first);
    QVERIFY_THROWS_EXCEPTION(network::ShellError, shell.CoTaskMemFree(first));
    QVERIFY_THROWS_EXCEPTION(network::ShellError, shell.CoTaskMemFree(ItemList(9999)));
    QVERIFY_THROWS_EXCEPTION(network::ShellError, pathOf(shell, first));
    // The refused releases took nothing else with them.
    QCOMPARE(shell.liveHandleCount(), std::size_t{1});
    shell.CoTaskMemFree(ItemList());
    QCOMPARE(shell.liveHandleCount(), std::size_t{1});
    shell.CoTaskMemFree(second);
    QCOMPARE(shell.liveHandleCount(), std::size_t{0});
}

void TestQtShellApi::unreleasedListStaysVisible() {
    QtShellApi shell(mountsFile_, kNoAvahi);
    QWidget owner;
    const BrowseResult result =
        browse(shell, &owner, network::BIF_BROWSEFORCOMPUTER, [](NetworkBrowserDialog* browser) {
            QVERIFY(clickItem(treeOf(browser), {"Network", "labserver"}));
            QTest::mouseClick(okButtonOf(browser), Qt::LeftButton);
        });
    QVERIFY(!result.chosen.isNull());
    // The root is released by browse(); the chosen list is not yet.
    QCOMPARE(shell.liveHandleCount(), std::size_t{1});
    shell.CoTaskMemFree(result.chosen);
    QCOMPARE(shell.liveHandleCount(), std::size_t{0});
}

void TestQtShellApi::lstrlenWCountsUpToTheFirstNul_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("length");
    QTest::newRow("empty") << QString() << 0;
    QTest::newRow("no NUL") << "labserver" << 9;
    QTest::newRow("NUL inside") << QString::fromUtf16(u"lab\0server", 10) << 3;
    QTest::newRow("NUL first") << QString::fromUtf16(u"\0lab", 4) << 0;
    QTest::newRow("blanks") << QString(260, u' ') << 260;
}

void TestQtShellApi::lstrlenWCountsUpToTheFirstNul() {
    QFETCH(QString, text);
    QFETCH(int, length);
    QtShellApi shell(mountsFile_, kNoAvahi);
    QCOMPARE(shell.lstrlenW(text), length);
}

void TestQtShellApi::browserShowsComputersAndTheirShares() {
    QtShellApi shell(mountsFile_, kNoAvahi);
    QWidget owner;
    QStringList computers;
    QStringList labShares;
    QStringList nasShares;
    QString title;
    QWidget* parent = nullptr;
    bool modal = false;
    QString labPath;
    browse(shell, &owner, network::BIF_RETURNONLYFSDIRS, [&](NetworkBrowserDialog* browser) {
        title = browser->windowTitle();
        parent = browser->parentWidget();
        modal = browser->isModal();
        QTreeWidget* tree = treeOf(browser);
        QCOMPARE(tree->topLevelItemCount(), 1);
        QCOMPARE(tree->topLevelItem(0)->text(0), QStringLiteral("Network"));
        QVERIFY(tree->topLevelItem(0)->isExpanded());
        computers = childNames(itemAt(tree, {"Network"}));
        labShares = childNames(itemAt(tree, {"Network", "labserver"}));
        nasShares = childNames(itemAt(tree, {"Network", "nas-02"}));
        labPath = itemAt(tree, {"Network", "labserver", "images"})->text(1);
    });
    QCOMPARE(title, QStringLiteral("Select a network computer or share."));
    QCOMPARE(parent, &owner);
    QVERIFY(modal);
    // Sorted without regard to case; NAS-02 from the SMB line joins nas-02 from the NFS line.
    QCOMPARE(computers, (QStringList{"Analyzer-7", "labserver", "nas-02"}));
    QCOMPARE(labShares, QStringList{"images"});
    QCOMPARE(nasShares, (QStringList{"/export/archive", "scans"}));
    QCOMPARE(labPath, dir_->filePath("mnt/lab images"));
    QCOMPARE(shell.liveHandleCount(), std::size_t{0});
}

void TestQtShellApi::computerOnlyBrowseRestrictsTheChoice() {
    QtShellApi shell(mountsFile_, kNoAvahi);
    QWidget owner;
    bool okOnRoot = true;
    bool okOnShare = true;
    bool okOnComputer = false;
    bool stayedOpenOnShare = false;
    const BrowseResult result =
        browse(shell, &owner, network::BIF_BROWSEFORCOMPUTER, [&](NetworkBrowserDialog* browser) {
            QTreeWidget* tree = treeOf(browser);
            QPushButton* ok = okButtonOf(browser);
            QCOMPARE(tree->currentItem(), itemAt(tree, {"Network"}));
            okOnRoot = ok->isEnabled();
            QVERIFY(clickItem(tree, {"Network", "labserver", "images"}));
            okOnShare = ok->isEnabled();
            // Enter reaches accept() even when the button is disabled: it must refuse too.
            browser->accept();
            stayedOpenOnShare = browser->isVisible();
            QVERIFY(clickItem(tree, {"Network", "nas-02"}));
            okOnComputer = ok->isEnabled();
            QTest::mouseClick(ok, Qt::LeftButton);
        });
    QVERIFY(!okOnRoot);
    QVERIFY(!okOnShare);
    QVERIFY(stayedOpenOnShare);
    QVERIFY(okOnComputer);
    QVERIFY(!result.chosen.isNull());
    QCOMPARE(textBeforeNul(result.displayName), QStringLiteral("nas-02"));
    QVERIFY(!pathOf(shell, result.chosen));
    shell.CoTaskMemFree(result.chosen);
    QCOMPARE(shell.liveHandleCount(), std::size_t{0});
}

void TestQtShellApi::chosenShareGivesItsNameAndMountPoint() {
    QtShellApi shell(mountsFile_, kNoAvahi);
    QWidget owner;
    const BrowseResult result =
        browse(shell, &owner, network::BIF_RETURNONLYFSDIRS, [](NetworkBrowserDialog* browser) {
            QVERIFY(clickItem(treeOf(browser), {"Network", "labserver", "images"}));
            QVERIFY(okButtonOf(browser)->isEnabled());
            QTest::mouseClick(okButtonOf(browser), Qt::LeftButton);
        });
    QVERIFY(!result.chosen.isNull());
    QCOMPARE(textBeforeNul(result.displayName), QStringLiteral("images"));
    QCOMPARE(result.displayName.size(), network::MAX_PATH);
    QCOMPARE(pathOf(shell, result.chosen).value_or("<no path>"), dir_->filePath("mnt/lab images"));
    shell.CoTaskMemFree(result.chosen);
    QCOMPARE(shell.liveHandleCount(), std::size_t{0});
}

void TestQtShellApi::chosenComputerInAShareBrowseHasNoPath() {
    QtShellApi shell(mountsFile_, kNoAvahi);
    QWidget owner;
    bool okOnRoot = true;
    const BrowseResult result =
        browse(shell, &owner, network::BIF_RETURNONLYFSDIRS, [&](NetworkBrowserDialog* browser) {
            okOnRoot = okButtonOf(browser)->isEnabled();
            QVERIFY(clickItem(treeOf(browser), {"Network", "Analyzer-7"}));
            QTest::mouseClick(okButtonOf(browser), Qt::LeftButton);
        });
    QVERIFY(!okOnRoot);
    QVERIFY(!result.chosen.isNull());
    QCOMPARE(textBeforeNul(result.displayName), QStringLiteral("Analyzer-7"));
    QVERIFY(!pathOf(shell, result.chosen));
    shell.CoTaskMemFree(result.chosen);
}

void TestQtShellApi::cancelGivesNoListAndLeavesTheBuffer() {
    QtShellApi shell(mountsFile_, kNoAvahi);
    QWidget owner;
    const BrowseResult result =
        browse(shell, &owner, network::BIF_RETURNONLYFSDIRS, [](NetworkBrowserDialog* browser) {
            QVERIFY(clickItem(treeOf(browser), {"Network", "labserver", "images"}));
            QTest::mouseClick(
                browser->findChild<QDialogButtonBox*>("buttons")->button(QDialogButtonBox::Cancel),
                Qt::LeftButton);
        });
    QVERIFY(result.chosen.isNull());
    QCOMPARE(result.displayName, QByteArray(network::MAX_PATH, ' '));
    QCOMPARE(shell.liveHandleCount(), std::size_t{0});
}

void TestQtShellApi::browsingFromAReleasedRootIsRefused() {
    QtShellApi shell(mountsFile_, kNoAvahi);
    ItemList root;
    QCOMPARE(shell.SHGetSpecialFolderLocation(nullptr, network::CSIDL_NETWORK, root),
             network::S_OK);
    shell.CoTaskMemFree(root);
    QByteArray displayName(network::MAX_PATH, ' ');
    network::BROWSEINFOA info;
    info.pidlRoot = root;
    info.pszDisplayName = {displayName.data(), static_cast<std::size_t>(displayName.size())};
    QVERIFY_THROWS_EXCEPTION(network::ShellError, shell.SHBrowseForFolderA(info));
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
}

void TestQtShellApi::newFolderButtonFollowsTheFlags_data() {
    QTest::addColumn<uint>("flags");
    QTest::addColumn<bool>("hasButton");
    QTest::newRow("old style share browse") << 0x0001U << false;
    QTest::newRow("new style share browse") << 0x0041U << true;
    QTest::newRow("new style, no button") << 0x0241U << false;
    QTest::newRow("old style, no button") << 0x0201U << false;
    QTest::newRow("old style computer browse") << 0x1000U << false;
    QTest::newRow("new style computer browse") << 0x1040U << true;
    QTest::newRow("new style computer browse, no button") << 0x1240U << false;
}

void TestQtShellApi::newFolderButtonFollowsTheFlags() {
    QFETCH(uint, flags);
    QFETCH(bool, hasButton);
    QtShellApi shell(mountsFile_, kNoAvahi);
    QWidget owner;
    bool found = !hasButton;
    bool enabledOnComputer = true;
    bool enabledOnShare = false;
    browse(shell, &owner, flags, [&](NetworkBrowserDialog* browser) {
        QPushButton* button = newFolderButtonOf(browser);
        found = button != nullptr;
        if (button != nullptr) {
            QCOMPARE(button->text(), QStringLiteral("&New Folder"));
            QVERIFY(clickItem(treeOf(browser), {"Network", "labserver"}));
            enabledOnComputer = button->isEnabled();
            QVERIFY(clickItem(treeOf(browser), {"Network", "labserver", "images"}));
            enabledOnShare = button->isEnabled();
        }
    });
    QCOMPARE(found, hasButton);
    if (hasButton) {
        QVERIFY(!enabledOnComputer);
        QVERIFY(enabledOnShare);
    }
    QCOMPARE(shell.liveHandleCount(), std::size_t{0});
}

void TestQtShellApi::foldersInsideAShareCanBeChosen_data() {
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("folder");
    QTest::newRow("folder of a share")
        << QStringList{"Network", "labserver", "images", "2024"} << "mnt/lab images/2024";
    QTest::newRow("folder in a folder")
        << QStringList{"Network", "labserver", "images", "2023", "feb"}
        << "mnt/lab images/2023/feb";
}

void TestQtShellApi::foldersInsideAShareCanBeChosen() {
    QFETCH(QStringList, names);
    QFETCH(QString, folder);
    QtShellApi shell(mountsFile_, kNoAvahi);
    QWidget owner;
    QStringList inTheShare;
    const BrowseResult result =
        browse(shell, &owner, network::BIF_RETURNONLYFSDIRS, [&](NetworkBrowserDialog* browser) {
            QTreeWidget* tree = treeOf(browser);
            QVERIFY(openItem(tree, names) != nullptr);
            inTheShare = childNames(itemAt(tree, {"Network", "labserver", "images"}));
            QVERIFY(clickItem(tree, names));
            QVERIFY(okButtonOf(browser)->isEnabled());
            QTest::mouseClick(okButtonOf(browser), Qt::LeftButton);
        });
    // Files and hidden folders are no place to save into.
    QCOMPARE(inTheShare, (QStringList{"2023", "2024"}));
    QVERIFY(!result.chosen.isNull());
    QCOMPARE(textBeforeNul(result.displayName), names.last());
    QCOMPARE(pathOf(shell, result.chosen).value_or("<no path>"), dir_->filePath(folder));
    shell.CoTaskMemFree(result.chosen);
    QCOMPARE(shell.liveHandleCount(), std::size_t{0});
}

// A failed check inside the operator's part is recorded like any other and ends that part.
void TestQtShellApi::unreadableFolderSaysWhyAndIsReadAgain() {
    const QString later = dir_->filePath("later");
    QVERIFY(
        writeFile(mountsFile_, "//labserver/later " + QFile::encodeName(later) + " cifs rw 0 0\n"));
    QtShellApi shell(mountsFile_, kNoAvahi);
    QWidget owner;
    browse(shell, &owner, network::BIF_RETURNONLYFSDIRS | network::BIF_NEWDIALOGSTYLE,
           [&](NetworkBrowserDialog* browser) {
               QTreeWidget* tree = treeOf(browser);
               QTreeWidgetItem* share = openItem(tree, {"Network", "labserver", "later"});
               QVERIFY(share != nullptr);
               QTRY_VERIFY_WITH_TIMEOUT(
                   share->childCount() == 1 &&
                       share->child(0)->text(0).contains("No such file or directory"),
                   10000);
               tree->setCurrentItem(share->child(0));
               QVERIFY(!okButtonOf(browser)->isEnabled());
               QVERIFY(!newFolderButtonOf(browser)->isEnabled());
               browser->accept();
               QVERIFY(browser->isVisible());

               // Mounted meanwhile: opening the share again reads it again.
               QVERIFY(QDir(later).mkpath(QStringLiteral("station1")));
               share->setExpanded(false);
               share->setExpanded(true);
               QTRY_COMPARE_WITH_TIMEOUT(childNames(share), QStringList{"station1"}, 10000);
           });
}

void TestQtShellApi::slowFolderNeverHoldsTheBrowser() {
    const QString slowShare = dir_->filePath("mnt/lab images");
    // Reads inside the slow share wait until the test lets them go; every other read is direct.
    auto gate = std::make_shared<QSemaphore>(0);
    auto slowReadsDone = std::make_shared<QSemaphore>(0);
    QtShellApi shell(mountsFile_, kNoAvahi, 4s, [=](const QString& path) {
        if (!path.startsWith(slowShare)) {
            return network::readSubfolders(path);
        }
        // Bounded, so that a read on the dialog's own thread fails the test instead of hanging it.
        gate->tryAcquire(1, 20000);
        network::FolderListing listing = network::readSubfolders(path);
        slowReadsDone->release();
        return listing;
    });
    QVERIFY(QDir(dir_->filePath("srv/archive")).mkpath("2022"));
    QWidget owner;
    browse(shell, &owner, network::BIF_RETURNONLYFSDIRS, [&](NetworkBrowserDialog* browser) {
        QTreeWidget* tree = treeOf(browser);
        QTreeWidgetItem* slow = openItem(tree, {"Network", "labserver", "images"});
        QVERIFY(slow != nullptr);
        QCOMPARE(childNames(slow), QStringList{"Reading..."});
        QVERIFY(clickItem(tree, {"Network", "labserver", "images"}));
        QVERIFY(okButtonOf(browser)->isEnabled());
        QTreeWidgetItem* other = openItem(tree, {"Network", "nas-02", "/export/archive"});
        QVERIFY(other != nullptr);
        QTRY_COMPARE_WITH_TIMEOUT(childNames(other), QStringList{"2022"}, 10000);

        gate->release();
        QTRY_COMPARE_WITH_TIMEOUT(childNames(slow), (QStringList{"2023", "2024"}), 10000);
        // Closed while a read still waits: its answer must find nothing left to touch.
        itemAt(tree, {"Network", "labserver", "images", "2023"})->setExpanded(true);
        browser->reject();
    });
    gate->release();
    QVERIFY(slowReadsDone->tryAcquire(2, 10000));
    QTest::qWait(50);
    QCOMPARE(shell.liveHandleCount(), std::size_t{0});
}

void TestQtShellApi::emptyNetworkIsExplained_data() {
    QTest::addColumn<bool>("withAvahi");
    QTest::addColumn<QByteArray>("avahiEnd");
    QTest::addColumn<QString>("why");
    QTest::newRow("no avahi-browse") << false << QByteArray() << "package avahi-utils";
    QTest::newRow("nobody announces") << true << QByteArray("exit 0") << "No computer";
    QTest::newRow("no avahi daemon") << true << QByteArray("exit 1") << "avahi-daemon";
    QTest::newRow("still searching") << true << QByteArray("exec sleep 30") << "Looking for";
}

void TestQtShellApi::emptyNetworkIsExplained() {
    QFETCH(bool, withAvahi);
    QFETCH(QByteArray, avahiEnd);
    QFETCH(QString, why);
    QVERIFY(writeFile(mountsFile_, "/dev/sda1 / ext4 rw 0 0\nproc /proc proc rw 0 0\n"));
    const QString avahi = withAvahi ? writeAvahiScript(*dir_, "", avahiEnd) : kNoAvahi;
    QVERIFY(!avahi.isEmpty());
    QtShellApi shell(mountsFile_, avahi, 20s);
    QWidget owner;
    browse(shell, &owner, network::BIF_RETURNONLYFSDIRS, [&](NetworkBrowserDialog* browser) {
        const auto* line = browser->findChild<QLabel*>("mdnsStatus");
        QTRY_VERIFY_WITH_TIMEOUT(line->text().contains(why), 10000);
        QVERIFY2(line->isVisible() && line->text().contains("No network share is mounted"),
                 qPrintable(line->text()));
    });
}

void TestQtShellApi::newFolderIsMadeUnderTheSelectedShare_data() {
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<bool>("stalled");
    QTest::newRow("in the share") << QStringList{"Network", "labserver", "images"}
                                  << "mnt/lab images" << false;
    QTest::newRow("in a folder of the share")
        << QStringList{"Network", "labserver", "images", "2023"} << "mnt/lab images/2023" << false;
    QTest::newRow("in a share that stalls")
        << QStringList{"Network", "labserver", "images"} << "mnt/lab images" << true;
}

void TestQtShellApi::newFolderIsMadeUnderTheSelectedShare() {
    QFETCH(QStringList, names);
    QFETCH(QString, parent);
    QFETCH(bool, stalled);
    const auto stallBelow =
        reinterpret_cast<void (*)(const char*, int)>(dlsym(RTLD_DEFAULT, "stall_open_below"));
    if (stalled && stallBelow == nullptr) {
        QSKIP("needs the stall_open helper preloaded (LD_PRELOAD), as the test command does");
    }
    constexpr int kStallSeconds = 4;
    QtShellApi shell(mountsFile_, kNoAvahi);
    QWidget owner;
    QString prompt;
    qint64 clickTook = -1;
    const BrowseResult result = browse(
        shell, &owner, network::BIF_RETURNONLYFSDIRS | network::BIF_NEWDIALOGSTYLE,
        [&](NetworkBrowserDialog* browser) {
            QVERIFY(openItem(treeOf(browser), names) != nullptr);
            QVERIFY(clickItem(treeOf(browser), names));
            fakes::ModalDriver<QInputDialog> naming;
            naming.then([&](QInputDialog& input) {
                prompt = input.labelText();
                input.setTextValue(QStringLiteral("  run 2024-05  "));
                input.accept();
            });
            if (stalled) {
                stallBelow(QFile::encodeName(dir_->filePath(parent)), kStallSeconds);
            }
            QElapsedTimer clock;
            clock.start();
            QTest::mouseClick(newFolderButtonOf(browser), Qt::LeftButton);
            clickTook = clock.elapsed();
            QTRY_COMPARE_WITH_TIMEOUT(treeOf(browser)->currentItem()->text(0),
                                      QStringLiteral("run 2024-05"), (kStallSeconds + 5) * 1000);
            if (stalled) {
                stallBelow("", 0);
            }
            QTest::mouseClick(okButtonOf(browser), Qt::LeftButton);
        });
    // A share that does not answer leaves the dialog to the operator meanwhile.
    QVERIFY2(clickTook >= 0 && clickTook < kStallSeconds * 1000 / 2,
             qPrintable(QString::number(clickTook)));
    const QString created = dir_->filePath(parent + "/run 2024-05");
    QVERIFY(prompt.contains(dir_->filePath(parent)));
    QVERIFY(QFileInfo(created).isDir());
    QVERIFY(!result.chosen.isNull());
    QCOMPARE(textBeforeNul(result.displayName), QStringLiteral("run 2024-05"));
    QCOMPARE(pathOf(shell, result.chosen).value_or("<no path>"), created);
    shell.CoTaskMemFree(result.chosen);
    QCOMPARE(shell.liveHandleCount(), std::size_t{0});
}

void TestQtShellApi::newFolderRefusesNamesThatLeaveTheShare_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("slash") << "a/b";
    QTest::newRow("parent") << "..";
    QTest::newRow("escape upwards") << "../escaped";
    QTest::newRow("dots inside") << "x..y";
    QTest::newRow("current") << ".";
    QTest::newRow("absolute") << "/tmp/elsewhere";
}

void TestQtShellApi::newFolderRefusesNamesThatLeaveTheShare() {
    QFETCH(QString, name);
    QtShellApi shell(mountsFile_, kNoAvahi);
    QWidget owner;
    QString warning;
    const QStringList sharesBefore = QDir(dir_->filePath("mnt/lab images")).entryList();
    const QStringList mntBefore = QDir(dir_->filePath("mnt")).entryList();
    int itemsAfter = -1;
    browse(
        shell, &owner, network::BIF_RETURNONLYFSDIRS | network::BIF_NEWDIALOGSTYLE,
        [&](NetworkBrowserDialog* browser) {
            QVERIFY(clickItem(treeOf(browser), {"Network", "labserver", "images"}));
            fakes::ModalDriver<QInputDialog> naming;
            fakes::ModalDriver<QMessageBox> warned;
            naming.then([&](QInputDialog& input) {
                input.setTextValue(name);
                input.accept();
            });
            warned.then([&](QMessageBox& box) {
                warning = box.text();
                box.accept();
            });
            QTest::mouseClick(newFolderButtonOf(browser), Qt::LeftButton);
            itemsAfter = itemAt(treeOf(browser), {"Network", "labserver", "images"})->childCount();
        });
    QCOMPARE(warning, QStringLiteral("A folder name cannot contain \"/\" or \"..\"."));
    QCOMPARE(itemsAfter, 0);
    QCOMPARE(QDir(dir_->filePath("mnt/lab images")).entryList(), sharesBefore);
    QCOMPARE(QDir(dir_->filePath("mnt")).entryList(), mntBefore);
}

void TestQtShellApi::newFolderReportsAFolderThatCannotBeMade() {
    QtShellApi shell(mountsFile_, kNoAvahi);
    QWidget owner;
    QString warningForMissingShare;
    QString warningForExisting;
    QVERIFY(QDir(dir_->filePath("srv/archive")).mkdir(QStringLiteral("2023")));
    browse(shell, &owner, network::BIF_RETURNONLYFSDIRS | network::BIF_NEWDIALOGSTYLE,
           [&](NetworkBrowserDialog* browser) {
               fakes::ModalDriver<QInputDialog> naming;
               fakes::ModalDriver<QMessageBox> warned;
               // Listed in the mount table, but nothing is at its mount point.
               QVERIFY(clickItem(treeOf(browser), {"Network", "nas-02", "scans"}));
               naming.then([](QInputDialog& input) {
                   input.setTextValue(QStringLiteral("new"));
                   input.accept();
               });
               warned.then([&](QMessageBox& box) {
                   warningForMissingShare = box.text();
                   box.accept();
               });
               QTest::mouseClick(newFolderButtonOf(browser), Qt::LeftButton);
               QTRY_VERIFY(!warningForMissingShare.isEmpty());

               QVERIFY(clickItem(treeOf(browser), {"Network", "nas-02", "/export/archive"}));
               naming.then([](QInputDialog& input) {
                   input.setTextValue(QStringLiteral("2023"));
                   input.accept();
               });
               warned.then([&](QMessageBox& box) {
                   warningForExisting = box.text();
                   box.accept();
               });
               QTest::mouseClick(newFolderButtonOf(browser), Qt::LeftButton);
               QTRY_VERIFY(!warningForExisting.isEmpty());
           });
    QVERIFY2(
        warningForMissingShare.startsWith("The folder /mnt/missing-scans/new could not be made: "),
        qPrintable(warningForMissingShare));
    QVERIFY2(warningForMissingShare.contains("No such file or directory"),
             qPrintable(warningForMissingShare));
    QVERIFY2(warningForExisting.endsWith("already exists."), qPrintable(warningForExisting));
    QVERIFY(!QFileInfo::exists("/mnt/missing-scans/new"));
}

void TestQtShellApi::longDisplayNameIsCutAtACharacterInsideTheBuffer() {
    const QString longName = QString(300, u'é');
    QVERIFY(writeFile(mountsFile_, "//" + longName.toUtf8() + "/share /mnt/long cifs rw 0 0\n"));
    QtShellApi shell(mountsFile_, kNoAvahi);
    QWidget owner;
    const BrowseResult result =
        browse(shell, &owner, network::BIF_BROWSEFORCOMPUTER, [&](NetworkBrowserDialog* browser) {
            QVERIFY(clickItem(treeOf(browser), {"Network", longName}));
            QTest::mouseClick(okButtonOf(browser), Qt::LeftButton);
        });
    QVERIFY(!result.chosen.isNull());
    QCOMPARE(result.displayName.size(), network::MAX_PATH);
    const qsizetype nul = result.displayName.indexOf('\0');
    // 259 bytes of room hold 129 two-byte characters; half of the 130th must not be left behind.
    QCOMPARE(nul, qsizetype{258});
    QCOMPARE(textBeforeNul(result.displayName), QString(129, u'é'));
    shell.CoTaskMemFree(result.chosen);
}

void TestQtShellApi::shortBufferIsNeverOverrun() {
    std::array<char, 20> storage{};
    storage.fill('x');
    QVERIFY(!network::copyToBuffer(QStringLiteral("labserver-with-a-long-name"),
                                   std::span<char>(storage).first(10)));
    QCOMPARE(QByteArray(storage.data(), 10), QByteArray("labserver\0", 10));
    QCOMPARE(QByteArray(storage.data() + 10, 10), QByteArray(10, 'x'));

    QVERIFY(network::copyToBuffer(QStringLiteral("nas"), std::span<char>(storage).first(4)));
    QCOMPARE(QByteArray(storage.data(), 4), QByteArray("nas\0", 4));
    QVERIFY(!network::copyToBuffer(QStringLiteral("nas"), std::span<char>()));
}

void TestQtShellApi::pathLongerThanTheBufferIsNoPath() {
    const QString deepMount = QStringLiteral("/mnt/") + QString(300, u'd');
    QVERIFY(writeFile(mountsFile_, "//labserver/deep " + deepMount.toUtf8() + " cifs rw 0 0\n"));
    QtShellApi shell(mountsFile_, kNoAvahi);
    QWidget owner;
    const BrowseResult result =
        browse(shell, &owner, network::BIF_RETURNONLYFSDIRS, [](NetworkBrowserDialog* browser) {
            QVERIFY(clickItem(treeOf(browser), {"Network", "labserver", "deep"}));
            QTest::mouseClick(okButtonOf(browser), Qt::LeftButton);
        });
    QVERIFY(!result.chosen.isNull());
    QVERIFY(!pathOf(shell, result.chosen));
    shell.CoTaskMemFree(result.chosen);
}

void TestQtShellApi::announcedComputersAppearOnceEach() {
    const QString avahi = writeAvahiScript(
        *dir_,
        "+;eth0;IPv4;Scanner\\0323;_smb._tcp;local\n"
        "=;eth0;IPv4;Scanner\\0323;_smb._tcp;local;scanner-3.local;192.168.7.33;445;\n"
        "=;eth0;IPv6;Scanner\\0323;_smb._tcp;local;scanner-3.local;fe80::3;445;\n"
        "=;eth0;IPv4;LABSERVER;_smb._tcp;local;labserver.local;192.168.7.2;445;\n"
        "=;eth0;IPv4;Microscope;_smb._tcp;local;micro\\032room.local;192.168.7.40;445;");
    QVERIFY(!avahi.isEmpty());
    QtShellApi shell(mountsFile_, avahi, 5s);
    QWidget owner;
    QStringList computers;
    bool statusHidden = false;
    const BrowseResult result =
        browse(shell, &owner, network::BIF_BROWSEFORCOMPUTER, [&](NetworkBrowserDialog* browser) {
            QTreeWidget* tree = treeOf(browser);
            QTRY_COMPARE(itemAt(tree, {"Network"})->childCount(), 5);
            QTRY_VERIFY(browser->findChild<QLabel*>("mdnsStatus")->isHidden());
            statusHidden = true;
            computers = childNames(itemAt(tree, {"Network"}));
            QVERIFY(clickItem(tree, {"Network", "scanner-3.local"}));
            QTest::mouseClick(okButtonOf(browser), Qt::LeftButton);
        });
    QVERIFY(statusHidden);
    QCOMPARE(computers, (QStringList{"Analyzer-7", "labserver", "micro room.local", "nas-02",
                                     "scanner-3.local"}));
    QVERIFY(!result.chosen.isNull());
    QCOMPARE(textBeforeNul(result.displayName), QStringLiteral("scanner-3.local"));
    shell.CoTaskMemFree(result.chosen);
    QCOMPARE(shell.liveHandleCount(), std::size_t{0});
}

void TestQtShellApi::slowAnnouncementsNeverHoldTheBrowser() {
    const QString avahi = writeAvahiScript(
        *dir_, "=;eth0;IPv4;Slow;_smb._tcp;local;slow-nas.local;192.168.7.50;445;\n",
        "exec sleep 30");
    QVERIFY(!avahi.isEmpty());
    QtShellApi shell(mountsFile_, avahi, 400ms);
    QWidget owner;
    QElapsedTimer clock;
    clock.start();
    qint64 shownAfter = -1;
    qint64 statusHiddenAfter = -1;
    bool slowComputerListed = false;
    browse(shell, &owner, network::BIF_BROWSEFORCOMPUTER, [&](NetworkBrowserDialog* browser) {
        shownAfter = clock.elapsed();
        QTRY_VERIFY(itemAt(treeOf(browser), {"Network", "slow-nas.local"}) != nullptr);
        slowComputerListed = true;
        QTRY_VERIFY(browser->findChild<QLabel*>("mdnsStatus")->isHidden());
        statusHiddenAfter = clock.elapsed();
        browser->reject();
    });
    QVERIFY(slowComputerListed);
    QVERIFY2(shownAfter >= 0 && shownAfter < 2000, qPrintable(QString::number(shownAfter)));
    // Stopped at its deadline, not at the end of its 30 seconds.
    QVERIFY2(statusHiddenAfter >= 0 && statusHiddenAfter < 5000,
             qPrintable(QString::number(statusHiddenAfter)));
    QVERIFY(clock.elapsed() < 10000);
}

void TestQtShellApi::resolvedSmbHostOfALine_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("host");
    QTest::newRow("resolved") << QByteArray(
                                     "=;eth0;IPv4;NAS;_smb._tcp;local;nas.local;10.0.0.2;445;")
                              << "nas.local";
    QTest::newRow("escaped blank")
        << QByteArray("=;eth0;IPv4;A;_smb._tcp;local;a\\032b.local;x;445;") << "a b.local";
    QTest::newRow("escaped dot") << QByteArray("=;eth0;IPv4;A;_smb._tcp;local;a\\.b.local;x;445;")
                                 << "a.b.local";
    QTest::newRow("trailing dot") << QByteArray("=;eth0;IPv4;A;_smb._tcp;local;nas.local.;x;445;")
                                  << "nas.local";
    QTest::newRow("found, not resolved")
        << QByteArray("+;eth0;IPv4;NAS;_smb._tcp;local") << QString();
    QTest::newRow("removed") << QByteArray("-;eth0;IPv4;NAS;_smb._tcp;local") << QString();
    QTest::newRow("too short") << QByteArray("=;eth0;IPv4;NAS;_smb._tcp;local") << QString();
    QTest::newRow("empty host") << QByteArray("=;eth0;IPv4;NAS;_smb._tcp;local;;x;445;")
                                << QString();
    QTest::newRow("empty line") << QByteArray() << QString();
}

void TestQtShellApi::resolvedSmbHostOfALine() {
    QFETCH(QByteArray, line);
    QFETCH(QString, host);
    const std::optional<QString> found = network::resolvedSmbHost(line);
    QCOMPARE(found.value_or(QString()), host);
    QCOMPARE(found.has_value(), !host.isEmpty());
}

QTEST_MAIN(TestQtShellApi)
#include "tst_qtshellapi.moc"
