// Start-up, the Waiting and Ready states and the scan dialog hand-over, on the real windows.
#include <qpa/qwindowsysteminterface.h>
#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include "KeySender.h"
#include "MessageBoxes.h"
#include "SettingsFile.h"
#include "StationFixture.h"

using capture::Form_ImageMaker;

namespace {

// Where a dialog was shown, and the point size of its text.
struct Seen {
    QRect geometry;
    qreal points = 0;
};

// Asks "Take Picture" through the real message boxes and answers No.
Seen askTakePicture() {
    Seen seen;
    fakes::ModalDriver<QMessageBox> boxes;
    boxes.then([&](QMessageBox& box) {
        seen = {box.geometry(), box.font().pointSizeF()};
        box.button(QMessageBox::No)->click();
    });
    platform::QtMessageBoxes().ask(QStringLiteral("Take Picture"), QStringLiteral("Take Picture"));
    return seen;
}

}  // namespace

class TestStationStates : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { QVERIFY(QApplication::topLevelWidgets().isEmpty() || noVisibleWindow()); }

    void startUpWithoutSettingsFileCreatesItAndWaitsBeforeShowing() {
        StationFixture station;
        station.create();
        bool mainWindowHiddenDuringDialog = false;
        station.dialogs.then([&](workorder::Frm_Wo& dialog) {
            mainWindowHiddenDuringDialog = !station.window->isVisible();
            dialog.cmd_Cancel->click();
        });
        station.window->Form_Load();

        QCOMPARE(station.dialogs.handled(), 1);
        QVERIFY(mainWindowHiddenDuringDialog);
        QFile file(station.folder() + QStringLiteral("/settings.txt"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QCOMPARE(content.count("\r\n"), 5);
        QVERIFY(content.startsWith("COMPRESS_EXE;;"));

        Form_ImageMaker& w = *station.window;
        QCOMPARE(w.lbl_Status->text(), QStringLiteral("Waiting..."));
        QCOMPARE(w.lbl_labnumber->text(), QString());
        QVERIFY(!w.cmd_capture->isEnabled());
        QVERIFY(!w.cmd_View->isEnabled());
        QCOMPARE(w.lbl_Pictures->text(), QStringLiteral("Last Image Taken"));
        QVERIFY(w.cmd_Redo->isHidden());
        QVERIFY(w.cmd_Delete->isHidden());
        QCOMPARE(w.lbl_view->text(), QStringLiteral("Color view"));
        QCOMPARE(w.CurrentView, QStringLiteral("Color"));
        QCOMPARE(w.SoftwareSettings.count(), 5);
        QVERIFY(!w.programEnded());
        // The cameras are opened, started and shown, indexes 0, 1 and 2 are probed, and the
        // colour view's camera is selected again.
        QCOMPARE(station.video->openedWith,
                 (QStringList{QStringLiteral("MIRET_DEMO"),
                              QStringLiteral("HKEY_LOCAL_MACHINE\\Software\\HPortal\\PortalCam")}));
        QVERIFY(station.video->livePicture);
        QCOMPARE(station.video->selects, (QList<int>{0, 1, 2, 1}));
        QVERIFY(station.messages.shown.isEmpty());
    }

    void windowLooksAsDesigned() {
        StationFixture station;
        station.startWaiting();
        Form_ImageMaker& w = *station.window;
        QCOMPARE(w.windowTitle(), QStringLiteral("Sample Image Capturing "));
        QCOMPARE(w.width(), 708);
        QCOMPARE(w.size(), w.minimumSize());
        QCOMPARE(w.palette().color(QPalette::Window), QColor(214, 141, 0));
        QCOMPARE(w.cmd_capture->palette().color(QPalette::Button), QColor(242, 240, 229));
        QCOMPARE(w.cmd_View->palette().color(QPalette::Button), QColor(242, 240, 229));
        QCOMPARE(w.VideoPortal1->geometry(), QRect(16, 56, 321, 241));
        // Nothing covers the live picture or the controls the operator uses.
        for (QWidget* control : std::initializer_list<QWidget*>{
                 w.VideoPortal1, w.cmd_capture, w.cmd_View, w.cmd_wo, w.lst_Captured, w.img_bttm,
                 w.img_color, w.lbl_Status, w.cmd_Close}) {
            QCOMPARE(w.childAt(control->geometry().center()), control);
        }
        QCOMPARE(w.lbl_labnumber->font().family(), QStringLiteral("Tahoma"));
        QCOMPARE(w.lbl_labnumber->font().pointSizeF(), 10.0);
        QVERIFY(w.lbl_labnumber->font().bold());
        QVERIFY(w.lbl_Pictures->font().bold());
        QCOMPARE(w.TXT_CMDLINE->text(), QStringLiteral("Text1"));
        QCOMPARE(w.cmd_Close->nextInFocusChain(), w.cmd_capture);
        // Everything the operator uses lies in the part of the window that start-up leaves visible.
        for (QWidget* control :
             {static_cast<QWidget*>(w.cmd_Close), static_cast<QWidget*>(w.TXT_CMDLINE)}) {
            QVERIFY(control->geometry().bottom() < w.height());
        }
    }

    // Larger than designed (maximised, a kiosk), the layout grows as one piece and is centred; a
    // wide screen's spare width goes to the live picture, up to a 16:9 picture at its height.
    void layoutScalesOnBigScreens_data() {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<qreal>("scale");
        QTest::addColumn<int>("liveWidth");
        QTest::newRow("design size") << QSize(708, 471) << 1.0 << 321;
        QTest::newRow("only wider") << QSize(900, 471) << 1.0 << 428;
        QTest::newRow("1280x720") << QSize(1280, 720) << 720.0 / 471 << 655;
        QTest::newRow("1920x1080") << QSize(1920, 1080) << 1080.0 / 471 << 983;
        QTest::newRow("portrait") << QSize(1080, 1920) << 1080.0 / 708 << 490;
    }
    void layoutScalesOnBigScreens() {
        QFETCH(QSize, size);
        QFETCH(qreal, scale);
        QFETCH(int, liveWidth);
        StationFixture station;
        station.startWaiting();
        Form_ImageMaker& w = *station.window;
        const qreal designPoints = w.lbl_labnumber->font().pointSizeF();
        w.show();
        w.resize(size);
        QCOMPARE(w.size(), size);
        const QRect live = w.VideoPortal1->geometry();
        QVERIFY2(qAbs(live.width() - liveWidth) <= 2, qPrintable(QString::number(live.width())));
        QVERIFY(qAbs(live.height() - 241 * scale) <= 1.5);
        QVERIFY(qAbs(w.lbl_labnumber->font().pointSizeF() - designPoints * scale) < 0.01);
        QVERIFY(qAbs(w.cmd_capture->iconSize().width() - w.img_bttn_capture.width() * scale) <=
                1.5);
        // The column under the live picture widens with it; its buttons keep their size.
        QVERIFY(qAbs(w.lbl_Status->width() - live.width()) <= 2);
        QVERIFY(qAbs(w.cmd_wo->geometry().right() - live.right()) <= 2);
        QVERIFY(qAbs(w.cmd_capture->width() - 145 * scale) <= 2);
        QVERIFY(w.cmd_View->geometry().right() < w.cmd_capture->geometry().left());
        QVERIFY(live.right() < w.lst_Captured->geometry().left());
        // Centred: the margins left and right of the outermost controls match.
        const int left = live.left() - qRound(16 * scale);
        const int right = size.width() - w.cmd_Close->geometry().right() - 1;
        QVERIFY2(qAbs(left - (right - int((708 - 697) * scale))) <= 2,
                 qPrintable(QStringLiteral("%1 %2").arg(left).arg(right)));
        for (QWidget* control : std::initializer_list<QWidget*>{
                 w.VideoPortal1, w.cmd_capture, w.lbl_Status, w.img_color, w.cmd_Close}) {
            QCOMPARE(w.childAt(control->geometry().center()), control);
        }
        // Back at the design size everything is where it was.
        w.resize(w.minimumSize());
        QCOMPARE(w.VideoPortal1->geometry(), QRect(16, 56, 321, 241));
        QCOMPARE(w.lbl_labnumber->font().pointSizeF(), designPoints);
        w.close();
    }

    // Over a scaled-up window the scan dialog and the message boxes grow by the window's factor,
    // fonts and sizes, and are centred over it; where that would cover the captured list they are
    // centred over the live picture's column instead. At the design size they are as they were.
    void dialogsScaleWithTheWindow_data() {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<qreal>("scale");
        QTest::newRow("design size") << QSize(708, 471) << 1.0;
        QTest::newRow("1280x720") << QSize(1280, 720) << 720.0 / 471;
        QTest::newRow("1920x1080") << QSize(1920, 1080) << 1080.0 / 471;
    }
    void dialogsScaleWithTheWindow() {
        QFETCH(QSize, size);
        QFETCH(qreal, scale);
        StationFixture station;
        station.startWaiting();
        Form_ImageMaker& w = *station.window;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const Seen boxAtDesign = askTakePicture();
        w.resize(size);
        QCOMPARE(w.size(), size);
        const QRect window(w.mapToGlobal(QPoint()), size);
        const QRect list(w.mapToGlobal(w.lst_Captured->pos()), w.lst_Captured->size());
        const QRect live(w.mapToGlobal(w.VideoPortal1->pos()), w.VideoPortal1->size());

        qreal labelPoints = 0;
        QSize okSize;
        const auto openScanDialog = [&] {
            Seen seen;
            station.dialogs.then([&](workorder::Frm_Wo& frmWo) {
                seen = {frmWo.geometry(), frmWo.txt_Sample->font().pointSizeF()};
                labelPoints = frmWo.Label1->font().pointSizeF();
                okSize = frmWo.cmd_Ok->size();
                frmWo.cmd_Cancel->click();
            });
            w.cmd_wo->click();
            return seen;
        };
        // A box over the main window, then one owned by the scan dialog just closed, as "Take
        // Picture" after a scan.
        const Seen boxOverWindow = askTakePicture();
        const Seen dialog = openScanDialog();
        QCOMPARE(station.dialogs.handled(), 2);
        QVERIFY(qAbs(dialog.points - 9.75 * scale) < 0.01);
        QVERIFY(qAbs(labelPoints - QApplication::font().pointSizeF() * scale) < 0.01);
        QVERIFY2(qAbs(dialog.geometry.width() - 272 * scale) <= 2 &&
                     qAbs(dialog.geometry.height() - 88 * scale) <= 2,
                 qPrintable(QStringLiteral("%1x%2")
                                .arg(dialog.geometry.width())
                                .arg(dialog.geometry.height())));
        QVERIFY(qAbs(okSize.width() - 73 * scale) <= 2 && qAbs(okSize.height() - 23 * scale) <= 2);

        const Seen box = askTakePicture();
        QCOMPARE(box.geometry, boxOverWindow.geometry);
        QVERIFY(qAbs(box.points - boxAtDesign.points * scale) < 0.01);
        // A box's size follows its text, which does not grow exactly in proportion to its font.
        const QSizeF boxScale(qreal(box.geometry.width()) / boxAtDesign.geometry.width(),
                              qreal(box.geometry.height()) / boxAtDesign.geometry.height());
        QVERIFY2(
            qAbs(boxScale.width() / scale - 1) < 0.05 && qAbs(boxScale.height() / scale - 1) < 0.05,
            qPrintable(QStringLiteral("%1 %2").arg(boxScale.width()).arg(boxScale.height())));

        for (const QRect& shown : {dialog.geometry, box.geometry}) {
            const QString where = QStringLiteral("%1,%2 %3x%4")
                                      .arg(shown.x())
                                      .arg(shown.y())
                                      .arg(shown.width())
                                      .arg(shown.height());
            QVERIFY2(qAbs(shown.center().y() - window.center().y()) <= 2, qPrintable(where));
            if (scale == 1.0) {
                QVERIFY2(qAbs(shown.center().x() - window.center().x()) <= 2, qPrintable(where));
            } else {
                QVERIFY2(qAbs(shown.center().x() - live.center().x()) <= 2, qPrintable(where));
                QVERIFY2(!shown.intersects(list), qPrintable(where));
                QVERIFY(window.contains(shown));
            }
        }

        // Back at the design size the scan dialog is as designed again, centred as before.
        w.resize(w.minimumSize());
        const Seen again = openScanDialog();
        QCOMPARE(again.geometry.size(), QSize(272, 88));
        QCOMPARE(again.points, 9.75);
        QCOMPARE(okSize, QSize(73, 23));
        const QPoint offCentre =
            again.geometry.center() - QRect(w.mapToGlobal(QPoint()), w.size()).center();
        QVERIFY2(offCentre.manhattanLength() <= 2, qPrintable(QString::number(offCentre.x())));
        w.close();
    }

    void acceptedNumberIsShownTrimmedAndKeptAsTyped_data() {
        QTest::addColumn<QString>("number");
        QTest::newRow("blanks at both ends") << QStringLiteral(" 123456 ");
        QTest::newRow("eight characters with a leading blank") << QStringLiteral(" 1234567");
    }
    void acceptedNumberIsShownTrimmedAndKeptAsTyped() {
        QFETCH(QString, number);
        StationFixture station;
        station.writeWorkingSettings();
        station.startWaiting();
        station.accept(number, false);
        Form_ImageMaker& w = *station.window;
        QCOMPARE(w.lbl_Status->text(), QStringLiteral("Ready"));
        QCOMPARE(w.lbl_labnumber->text(),
                 QStringLiteral(" Current sample in view : ") + number.trimmed());
        QCOMPARE(w.SampleNumber, number);
        QCOMPARE(w.frmWo().txt_Sample->text(), QString());
        QVERIFY(w.cmd_capture->isEnabled());
        QVERIFY(w.cmd_View->isEnabled());
        QCOMPARE(station.messages.questions,
                 QStringList{QStringLiteral("Take Picture|Take Picture")});
        QVERIFY(station.video->stills.isEmpty());

        // The list keeps the number as typed, so a double click looks for the files just written.
        w.cmd_capture->click();
        QCOMPARE(w.CapturedSamples, QStringList{number});
        QVERIFY(QFile::exists(station.savedPath(QStringLiteral("CLR_"), number)));
        QVERIFY(w.lst_Captured->item(0)->text().startsWith(number + QStringLiteral(" captured")));
    }

    void typedNumberThroughTheDialogAsksEachTime() {
        StationFixture station;
        station.startWaiting();
        int focusedOnField = 0;
        for (int round = 0; round < 2; ++round) {
            station.dialogs.then([&](workorder::Frm_Wo& dialog) {
                focusedOnField += dialog.focusWidget() == dialog.txt_Sample ? 1 : 0;
                QTest::keyClicks(dialog.txt_Sample, QStringLiteral("12345678"));
                dialog.cmd_Ok->click();
            });
            station.window->cmd_wo->click();
        }
        // A scanner types at once, so the field has the focus each time the dialog opens.
        QCOMPARE(focusedOnField, 2);
        QCOMPARE(station.dialogs.handled(), 3);
        QCOMPARE(station.window->SampleNumber, QStringLiteral("12345678"));
        QCOMPARE(station.messages.questions.size(), 2);
        QCOMPARE(station.window->lbl_Status->text(), QStringLiteral("Ready"));
    }

    // A scanner types the code and Enter, 1 ms apart. Every row answers Yes to a question, so a
    // wrongly accepted entry would be captured.
    void scannedEntryThroughTheDialog_data() {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<bool>("paste");
        QTest::addColumn<int>("endKey");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<bool>("refused");
        const int enter = Qt::Key_Return;
        QTest::newRow("8 characters, Return")
            << QStringLiteral("12345678") << false << enter << true << false;
        QTest::newRow("keypad Enter")
            << QStringLiteral("AB-12 34") << false << int(Qt::Key_Enter) << true << false;
        QTest::newRow("10 characters refused whole")
            << QStringLiteral("1234567890") << false << enter << false << true;
        QTest::newRow("9 characters pasted refused")
            << QStringLiteral("123456789") << true << enter << false << true;
        QTest::newRow("Return in an empty field waits")
            << QString() << false << enter << false << false;
    }
    void scannedEntryThroughTheDialog() {
        QFETCH(QString, entry);
        QFETCH(bool, paste);
        QFETCH(int, endKey);
        QFETCH(bool, accepted);
        QFETCH(bool, refused);
        StationFixture station;
        station.writeWorkingSettings();
        station.startWaiting();
        station.messages.answers.enqueue(true);
        bool closedByKey = false;
        station.dialogs.then([&](workorder::Frm_Wo& dialog) {
            if (paste) {
                QGuiApplication::clipboard()->setText(entry);
                QTest::keySequence(dialog.txt_Sample, QKeySequence::Paste);
            } else {
                QTest::keyClicks(dialog.txt_Sample, entry, Qt::NoModifier, 1);
            }
            const auto modifier = endKey == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier;
            QTest::keyClick(dialog.txt_Sample, Qt::Key(endKey), modifier, 1);
            closedByKey = dialog.isHidden();
            if (!closedByKey) {
                dialog.cmd_Cancel->click();
            }
        });
        station.window->cmd_wo->click();
        QVERIFY(closedByKey);

        Form_ImageMaker& w = *station.window;
        QCOMPARE(station.messages.questions.size(), accepted ? 1 : 0);
        QCOMPARE(station.video->stills.size(), accepted ? 2 : 0);
        QCOMPARE(QFile::exists(station.savedPath(QStringLiteral("CLR_"), entry)), accepted);
        QCOMPARE(QDir(station.saveDir).isEmpty(), !accepted);
        if (refused) {
            QCOMPARE(station.messages.shown.size(), 1);
            const QString message = station.messages.shown.first();
            QVERIFY2(message.startsWith(QStringLiteral("Error:")), qPrintable(message));
            QVERIFY2(message.contains(entry), qPrintable(message));
            QVERIFY2(message.contains(QStringLiteral("at most 8 characters")), qPrintable(message));
        } else {
            QCOMPARE(station.messages.shown, QStringList());
        }
        // Captured or refused, the station waits for the next number with an empty field.
        QCOMPARE(w.lbl_Status->text(), QStringLiteral("Waiting..."));
        QCOMPARE(w.SampleNumber, QString());
        QCOMPARE(w.frmWo().txt_Sample->text(), QString());
        QCOMPARE(w.CapturedCount, qint16(accepted ? 1 : 0));
    }

    // A desktop without a window manager marks no window active; the queued Alt+G must still
    // bring the scan dialog back after a capture.
    void loopGoesOnWithoutAnActiveWindow() {
        StationFixture station;
        station.writeWorkingSettings();
        platform::QueuedKeySender keys;
        Form_ImageMaker window(
            std::make_unique<fakes::RecordingCameraControl>(),
            capture::StationServices{station.messages, station.processes, keys, station.files});
        station.dialogs.then([](workorder::Frm_Wo& dialog) { dialog.cmd_Cancel->click(); });
        window.Form_Load();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QWindowSystemInterface::handleWindowActivated<QWindowSystemInterface::SynchronousDelivery>(
            nullptr);
        QCOMPARE(QApplication::activeWindow(), nullptr);

        QElapsedTimer sinceYes;
        station.messages.onAsk = [&](const QString&) { sinceYes.start(); };
        station.messages.answers.enqueue(true);
        qint64 reopenedAfterMs = -1;
        station.dialogs.then([&](workorder::Frm_Wo& dialog) {
            reopenedAfterMs = sinceYes.elapsed();
            dialog.cmd_Cancel->click();
        });
        window.frmWo().txt_Sample->setText(QStringLiteral("12345678"));
        window.Accept_Sample_Number();
        QCOMPARE(window.CapturedCount, qint16(1));
        QTRY_VERIFY_WITH_TIMEOUT(reopenedAfterMs >= 0, 5000);
        QVERIFY2(reopenedAfterMs < 1000, qPrintable(QString::number(reopenedAfterMs)));
    }

    void cancelGoesToWaiting() {
        StationFixture station;
        station.startWaiting();
        station.accept(QStringLiteral("12345678"), false);
        station.dialogs.then([](workorder::Frm_Wo& dialog) {
            QTest::keyClicks(dialog.txt_Sample, QStringLiteral("999"));
            dialog.cmd_Cancel->click();
        });
        station.window->cmd_wo->click();
        Form_ImageMaker& w = *station.window;
        QCOMPARE(w.lbl_Status->text(), QStringLiteral("Waiting..."));
        QCOMPARE(w.lbl_labnumber->text(), QString());
        QCOMPARE(w.SampleNumber, QString());
        QVERIFY(!w.cmd_capture->isEnabled());
        QVERIFY(!w.cmd_View->isEnabled());
    }

    void closingTheDialogFrameActsAsCancel() {
        StationFixture station;
        station.startWaiting();
        station.dialogs.then([](workorder::Frm_Wo& dialog) {
            QTest::keyClicks(dialog.txt_Sample, QStringLiteral("42"));
            dialog.close();
        });
        station.window->cmd_wo->click();
        QCOMPARE(station.window->lbl_Status->text(), QStringLiteral("Waiting..."));
        QVERIFY(!station.window->frmWo().ExitSoftware);
        QVERIFY(station.messages.questions.isEmpty());
    }

    void exitAtStartUpEndsWithoutShowingTheWindow() {
        StationFixture station;
        station.create();
        station.dialogs.then([](workorder::Frm_Wo& dialog) { dialog.cmd_Exit->click(); });
        station.window->Form_Load();
        QVERIFY(station.window->programEnded());
        QVERIFY(!station.window->isVisible());
        QVERIFY(station.messages.questions.isEmpty());
    }

    void exitOrCloseLaterEndsTheProgram() {
        StationFixture station;
        station.startWaiting();
        station.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(station.window.get()));
        station.dialogs.then([](workorder::Frm_Wo& dialog) { dialog.cmd_Exit->click(); });
        station.window->cmd_wo->click();
        QVERIFY(station.window->programEnded());
        QVERIFY(!station.window->isVisible());

        StationFixture other;
        other.startWaiting();
        other.window->show();
        other.window->cmd_Close->click();
        QVERIFY(other.window->programEnded());
        QVERIFY(!other.window->isVisible());
    }

    void unsafeNumberIsRefused_data() {
        QTest::addColumn<QString>("number");
        QTest::newRow("slash") << QStringLiteral("12/45678");
        QTest::newRow("backslash") << QStringLiteral("12\\4");
        QTest::newRow("two dots") << QStringLiteral("..");
        QTest::newRow("quote") << QStringLiteral("12\"4");
        QTest::newRow("control") << QStringLiteral("12\t4");
        QTest::newRow("control character at the end") << QStringLiteral("1234\t");
        QTest::newRow("control character at the start") << QStringLiteral("\n1234");
    }
    void unsafeNumberIsRefused() {
        QFETCH(QString, number);
        StationFixture station;
        station.startWaiting();
        station.accept(number, true);
        Form_ImageMaker& w = *station.window;
        QCOMPARE(station.messages.shown.size(), 1);
        QVERIFY(station.messages.shown.first().startsWith(QStringLiteral("Error:\r\n")));
        QVERIFY(station.messages.questions.isEmpty());
        QCOMPARE(w.lbl_Status->text(), QStringLiteral("Waiting..."));
        QCOMPARE(w.SampleNumber, QString());
        QCOMPARE(w.frmWo().txt_Sample->text(), QString());
        QVERIFY(!w.cmd_capture->isEnabled());
        QVERIFY(station.video->stills.isEmpty());
    }

    void tooFewCamerasDisableCaptureUntilTheNextNumber_data() {
        QTest::addColumn<QList<int>>("delivering");
        QTest::addColumn<bool>("message");
        QTest::newRow("both") << QList<int>{0, 1} << false;
        QTest::newRow("one") << QList<int>{0} << true;
        QTest::newRow("none") << QList<int>{} << true;
        QTest::newRow("only the probe of index 2") << QList<int>{2} << true;
    }
    void tooFewCamerasDisableCaptureUntilTheNextNumber() {
        QFETCH(QList<int>, delivering);
        QFETCH(bool, message);
        StationFixture station;
        station.create();
        station.video->delivering = QSet<int>(delivering.begin(), delivering.end());
        station.dialogs.then([](workorder::Frm_Wo& dialog) {
            QTest::keyClicks(dialog.txt_Sample, QStringLiteral("12345678"));
            dialog.cmd_Ok->click();
        });
        station.window->Form_Load();
        QCOMPARE(station.messages.shown.contains(
                     QStringLiteral("Unable to connect to any PortalCam camera")),
                 message);
        // The accepted number enables capture again whatever the cameras said.
        QVERIFY(station.window->cmd_capture->isEnabled());
        QVERIFY(station.window->cmd_View->isEnabled());
    }

    void settingsThatCannotBeReadStopStartUp() {
        StationFixture station;
        QDir(station.folder()).mkdir(QStringLiteral("settings.txt"));
        station.create();
        try {
            station.window->Form_Load();
            QFAIL("start-up went on without its settings");
        } catch (const settings::SettingsFileError& error) {
            const QString text = QString::fromUtf8(error.what());
            QVERIFY2(text.contains(settings::settingsFilePath()), qPrintable(text));
            QVERIFY2(text.contains(QStringLiteral("it is a folder")), qPrintable(text));
        }
        QCOMPARE(station.dialogs.handled(), 0);
    }

private:
    static bool noVisibleWindow() {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->isVisible()) {
                return false;
            }
        }
        return true;
    }
};

QTEST_MAIN(TestStationStates)
#include "tst_station_states.moc"
