#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include "Form_GetDirectory.h"
#include "ShellApi.h"
#include "Twips.h"
#include "fakes/RecordingShellApi.h"

using folderpicker::Form_GetDirectory;
using network::ItemList;

namespace {

const QByteArray kBlankBuffer(network::MAX_PATH, ' ');

enum class Browse { Computer, Share };

QPushButton* buttonFor(const Form_GetDirectory& dialog, Browse browse) {
    return browse == Browse::Computer ? dialog.Command1 : dialog.Command2;
}

QLineEdit* resultBoxFor(const Form_GetDirectory& dialog, Browse browse) {
    return browse == Browse::Computer ? dialog.Text1 : dialog.Text2;
}

void tick(QCheckBox* box, Qt::CheckState state) {
    box->setTristate(state == Qt::PartiallyChecked);
    box->setCheckState(state);
}

}  // namespace

Q_DECLARE_METATYPE(Browse)

class TestFormGetDirectory : public QObject {
    Q_OBJECT
private slots:
    void cleanup();

    void showsItsControlsWhenLoaded();
    void controlsSitWhereTheLayoutPutsThem_data();
    void controlsSitWhereTheLayoutPutsThem();
    void tabOrderRunsThroughTheSixFocusableControls();
    void captionsFitTheirControls_data();
    void captionsFitTheirControls();

    void flagsFollowTheTickedBoxes_data();
    void flagsFollowTheTickedBoxes();
    void recordCarriesOwnerRootTitleAndBlankBuffer_data();
    void recordCarriesOwnerRootTitleAndBlankBuffer();

    void computerBrowseShowsTheChosenComputer();
    void shareBrowseShowsThePathOfTheChosenShare();
    void shareBrowseOfAComputerFallsBackToItsName();
    void displayNameInTheCodePageComesBackWhole();
    void cancelAfterASuccessEmptiesTheBox_data();
    void cancelAfterASuccessEmptiesTheBox();
    void failedRootEmptiesTheBoxWithoutABrowser_data();
    void failedRootEmptiesTheBoxWithoutABrowser();
    void rootHandedOutWithAFailureIsStillReleased();
    void eachButtonWritesOnlyItsOwnBox();
    void itemListsAreReleasedOnceChosenFirst_data();
    void itemListsAreReleasedOnceChosenFirst();
    void failingBrowserStillReleasesTheRoot();

    void trimAtNul_data();
    void trimAtNul();
};

void TestFormGetDirectory::cleanup() {
    for (const QWidget* widget : QApplication::topLevelWidgets()) {
        QVERIFY2(!widget->isVisible(), qPrintable(widget->objectName() + " was left open"));
    }
}

void TestFormGetDirectory::showsItsControlsWhenLoaded() {
    RecordingShellApi shell;
    const Form_GetDirectory dialog(shell);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("BrowseDialog for WorkStations"));
    QCOMPARE(dialog.Label1->text(), QStringLiteral("save directory:"));
    QCOMPARE(dialog.Label2->text(), QStringLiteral(":"));
    QCOMPARE(dialog.Check1->text(), QStringLiteral("Use New UI"));
    QCOMPARE(dialog.Check2->text(), QStringLiteral("No 'New Folder' Button"));
    QCOMPARE(dialog.Command1->text(), QStringLiteral("Get Network Workstation"));
    QCOMPARE(dialog.Command2->text(), QStringLiteral("Get Network Share"));
    QVERIFY(dialog.Text1->text().isEmpty());
    QVERIFY(dialog.Text2->text().isEmpty());
    QCOMPARE(dialog.Check1->checkState(), Qt::Unchecked);
    QCOMPARE(dialog.Check2->checkState(), Qt::Unchecked);
    QCOMPARE(dialog.size(), QSize(521, 144));
    QVERIFY(shell.calls.isEmpty());
}

void TestFormGetDirectory::controlsSitWhereTheLayoutPutsThem_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QRect>("geometry");
    QTest::newRow("Label1") << "Label1" << QRect(7, 18, 103, 25);
    QTest::newRow("Text1") << "Text1" << QRect(176, 16, 331, 23);
    QTest::newRow("Label2") << "Label2" << QRect(7, 42, 165, 25);
    QTest::newRow("Text2") << "Text2" << QRect(176, 42, 331, 23);
    QTest::newRow("Check1") << "Check1" << QRect(10, 86, 185, 19);
    QTest::newRow("Check2") << "Check2" << QRect(10, 110, 185, 19);
    QTest::newRow("Command2") << "Command2" << QRect(222, 104, 141, 25);
    QTest::newRow("Command1") << "Command1" << QRect(366, 104, 141, 25);
}

void TestFormGetDirectory::controlsSitWhereTheLayoutPutsThem() {
    QFETCH(QString, control);
    QFETCH(QRect, geometry);
    RecordingShellApi shell;
    Form_GetDirectory dialog(shell);
    const auto* widget = dialog.findChild<QWidget*>(control);
    QVERIFY(widget != nullptr);
    QCOMPARE(widget->geometry(), geometry);
}

void TestFormGetDirectory::tabOrderRunsThroughTheSixFocusableControls() {
    RecordingShellApi shell;
    Form_GetDirectory dialog(shell);
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    dialog.Command1->setFocus(Qt::TabFocusReason);
    QTRY_COMPARE(QApplication::focusWidget(), dialog.Command1);

    const QList<QWidget*> expected{dialog.Command2, dialog.Text1,  dialog.Check1,
                                   dialog.Text2,    dialog.Check2, dialog.Command1};
    for (QWidget* next : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }
    dialog.hide();
}

void TestFormGetDirectory::captionsFitTheirControls_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<int>("room");
    // What the style keeps for itself: a button's frame, a check box's indicator and gap.
    QTest::newRow("Command1") << "Command1" << 8;
    QTest::newRow("Command2") << "Command2" << 8;
    QTest::newRow("Check1") << "Check1" << 24;
    QTest::newRow("Check2") << "Check2" << 24;
    QTest::newRow("Label1") << "Label1" << 0;
}

void TestFormGetDirectory::captionsFitTheirControls() {
    QFETCH(QString, control);
    QFETCH(int, room);
    RecordingShellApi shell;
    Form_GetDirectory dialog(shell);
    const auto* widget = dialog.findChild<QWidget*>(control);
    QVERIFY(widget != nullptr);
    const QString caption = widget->property("text").toString();
    const int needed = widget->fontMetrics().horizontalAdvance(caption) + room;
    QVERIFY2(needed <= widget->width(), qPrintable(QStringLiteral("\"%1\" needs %2 px of %3")
                                                       .arg(caption)
                                                       .arg(needed)
                                                       .arg(widget->width())));
}

void TestFormGetDirectory::flagsFollowTheTickedBoxes_data() {
    QTest::addColumn<Browse>("browse");
    QTest::addColumn<Qt::CheckState>("check1");
    QTest::addColumn<Qt::CheckState>("check2");
    QTest::addColumn<uint>("flags");
    const auto clear = Qt::Unchecked;
    const auto ticked = Qt::Checked;
    const auto greyed = Qt::PartiallyChecked;
    QTest::newRow("computer, both clear") << Browse::Computer << clear << clear << 0x1000U;
    QTest::newRow("computer, new UI") << Browse::Computer << ticked << clear << 0x1040U;
    QTest::newRow("computer, no new folder") << Browse::Computer << clear << ticked << 0x1200U;
    QTest::newRow("computer, both ticked") << Browse::Computer << ticked << ticked << 0x1240U;
    QTest::newRow("computer, new UI greyed") << Browse::Computer << greyed << ticked << 0x1200U;
    QTest::newRow("computer, no new folder greyed")
        << Browse::Computer << ticked << greyed << 0x1040U;
    QTest::newRow("computer, both greyed") << Browse::Computer << greyed << greyed << 0x1000U;
    QTest::newRow("share, both clear") << Browse::Share << clear << clear << 0x0001U;
    QTest::newRow("share, new UI") << Browse::Share << ticked << clear << 0x0041U;
    QTest::newRow("share, no new folder") << Browse::Share << clear << ticked << 0x0201U;
    QTest::newRow("share, both ticked") << Browse::Share << ticked << ticked << 0x0241U;
    QTest::newRow("share, new UI greyed") << Browse::Share << greyed << ticked << 0x0201U;
    QTest::newRow("share, no new folder greyed") << Browse::Share << ticked << greyed << 0x0041U;
    QTest::newRow("share, both greyed") << Browse::Share << greyed << greyed << 0x0001U;
}

void TestFormGetDirectory::flagsFollowTheTickedBoxes() {
    QFETCH(Browse, browse);
    QFETCH(Qt::CheckState, check1);
    QFETCH(Qt::CheckState, check2);
    QFETCH(uint, flags);
    RecordingShellApi shell;
    Form_GetDirectory dialog(shell);
    dialog.show();
    tick(dialog.Check1, check1);
    tick(dialog.Check2, check2);

    QTest::mouseClick(buttonFor(dialog, browse), Qt::LeftButton);

    QCOMPARE(shell.browses.size(), std::size_t{1});
    QCOMPARE(shell.browses.front().flags, flags);
    dialog.hide();
}

void TestFormGetDirectory::recordCarriesOwnerRootTitleAndBlankBuffer_data() {
    QTest::addColumn<Browse>("browse");
    QTest::addColumn<QByteArray>("title");
    QTest::newRow("computer") << Browse::Computer << QByteArray("Select a network computer.");
    QTest::newRow("share") << Browse::Share << QByteArray("Select a network computer or share.");
}

void TestFormGetDirectory::recordCarriesOwnerRootTitleAndBlankBuffer() {
    QFETCH(Browse, browse);
    QFETCH(QByteArray, title);
    RecordingShellApi shell;
    Form_GetDirectory dialog(shell);

    buttonFor(dialog, browse)->click();

    QCOMPARE(shell.foldersAsked, std::vector<int>{network::CSIDL_NETWORK});
    QCOMPARE(shell.rootOwners, std::vector<QWidget*>{&dialog});
    QCOMPARE(shell.browses.size(), std::size_t{1});
    const RecordingShellApi::BrowseCall& call = shell.browses.front();
    QCOMPARE(call.owner, &dialog);
    QCOMPARE(call.root, shell.handedOut.front());
    QVERIFY(!call.root.isNull());
    QCOMPARE(call.title, title);
    QCOMPARE(call.displayNameBuffer, kBlankBuffer);
    QVERIFY(call.callback == nullptr);
    QCOMPARE(call.lParam, std::intptr_t{0});
    QCOMPARE(call.image, 0);
}

void TestFormGetDirectory::computerBrowseShowsTheChosenComputer() {
    RecordingShellApi shell;
    shell.choice = RecordingShellApi::Choice{"LABSERVER", std::nullopt};
    Form_GetDirectory dialog(shell);

    dialog.Command1->click();

    // The buffer holds the name, a NUL and the remaining blanks: only the name may show.
    QCOMPARE(dialog.Text1->text(), QStringLiteral("\\\\LABSERVER"));
    QVERIFY(dialog.Text2->text().isEmpty());
    QVERIFY(shell.pathQueries.empty());
    QCOMPARE(shell.heldCount(), std::size_t{0});
}

void TestFormGetDirectory::shareBrowseShowsThePathOfTheChosenShare() {
    RecordingShellApi shell;
    shell.choice =
        RecordingShellApi::Choice{"images", QByteArray("/mnt/lab images\0/old/junk", 25)};
    Form_GetDirectory dialog(shell);

    dialog.Command2->click();

    QCOMPARE(dialog.Text2->text(), QStringLiteral("/mnt/lab images"));
    QVERIFY(dialog.Text1->text().isEmpty());
    QCOMPARE(shell.pathQueries.size(), std::size_t{1});
    QCOMPARE(shell.pathQueries.front(), shell.lastHandedOut());
    QCOMPARE(shell.pathBuffers.front(), kBlankBuffer);
    QCOMPARE(shell.heldCount(), std::size_t{0});
}

void TestFormGetDirectory::shareBrowseOfAComputerFallsBackToItsName() {
    RecordingShellApi shell;
    shell.choice = RecordingShellApi::Choice{"NAS-02", std::nullopt};
    Form_GetDirectory dialog(shell);

    dialog.Command2->click();

    QCOMPARE(dialog.Text2->text(), QStringLiteral("\\\\NAS-02"));
    QCOMPARE(shell.pathQueries.size(), std::size_t{1});
    QCOMPARE(shell.heldCount(), std::size_t{0});
}

void TestFormGetDirectory::displayNameInTheCodePageComesBackWhole() {
    RecordingShellApi shell;
    shell.choice =
        RecordingShellApi::Choice{QStringLiteral("Prüflabor-Ost").toLocal8Bit(), std::nullopt};
    Form_GetDirectory dialog(shell);

    dialog.Command1->click();

    QCOMPARE(dialog.Text1->text(), QStringLiteral("\\\\Prüflabor-Ost"));
}

void TestFormGetDirectory::cancelAfterASuccessEmptiesTheBox_data() {
    QTest::addColumn<Browse>("browse");
    QTest::newRow("computer") << Browse::Computer;
    QTest::newRow("share") << Browse::Share;
}

void TestFormGetDirectory::cancelAfterASuccessEmptiesTheBox() {
    QFETCH(Browse, browse);
    RecordingShellApi shell;
    shell.choice = RecordingShellApi::Choice{"LABSERVER", QByteArray("/mnt/lab")};
    Form_GetDirectory dialog(shell);
    buttonFor(dialog, browse)->click();
    QVERIFY(!resultBoxFor(dialog, browse)->text().isEmpty());
    const auto pathQueriesBefore = shell.pathQueries.size();

    shell.choice.reset();
    buttonFor(dialog, browse)->click();

    QVERIFY(resultBoxFor(dialog, browse)->text().isEmpty());
    QCOMPARE(shell.pathQueries.size(), pathQueriesBefore);
    QCOMPARE(shell.heldCount(), std::size_t{0});
    // The cancelled browse released its root and nothing else.
    QCOMPARE(shell.calls.last(),
             QStringLiteral("CoTaskMemFree(%1)").arg(shell.lastHandedOut().id()));
}

void TestFormGetDirectory::failedRootEmptiesTheBoxWithoutABrowser_data() {
    QTest::addColumn<Browse>("browse");
    QTest::newRow("computer") << Browse::Computer;
    QTest::newRow("share") << Browse::Share;
}

void TestFormGetDirectory::failedRootEmptiesTheBoxWithoutABrowser() {
    QFETCH(Browse, browse);
    RecordingShellApi shell;
    shell.choice = RecordingShellApi::Choice{"LABSERVER", QByteArray("/mnt/lab")};
    Form_GetDirectory dialog(shell);
    buttonFor(dialog, browse)->click();
    QVERIFY(!resultBoxFor(dialog, browse)->text().isEmpty());

    shell.rootResult = network::E_FAIL;
    shell.calls.clear();
    buttonFor(dialog, browse)->click();

    QVERIFY(resultBoxFor(dialog, browse)->text().isEmpty());
    QCOMPARE(shell.browses.size(), std::size_t{1});
    QCOMPARE(shell.calls.size(), 2);
    QCOMPARE(shell.calls.at(0), QStringLiteral("SHGetSpecialFolderLocation"));
    QCOMPARE(shell.calls.at(1), QStringLiteral("CoTaskMemFree(0)"));
    QCOMPARE(shell.heldCount(), std::size_t{0});
}

void TestFormGetDirectory::rootHandedOutWithAFailureIsStillReleased() {
    RecordingShellApi shell;
    shell.rootResult = network::E_FAIL;
    shell.rootListDespiteFailure = true;
    Form_GetDirectory dialog(shell);

    QVERIFY(dialog.Browse_Network_Share(&dialog, false, false).isEmpty());

    QVERIFY(shell.browses.empty());
    QCOMPARE(shell.released, std::vector<ItemList>{shell.lastHandedOut()});
    QCOMPARE(shell.heldCount(), std::size_t{0});
}

void TestFormGetDirectory::eachButtonWritesOnlyItsOwnBox() {
    RecordingShellApi shell;
    shell.choice = RecordingShellApi::Choice{"LABSERVER", QByteArray("/mnt/lab")};
    Form_GetDirectory dialog(shell);
    dialog.Command1->click();
    dialog.Command2->click();
    QCOMPARE(dialog.Text1->text(), QStringLiteral("\\\\LABSERVER"));
    QCOMPARE(dialog.Text2->text(), QStringLiteral("/mnt/lab"));

    shell.choice.reset();
    dialog.Command1->click();

    QVERIFY(dialog.Text1->text().isEmpty());
    QCOMPARE(dialog.Text2->text(), QStringLiteral("/mnt/lab"));
}

void TestFormGetDirectory::itemListsAreReleasedOnceChosenFirst_data() {
    QTest::addColumn<Browse>("browse");
    QTest::addColumn<bool>("hasPath");
    QTest::addColumn<QStringList>("calls");
    QTest::newRow("computer") << Browse::Computer << false
                              << QStringList{"SHGetSpecialFolderLocation", "SHBrowseForFolderA",
                                             "CoTaskMemFree(2)", "CoTaskMemFree(1)"};
    QTest::newRow("share with a path")
        << Browse::Share << true
        << QStringList{"SHGetSpecialFolderLocation", "SHBrowseForFolderA", "SHGetPathFromIDListA",
                       "CoTaskMemFree(2)", "CoTaskMemFree(1)"};
    QTest::newRow("share browse of a computer")
        << Browse::Share << false
        << QStringList{"SHGetSpecialFolderLocation", "SHBrowseForFolderA", "SHGetPathFromIDListA",
                       "CoTaskMemFree(2)", "CoTaskMemFree(1)"};
}

void TestFormGetDirectory::itemListsAreReleasedOnceChosenFirst() {
    QFETCH(Browse, browse);
    QFETCH(bool, hasPath);
    QFETCH(QStringList, calls);
    RecordingShellApi shell;
    shell.choice = RecordingShellApi::Choice{
        "LABSERVER", hasPath ? std::optional<QByteArray>("/mnt/lab") : std::nullopt};
    Form_GetDirectory dialog(shell);

    buttonFor(dialog, browse)->click();

    QCOMPARE(shell.calls, calls);
    QCOMPARE(shell.released, (std::vector<ItemList>{ItemList(2), ItemList(1)}));
    QCOMPARE(shell.heldCount(), std::size_t{0});
}

void TestFormGetDirectory::failingBrowserStillReleasesTheRoot() {
    RecordingShellApi shell;
    shell.browserFails = true;
    Form_GetDirectory dialog(shell);

    QVERIFY_THROWS_EXCEPTION(network::ShellError,
                             dialog.Browse_Network_Computer(&dialog, true, false));

    QCOMPARE(shell.released, std::vector<ItemList>{shell.handedOut.front()});
    QCOMPARE(shell.heldCount(), std::size_t{0});
}

void TestFormGetDirectory::trimAtNul_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("trimmed");
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("no NUL comes back whole") << "\\\\LABSERVER"
                                             << "\\\\LABSERVER";
    QTest::newRow("blanks without NUL stay") << QString(260, u' ') << QString(260, u' ');
    QTest::newRow("cut at the NUL") << QString::fromUtf16(u"abc\0def", 7) << "abc";
    QTest::newRow("first of two NULs") << QString::fromUtf16(u"ab\0c\0d", 6) << "ab";
    QTest::newRow("NUL first") << QString::fromUtf16(u"\0abc", 4) << QString();
    QTest::newRow("NUL last") << QString::fromUtf16(u"abc\0", 4) << "abc";
    QTest::newRow("name, NUL, blanks")
        << (QString::fromUtf16(u"NAS\0", 4) + QString(256, u' ')) << "NAS";
}

void TestFormGetDirectory::trimAtNul() {
    QFETCH(QString, text);
    QFETCH(QString, trimmed);
    RecordingShellApi shell;
    Form_GetDirectory dialog(shell);

    QCOMPARE(dialog.Trim_At_Nul(text), trimmed);
    // The length comes from the shell's lstrlenW.
    QCOMPARE(shell.lengthQueries, 1);
}

QTEST_MAIN(TestFormGetDirectory)
#include "tst_form_getdirectory.moc"
