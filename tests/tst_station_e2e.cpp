// The whole station loop on the real camera control with two simulated cameras, real files and
// ImageMagick as the compressor.
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "FileSystem.h"
#include "Form_ImageMaker.h"
#include "Frm_Wo.h"
#include "GstVideoControl.h"
#include "KeySender.h"
#include "LiveStation.h"
#include "ProcessStarter.h"
#include "fakes/ModalDriver.h"
#include "fakes/RecordingServices.h"

using capture::Form_ImageMaker;

class TestStationEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY2(QFile::exists(kConvert), "ImageMagick is not installed"); }

    void scanCaptureShowListAndAskAgain() {
        LiveStation station;
        station.startWith(QStringLiteral("12345678"), true);
        Form_ImageMaker& w = *station.window;
        QVERIFY2(station.messages.shown.isEmpty(), qPrintable(station.messages.shown.join('\n')));

        const QString clr =
            station.path(QStringLiteral("CLR_"), QStringLiteral("12345678"), QStringLiteral("BMP"));
        const QString btm =
            station.path(QStringLiteral("BTM_"), QStringLiteral("12345678"), QStringLiteral("BMP"));
        QVERIFY(near(centreOfFile(clr), kColourColour));
        QVERIFY(near(centreOfFile(btm), kBottomColour));
        QCOMPARE(QImage(clr).size(), QSize(320, 240));
        QCOMPARE(w.lst_Captured->count(), 1);
        QVERIFY(w.lst_Captured->item(0)->text().startsWith(
            QStringLiteral("12345678 captured at.... ")));
        QCOMPARE(w.lbl_Status->text(), QStringLiteral("Waiting..."));
        QVERIFY(w.TXT_CMDLINE->text().startsWith(kConvert + QStringLiteral(" ") + clr));

        // The queued Alt+G opens the scan dialog again once the window is up,
        // as it is right after start-up.
        bool reopened = false;
        station.dialogs.then([&](workorder::Frm_Wo& dialog) {
            reopened = true;
            dialog.cmd_Cancel->click();
        });
        station.showWindow();
        QTRY_VERIFY_WITH_TIMEOUT(reopened, 10000);
        QCOMPARE(w.lbl_Status->text(), QStringLiteral("Waiting..."));

        // The compressor finishes on its own; the panel picks its copies up when they appear.
        const QString clrJpg =
            station.path(QStringLiteral("CLR_"), QStringLiteral("12345678"), QStringLiteral("JPG"));
        const QString btmJpg =
            station.path(QStringLiteral("BTM_"), QStringLiteral("12345678"), QStringLiteral("JPG"));
        QTRY_VERIFY_WITH_TIMEOUT(near(centreOfFile(clrJpg), kColourColour), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(near(centreOfFile(btmJpg), kBottomColour), 20000);
        // The copies took their names from the compressor's temporaries: none is left.
        QCOMPARE(QDir(station.saveDir).entryList(QDir::Files | QDir::Hidden).size(), 4);
        QTRY_VERIFY_WITH_TIMEOUT(near(centreOf(w.img_color), kColourColour), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(near(centreOf(w.img_bttm), kBottomColour), 10000);
        QCOMPARE(w.lbl_Pictures->text(), QStringLiteral("12345678"));

        QVERIFY(!w.programEnded());
    }

    void bottomViewFirstStillTakesEachCameraItsOwnPicture() {
        LiveStation station;
        station.startWith(QStringLiteral("22223333"), false);
        Form_ImageMaker& w = *station.window;
        w.cmd_View->click();
        QCOMPARE(w.lbl_view->text(), QStringLiteral("Bottom View"));
        w.cmd_capture->click();
        QVERIFY(near(centreOfFile(station.path(QStringLiteral("BTM_"), QStringLiteral("22223333"),
                                               QStringLiteral("BMP"))),
                     kBottomColour));
        QVERIFY(near(centreOfFile(station.path(QStringLiteral("CLR_"), QStringLiteral("22223333"),
                                               QStringLiteral("BMP"))),
                     kColourColour));
        // The live picture is back on the bottom camera.
        w.show();
        QTRY_VERIFY_WITH_TIMEOUT(
            near(w.VideoPortal1->grab().toImage().pixelColor(160, 120), kBottomColour), 5000);
        w.close();
    }

    void missingSettingsAndCompressorAreReported_data() {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("picturesWritten");
        QTest::newRow("no save folder")
            << QStringList{QStringLiteral("COMPRESS_EXE;/usr/bin/convert;x")}
            << QStringLiteral(" - IMAGE_SAVE_DIR") << false;
        QTest::newRow("no compressed extension")
            << QStringList{QStringLiteral("IMAGE_SAVE_DIR;SAVE_DIR_HERE;x"),
                           QStringLiteral("FILE_EXT_COMPRESSED;;x")}
            << QStringLiteral(" - FILE_EXT_COMPRESSED") << false;
        QTest::newRow("no compressor")
            << QStringList{QStringLiteral("IMAGE_SAVE_DIR;SAVE_DIR_HERE;x")}
            << QStringLiteral(" - COMPRESS_EXE ") << true;
        QTest::newRow("compressor missing")
            << QStringList{QStringLiteral("IMAGE_SAVE_DIR;SAVE_DIR_HERE;x"),
                           QStringLiteral("COMPRESS_EXE;/opt/none/compress;x")}
            << QStringLiteral("/opt/none/compress") << true;
    }
    void missingSettingsAndCompressorAreReported() {
        QFETCH(QStringList, lines);
        QFETCH(QString, expected);
        QFETCH(bool, picturesWritten);
        LiveStation station(lines);
        station.startWith(QStringLiteral("44445555"), true);
        const QString joined = station.messages.shown.join(QStringLiteral("\n---\n"));
        QVERIFY2(joined.contains(expected), qPrintable(joined));
        QVERIFY(station.messages.shown.last().startsWith(QStringLiteral("Error:\r\n")));
        QCOMPARE(QFile::exists(station.path(QStringLiteral("CLR_"), QStringLiteral("44445555"),
                                            QStringLiteral("BMP"))),
                 picturesWritten);
        QCOMPARE(station.window->lbl_Status->text(), QStringLiteral("Waiting..."));
    }

    void nonAsciiNumberAndFolderWithBlanks() {
        // A folder with blanks and umlauts, the compressor's path quoted as the settings require.
        LiveStation station({QStringLiteral("COMPRESS_EXE;\"%1\";x").arg(kConvert),
                             QStringLiteral("IMAGE_SAVE_DIR;SAVE_DIR_HEREProben Müller ä/;x")});
        QVERIFY(QDir().mkpath(station.saveDir + QStringLiteral("Proben Müller ä")));
        const QString number = QStringLiteral("試料ÄÖÜ-ß1");
        QCOMPARE(number.size(), 8);
        station.startWith(number, true);
        QVERIFY2(station.messages.shown.isEmpty(), qPrintable(station.messages.shown.join('\n')));
        const QString folder = station.saveDir + QStringLiteral("Proben Müller ä/");
        QVERIFY(
            near(centreOfFile(folder + QStringLiteral("CLR_") + number + QStringLiteral("_01.BMP")),
                 kColourColour));
        QTRY_VERIFY_WITH_TIMEOUT(
            near(centreOfFile(folder + QStringLiteral("BTM_") + number + QStringLiteral("_01.JPG")),
                 kBottomColour),
            20000);
        QTRY_VERIFY_WITH_TIMEOUT(near(centreOf(station.window->img_bttm), kBottomColour), 10000);
        QCOMPARE(station.window->lbl_Pictures->text(), number);
    }

    void oneCameraIsReportedAndTheNextNumberEnablesCapture() {
        LiveStation station({}, LiveStation::solidCamera(QStringLiteral("0xff0000ff")),
                            QStringLiteral("nosuchcamerasrc ! video/x-raw,width=320,height=240"));
        bool captureDisabledWhileAsking = false;
        station.dialogs.then([&](workorder::Frm_Wo& dialog) {
            captureDisabledWhileAsking = !station.window->cmd_capture->isEnabled();
            QTest::keyClicks(dialog.txt_Sample, QStringLiteral("12121212"));
            dialog.cmd_Ok->click();
        });
        station.window->Form_Load();
        QCOMPARE(station.messages.shown,
                 QStringList{QStringLiteral("Unable to connect to any PortalCam camera")});
        QVERIFY(captureDisabledWhileAsking);
        QVERIFY(station.window->cmd_capture->isEnabled());
        QVERIFY(station.window->cmd_View->isEnabled());
    }

    void redoDeleteAndAnEarlierLine() {
        LiveStation station;
        station.startWith(QStringLiteral("66667777"), true);
        Form_ImageMaker& w = *station.window;
        // A second sample, then redo of it with Yes: listed twice.
        station.scanAgain(QStringLiteral("88889999"));
        station.messages.answers.enqueue(true);
        w.cmd_Redo->click();
        QCOMPARE(w.CapturedSamples,
                 (QStringList{QStringLiteral("66667777"), QStringLiteral("88889999"),
                              QStringLiteral("88889999")}));
        QCOMPARE(w.lst_Captured->count(), 3);

        const QString jpg =
            station.path(QStringLiteral("CLR_"), QStringLiteral("88889999"), QStringLiteral("JPG"));
        QTRY_VERIFY_WITH_TIMEOUT(near(centreOfFile(jpg), kColourColour), 20000);
        w.cmd_Delete->click();
        QVERIFY(!QFile::exists(station.path(QStringLiteral("CLR_"), QStringLiteral("88889999"),
                                            QStringLiteral("BMP"))));
        QVERIFY(!QFile::exists(station.path(QStringLiteral("BTM_"), QStringLiteral("88889999"),
                                            QStringLiteral("BMP"))));
        QVERIFY(QFile::exists(jpg));

        // Double click on the first line shows the first sample again.
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QRect line = w.lst_Captured->visualItemRect(w.lst_Captured->item(0));
        QTest::mouseClick(w.lst_Captured->viewport(), Qt::LeftButton, {}, line.center());
        QTest::mouseDClick(w.lst_Captured->viewport(), Qt::LeftButton, {}, line.center());
        QCOMPARE(w.lbl_Pictures->text(), QStringLiteral("66667777"));
        QTRY_VERIFY_WITH_TIMEOUT(near(centreOf(w.img_color), kColourColour), 20000);
        w.close();
    }
};

QTEST_MAIN(TestStationEndToEnd)
#include "tst_station_e2e.moc"
