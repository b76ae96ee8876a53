// The capture sequence, the captured-samples list, the image panel, the view button, redo and
// delete, on the real main window with a recording camera control.
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include "DetachedWork.h"
#include "Diagnostics.h"

#include "EmbeddedProvenance.h"
#include "GeneralDate.h"
#include "RecordVerifier.h"
#include "Sha256.h"
#include "SpoolForwarder.h"
#include "StationFixture.h"
#include "StillMetadata.h"

using capture::Form_ImageMaker;

namespace {

void writeJpeg(const QString& path, const QColor& colour) {
    QImage picture(40, 30, QImage::Format_RGB888);
    picture.fill(colour);
    QVERIFY(picture.save(path, "JPG"));
}

QByteArray contentsOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The still came from `camera` into a hidden file of its own beside its final name, where it stays
// until both stills are there.
bool takenBeside(const QPair<int, QString>& still, int camera, const QString& path) {
    const QFileInfo info(path);
    const QString prefix = info.path() + QStringLiteral("/.");
    const QString& written = still.second;
    return still.first == camera && written.startsWith(prefix) &&
           written.endsWith(QLatin1Char('-') + info.fileName()) &&
           !written.mid(prefix.size()).contains(QLatin1Char('/'));
}

QColor centreOf(const QLabel* box) {
    const QImage image = box->pixmap().toImage();
    return image.pixelColor(image.width() / 2, image.height() / 2);
}

bool near(const QColor& a, const QColor& b) {
    return qAbs(a.red() - b.red()) < 40 && qAbs(a.green() - b.green()) < 40 &&
           qAbs(a.blue() - b.blue()) < 40;
}

}  // namespace

class TestCaptureLoop : public QObject {
    Q_OBJECT
private slots:
    void captureTakesBothPicturesAndStartsTheCompressor() {
        StationFixture station;
        station.writeWorkingSettings();
        station.startWaiting();
        station.video->selects.clear();
        station.accept(QStringLiteral("12345678"), true);

        const QString clr = station.savedPath(QStringLiteral("CLR_"), QStringLiteral("12345678"));
        const QString btm = station.savedPath(QStringLiteral("BTM_"), QStringLiteral("12345678"));
        const QString clrJpg = station.savedPath(QStringLiteral("CLR_"), QStringLiteral("12345678"),
                                                 QStringLiteral("JPG"));
        const QString btmJpg = station.savedPath(QStringLiteral("BTM_"), QStringLiteral("12345678"),
                                                 QStringLiteral("JPG"));
        // Colour first from the camera already selected, then bottom, then back to colour.
        QCOMPARE(station.video->stills.size(), 2);
        QVERIFY(takenBeside(station.video->stills[0], 1, clr));
        QVERIFY(takenBeside(station.video->stills[1], 0, btm));
        QCOMPARE(station.video->selects, (QList<int>{0, 1}));
        QVERIFY(QFile::exists(clr));
        QVERIFY(QFile::exists(btm));
        QCOMPARE(QDir(QFileInfo(clr).path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
        QCOMPARE(station.processes.started.size(), 2);
        const QStringList bottomCommand = station.processes.started.at(0);
        QCOMPARE(bottomCommand.first(4),
                 (QStringList{QStringLiteral("/usr/bin/convert"), btm, QStringLiteral("-quality"),
                              QStringLiteral("80")}));
        // The copy is written hidden beside its final name and takes it once the compressor ends
        // well.
        QVERIFY2(takenBeside({0, bottomCommand.last()}, 0, btmJpg),
                 qPrintable(bottomCommand.last()));
        station.processes.finish(0, 0);
        QTRY_VERIFY(QFile::exists(btmJpg));
        QVERIFY(!QFile::exists(bottomCommand.last()));
        // The copy names the picture it was made from, by its id and the digest of its bytes,
        // and so is explained to an auditor without a record of its own.
        const records::CopyProvenance provenance = records::readProvenance(btmJpg);
        const std::vector<records::LoadedRecord> loaded =
            records::loadRecords(station.saveDir + QStringLiteral("records"));
        QCOMPARE(loaded.size(), std::size_t{1});
        QVERIFY(loaded.front().record);
        const records::AcquisitionMetadata& bottom = loaded.front().record->event.pictures.at(1);
        QCOMPARE(bottom.view, records::PictureView::Bottom);
        QCOMPARE(provenance.originalId, bottom.pictureId);
        QCOMPARE(provenance.originalSha256, records::sha256OfFile(btm));
        QCOMPARE(provenance.sample, QStringLiteral("12345678"));
        QVERIFY(!provenance.copyId.isNull() && provenance.copyId != bottom.pictureId);
        const records::VerifyReport report = records::verifySaveFolder({station.saveDir, {}, 2});
        QVERIFY2(report.ok(), qPrintable(report.problems.join('\n')));
        QCOMPARE(station.processes.started.at(1).at(1), clr);
        Form_ImageMaker& w = *station.window;
        QCOMPARE(w.TXT_CMDLINE->text(), QStringLiteral("/usr/bin/convert ") + clr +
                                            QStringLiteral(" -quality 80 ") + clrJpg);

        QCOMPARE(w.CapturedCount, qint16(1));
        QCOMPARE(w.CapturedSamples, QStringList{QStringLiteral("12345678")});
        QCOMPARE(w.lst_Captured->count(), 1);
        QCOMPARE(w.lst_Captured->item(0)->text(), QStringLiteral("12345678 captured at.... ") +
                                                      capture::generalDateText(station.now));
        QCOMPARE(w.lbl_Pictures->text(), QStringLiteral("12345678"));
        QVERIFY(!w.cmd_Redo->isHidden());
        QCOMPARE(station.keys.altGCount, 1);
        // The sequence ends in Waiting: the dialog's field was emptied when the number was taken.
        QCOMPARE(w.lbl_Status->text(), QStringLiteral("Waiting..."));
        QCOMPARE(w.SampleNumber, QString());
        QVERIFY(!w.cmd_capture->isEnabled());
        QVERIFY(station.messages.shown.isEmpty());
    }

    // What the camera reads back at the still goes into the picture's metadata as it was read:
    // numbers as numbers, text as text, nothing for what the camera lacks, and the reason when
    // its description could not be read whole.
    void stillMetadataKeepsWhatTheCameraReadBack_data() {
        QTest::addColumn<QString>("reason");
        QTest::addRow("all read") << QString();
        QTest::addRow("part unreadable") << QStringLiteral("exposure answers no capability query");
    }
    void stillMetadataKeepsWhatTheCameraReadBack() {
        QFETCH(QString, reason);
        camera::CameraDescription description;
        description.identity = {{"card", "Lab Cam"}, {"serial", "0042"}};
        description.controls = {{"exposure_time_absolute", "120"},
                                {"gain", "1.5"},
                                {"white_balance_automatic", "true"},
                                {"focus", "0"}};
        description.reason = reason;
        const QUuid captureId = QUuid::createUuid();
        records::AcquisitionMetadata metadata =
            capture::stillMetadata(description, "  12345678 ", capture::View::Bottom, 1, captureId);
        QCOMPARE(metadata.sample, QString("12345678"));
        QCOMPARE(metadata.view, records::PictureView::Bottom);
        QCOMPARE(metadata.cameraIndex, 1);
        QCOMPARE(metadata.captureId, captureId);
        QVERIFY(!metadata.pictureId.isNull() && metadata.pictureId != captureId);
        QCOMPARE(metadata.camera.at("serial"), QString("0042"));  // text, its zeros kept
        QCOMPARE(metadata.controls.at("exposure_time_absolute").value, QJsonValue(120));
        QCOMPARE(metadata.controls.at("gain").value, QJsonValue(1.5));
        QCOMPARE(metadata.controls.at("focus").value, QJsonValue(0));  // a real 0 stays
        QCOMPARE(metadata.controls.at("white_balance_automatic").value, QJsonValue("true"));
        QVERIFY(!metadata.controls.contains("brightness"));  // the camera lacks it: no 0
        QCOMPARE(metadata.controls.contains("controls"), !reason.isEmpty());
        if (!reason.isEmpty()) {
            QVERIFY(!metadata.controls.at("controls").readable());
            QCOMPARE(metadata.controls.at("controls").unreadableReason, reason);
        }
        capture::addWrittenStill(metadata, {QByteArray(32, 'x'), 99, {8, 6}, "BMP"});
        QCOMPARE(metadata.sha256, QByteArray(32, 'x'));
        QCOMPARE(metadata.size, QSize(8, 6));
        QCOMPARE(metadata.format, QString("BMP"));
    }

    void bottomViewIsTakenFirstAndReselected() {
        StationFixture station;
        station.writeWorkingSettings();
        station.startWaiting();
        station.accept(QStringLiteral("87654321"), false);
        station.window->cmd_View_Click();
        station.video->selects.clear();
        station.window->cmd_capture->click();
        const auto& stills = station.video->stills;
        QCOMPARE(stills.size(), 2);
        QVERIFY(takenBeside(stills[0], 0,
                            station.savedPath(QStringLiteral("BTM_"), QStringLiteral("87654321"))));
        QVERIFY(takenBeside(stills[1], 1,
                            station.savedPath(QStringLiteral("CLR_"), QStringLiteral("87654321"))));
        QCOMPARE(station.video->selects, (QList<int>{1, 0}));
    }

    void missingSettingsAreNamedAndNothingIsTaken_data() {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QStringList>("named");
        const QString exe = QStringLiteral("COMPRESS_EXE;/usr/bin/convert;x");
        const QString dir = QStringLiteral("IMAGE_SAVE_DIR;/tmp/;x");
        QTest::newRow("save folder empty")
            << QStringList{exe} << QStringList{QStringLiteral("IMAGE_SAVE_DIR")};
        QTest::newRow("compressed extension empty")
            << QStringList{exe, dir, QStringLiteral("FILE_EXT_COMPRESSED;;x")}
            << QStringList{QStringLiteral("FILE_EXT_COMPRESSED")};
        QTest::newRow("saved extension empty")
            << QStringList{exe, dir, QStringLiteral("FILE_EXT_SAVED;;x")}
            << QStringList{QStringLiteral("FILE_EXT_SAVED")};
        QTest::newRow("all three")
            << QStringList{exe, QStringLiteral("FILE_EXT_SAVED;;x"),
                           QStringLiteral("FILE_EXT_COMPRESSED;;x")}
            << QStringList{QStringLiteral("FILE_EXT_SAVED"), QStringLiteral("FILE_EXT_COMPRESSED"),
                           QStringLiteral("IMAGE_SAVE_DIR")};
    }
    void missingSettingsAreNamedAndNothingIsTaken() {
        QFETCH(QStringList, lines);
        QFETCH(QStringList, named);
        StationFixture station;
        station.writeSettings(lines);
        station.startWaiting();
        station.messages.shown.clear();
        station.video->selects.clear();
        station.window->SampleNumber = QStringLiteral("12345678");
        QVERIFY(!station.window->Save_Sample_Images());

        QVERIFY(station.video->stills.isEmpty());
        QCOMPARE(station.video->selects, QList<int>{1});
        QCOMPARE(station.messages.shown.size(), 1);
        QString expected = QStringLiteral(
            "Error:\r\nCannot save images because there are settings missing.  Please make sure "
            "there are entries and values in the settings file for the following:\r\n");
        for (const QString& name : named) {
            expected += QStringLiteral("\r\n - ") + name;
        }
        QCOMPARE(station.messages.shown.first(), expected);
        QVERIFY(station.processes.started.isEmpty());
    }

    void noCompressorStillSucceedsWithItsMessage() {
        StationFixture station;
        station.writeSettings({QStringLiteral("IMAGE_SAVE_DIR;%1;x").arg(station.saveDir)});
        station.startWaiting();
        station.accept(QStringLiteral("11112222"), true);
        QCOMPARE(station.video->stills.size(), 2);
        QCOMPARE(station.messages.shown,
                 QStringList{QStringLiteral(
                     "Error:\r\nCannot compress the images because there are settings missing.  "
                     "Please make sure there are entries and values in the settings file for the "
                     "following:\r\n\r\n - COMPRESS_EXE \r\n - FILE_EXT_COMPRESSED")});
        QCOMPARE(station.window->CapturedCount, qint16(1));
        QCOMPARE(station.keys.altGCount, 1);
    }

    void failuresSayWhatFailedAndChangeNothing_data() {
        QTest::addColumn<int>("stillsBeforeFailure");
        QTest::addColumn<QString>("compressor");
        QTest::addColumn<QStringList>("named");
        QTest::newRow("first still")
            << 0 << QStringLiteral("/usr/bin/convert")
            << QStringList{"taken from camera 1 (colour)", "camera 1 has delivered no picture"};
        QTest::newRow("second still")
            << 1 << QStringLiteral("/usr/bin/convert")
            << QStringList{"taken from camera 0 (bottom)", "camera 0 has delivered no picture"};
        QTest::newRow("compressor") << -1 << QStringLiteral("/opt/missing/compress")
                                    << QStringList{"/opt/missing/compress was not found"};
    }
    void failuresSayWhatFailedAndChangeNothing() {
        QFETCH(int, stillsBeforeFailure);
        QFETCH(QString, compressor);
        QFETCH(QStringList, named);
        StationFixture station;
        station.writeWorkingSettings(compressor, QString());
        station.processes.failingPrograms.insert(QStringLiteral("/opt/missing/compress"));
        station.startWaiting();
        station.video->failStillsAfter = stillsBeforeFailure;
        const platform::DiagnosticRecorder recorder;
        station.accept(QStringLiteral("12345678"), true);

        QCOMPARE(station.messages.shown.size(), 1);
        // Logged once, in the area that failed.
        QCOMPARE(recorder
                     .matching(stillsBeforeFailure < 0 ? "station.compress" : "station.capture",
                               named.first())
                     .size(),
                 std::size_t(1));
        const QString message = station.messages.shown.first();
        QVERIFY2(message.startsWith(QStringLiteral("Error:\r\n")), qPrintable(message));
        for (const QString& part : named) {
            QVERIFY2(message.contains(part), qPrintable(message));
        }
        // A still that fails ends the capture before the next one.
        QCOMPARE(station.video->stills.size(), stillsBeforeFailure < 0 ? 2 : stillsBeforeFailure);
        QCOMPARE(station.video->selects.last(), 1);
        QCOMPARE(station.window->CapturedCount, qint16(0));
        QCOMPARE(station.window->lst_Captured->count(), 0);
        QCOMPARE(station.keys.altGCount, 0);
        QCOMPARE(station.window->lbl_Status->text(), QStringLiteral("Waiting..."));
        if (stillsBeforeFailure < 0) {
            // The bottom compressor failed to start, so the colour one was not tried; the message
            // shows the command line with its two blanks for the empty options.
            QVERIFY(station.processes.started.isEmpty());
            QVERIFY(message.contains(
                QStringLiteral("/opt/missing/compress ") +
                station.savedPath(QStringLiteral("BTM_"), QStringLiteral("12345678")) +
                QStringLiteral("  ")));
        }
    }

    // Selects of a capture: 1 the switch to the other camera, 2 the closing one, 3 its retry. A
    // save folder out of reach has the pair taken again on this PC: 3 the switch, 4 the closing
    // select, 5 its retry.
    void closingSelectIsTriedAtMostTwice_data() {
        QTest::addColumn<bool>("outOfReach");
        QTest::addColumn<QSet<qsizetype>>("failing");
        QTest::addColumn<QString>("named");
        const QString again = QStringLiteral("Camera 1 could not be selected again");
        const QString bottom = QStringLiteral("camera 0 (bottom)");
        QTest::newRow("switch and first closing select fail")
            << false << QSet<qsizetype>{1, 2} << bottom;
        QTest::newRow("only the first closing select fails")
            << false << QSet<qsizetype>{2} << again;
        QTest::newRow("every select fails") << false << QSet<qsizetype>{1, 2, 3} << bottom;
        QTest::newRow("the view's camera is gone after the stills")
            << false << QSet<qsizetype>{2, 3} << again;
        QTest::newRow("kept on this PC, the view's camera gone after the stills")
            << true << QSet<qsizetype>{4, 5} << again;
        QTest::newRow("kept on this PC, the first closing select fails")
            << true << QSet<qsizetype>{4} << again;
    }
    void closingSelectIsTriedAtMostTwice() {
        QFETCH(bool, outOfReach);
        QFETCH(QSet<qsizetype>, failing);
        QFETCH(QString, named);
        StationFixture station;
        station.writeWorkingSettings();
        station.startWaiting();
        if (outOfReach) {
            QVERIFY(QDir(station.saveDir).removeRecursively());
        }
        station.window->SampleNumber = QStringLiteral("12345678");
        station.messages.shown.clear();
        station.video->selects.clear();
        station.video->failingSelects = failing;
        const platform::DiagnosticRecorder recorder;
        QVERIFY(!station.window->Save_Sample_Images());
        QCOMPARE(station.video->selects,
                 outOfReach ? (QList<int>{0, 1, 0, 1, 1}) : (QList<int>{0, 1, 1}));
        QVERIFY(station.processes.started.isEmpty());
        // Nothing of the pair is kept, under any name, here or on this PC (the spool folder's
        // own destination note and lock stay).
        QTRY_COMPARE(platform::detachedWorkRunning().load(), 0);
        for (const QString& folder :
             {station.saveDir, station.window->spoolForwarder()->spool().dir()}) {
            QCOMPARE(QDir(folder).entryList({QStringLiteral("*CLR_*"), QStringLiteral("*BTM_*")},
                                            QDir::Files | QDir::Hidden),
                     QStringList());
        }
        QCOMPARE(station.messages.shown.size(), 1);
        const QString message = station.messages.shown.first();
        QVERIFY2(message.startsWith(QStringLiteral("Error:\r\n")), qPrintable(message));
        QVERIFY2(message.contains(named) && message.contains(QStringLiteral("did not answer")),
                 qPrintable(message));
        const auto logged = recorder.matching("station.capture", named);
        QCOMPARE(logged.size(), std::size_t(1));
        QCOMPARE(logged.front().field("SAMPLE"), QStringLiteral("12345678"));
    }

    void failedCompressorIsNotedOnItsLine_data() {
        QTest::addColumn<int>("exitStatus");
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("named");
        QTest::newRow("exit status 3") << 3 << 0 << QStringLiteral("exit status 3");
        QTest::newRow("killed") << 0 << 9 << QStringLiteral("signal 9");
        QTest::newRow("success") << 0 << 0 << QString();
    }
    void failedCompressorIsNotedOnItsLine() {
        QFETCH(int, exitStatus);
        QFETCH(int, signal);
        QFETCH(QString, named);
        StationFixture station;
        station.writeWorkingSettings();
        station.startWaiting();
        Form_ImageMaker& w = *station.window;
        const platform::DiagnosticRecorder recorder;
        station.accept(QStringLiteral("11111111"), true);
        station.accept(QStringLiteral("22222222"), true);
        const QString firstLine = w.lst_Captured->item(0)->text();
        const QString secondLine = w.lst_Captured->item(1)->text();
        // The first capture's bottom compressor ends after the next capture was listed.
        station.processes.finish(0, exitStatus, signal);
        for (qsizetype position = 1; position < station.processes.started.size(); ++position) {
            station.processes.finish(position, 0);
        }
        const QString status = w.lbl_Status->text();
        // The next capture works as ever.
        station.accept(QStringLiteral("33333333"), true);
        QCOMPARE(w.CapturedCount, qint16(3));
        QCOMPARE(station.processes.started.size(), 6);
        QCOMPARE(w.lst_Captured->item(1)->text(), secondLine);
        QVERIFY(station.messages.shown.isEmpty());
        // The copy of the failed compressor is gone, under every name.
        const QString btmJpg = station.savedPath(QStringLiteral("BTM_"), QStringLiteral("11111111"),
                                                 QStringLiteral("JPG"));
        QTRY_COMPARE(platform::detachedWorkRunning().load(), 0);
        QCOMPARE(QFile::exists(btmJpg), named.isEmpty());
        QVERIFY(!QFile::exists(station.processes.started.at(0).last()));
        const auto logged = recorder.matching("station.compress", QStringLiteral("BTM_11111111"));
        QCOMPARE(logged.size(), std::size_t(named.isEmpty() ? 0 : 1));
        if (named.isEmpty()) {
            QCOMPARE(w.lst_Captured->item(0)->text(), firstLine);
            QCOMPARE(status, QStringLiteral("Waiting..."));
            return;
        }
        for (const QString& note : {w.lst_Captured->item(0)->text(), status}) {
            QVERIFY2(note.contains(QStringLiteral("BTM_11111111_01.BMP")), qPrintable(note));
            QVERIFY2(note.contains(named), qPrintable(note));
            QVERIFY2(!note.contains(QStringLiteral("CLR_")), qPrintable(note));
        }
        QVERIFY(w.lst_Captured->item(0)->text().startsWith(firstLine));
        QVERIFY2(logged.front().field("REASON").contains(named), qPrintable(logged.front().text()));
        // The double click still finds the sample of the noted line.
        QCOMPARE(w.CapturedSamples.first(), QStringLiteral("11111111"));
    }

    void saveFolderNeedsItsFinalSlash_data() {
        // FOLDER stands for the test's image folder, without its final '/'.
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("taken");
        QTest::newRow("existing folder without final /") << QStringLiteral("FOLDER") << false;
        QTest::newRow("file-name prefix inside the folder")
            << QStringLiteral("FOLDER/station1_") << true;
    }
    void saveFolderNeedsItsFinalSlash() {
        QFETCH(QString, value);
        QFETCH(bool, taken);
        StationFixture station;
        const QString folder = station.saveDir.chopped(1);
        value.replace(QStringLiteral("FOLDER"), folder);
        station.writeSettings({QStringLiteral("COMPRESS_EXE;/usr/bin/convert;x"),
                               QStringLiteral("IMAGE_SAVE_DIR;%1;x").arg(value)});
        station.startWaiting();
        station.accept(QStringLiteral("12345678"), true);

        QCOMPARE(station.window->CapturedCount, qint16(taken ? 1 : 0));
        const QString colour = value + QStringLiteral("CLR_12345678_01.BMP");
        QCOMPARE(QFile::exists(colour), taken);
        if (taken) {
            QVERIFY(QFile::exists(value + QStringLiteral("BTM_12345678_01.BMP")));
            QVERIFY(station.messages.shown.isEmpty());
            return;
        }
        QVERIFY(station.video->stills.isEmpty());
        QCOMPARE(station.messages.shown.size(), 1);
        const QString message = station.messages.shown.first();
        QVERIFY2(message.contains(QStringLiteral("\r\n - IMAGE_SAVE_DIR")), qPrintable(message));
        QVERIFY2(message.contains(value) && message.contains(QStringLiteral("final /")),
                 qPrintable(message));
    }

    void panelShowsTheCompressedCopiesOfEightCharacterNumbers() {
        StationFixture station;
        station.writeWorkingSettings();
        station.startWaiting();
        writeJpeg(station.savedPath(QStringLiteral("BTM_"), QStringLiteral("12345678"),
                                    QStringLiteral("JPG")),
                  Qt::blue);
        writeJpeg(station.savedPath(QStringLiteral("CLR_"), QStringLiteral("12345678"),
                                    QStringLiteral("JPG")),
                  Qt::red);
        writeJpeg(station.savedPath(QStringLiteral("CLR_"), QStringLiteral("1234567 "),
                                    QStringLiteral("JPG")),
                  Qt::green);
        writeJpeg(station.savedPath(QStringLiteral("CLR_"), QStringLiteral("1234567"),
                                    QStringLiteral("JPG")),
                  Qt::yellow);
        Form_ImageMaker& w = *station.window;

        w.Show_Sample_Images(QStringLiteral("12345678"));
        QTRY_VERIFY(near(centreOf(w.img_bttm), Qt::blue));
        QVERIFY(near(centreOf(w.img_color), Qt::red));
        QCOMPARE(w.lbl_Pictures->text(), QStringLiteral("12345678"));
        QVERIFY(!w.cmd_Redo->isHidden());
        QVERIFY(!w.cmd_Delete->isHidden());

        // A trailing blank belongs to the number: the names are those the capture wrote.
        w.Show_Sample_Images(QStringLiteral("1234567 "));
        QTRY_VERIFY(near(centreOf(w.img_color), Qt::green));
        QVERIFY(w.img_bttm->pixmap().isNull());
        QCOMPARE(w.lbl_Pictures->text(), QStringLiteral("1234567 "));

        for (const QString& number :
             {QStringLiteral("1234567"), QStringLiteral("123456789"), QString()}) {
            w.Show_Sample_Images(number);
            QTest::qWait(100);  // a load that was under way would land by now
            QVERIFY(w.img_color->pixmap().isNull());
            QVERIFY(w.img_bttm->pixmap().isNull());
            QCOMPARE(w.lbl_Pictures->text(), QStringLiteral("Last Image Taken"));
            QVERIFY(w.cmd_Redo->isHidden());
            QVERIFY(w.cmd_Delete->isHidden());
        }
    }

    void panelReloadsWhenTheCompressorFinishes() {
        StationFixture station;
        station.writeWorkingSettings();
        station.startWaiting();
        Form_ImageMaker& w = *station.window;
        const QString colour = station.savedPath(QStringLiteral("CLR_"), QStringLiteral("55556666"),
                                                 QStringLiteral("JPG"));
        writeJpeg(colour, Qt::red);
        w.Show_Sample_Images(QStringLiteral("55556666"));
        QTRY_VERIFY(near(centreOf(w.img_color), Qt::red));
        QVERIFY(w.img_bttm->pixmap().isNull());

        // The compressor writes the bottom copy and rewrites the colour one later.
        writeJpeg(station.savedPath(QStringLiteral("BTM_"), QStringLiteral("55556666"),
                                    QStringLiteral("JPG")),
                  Qt::blue);
        QTRY_VERIFY(!w.img_bttm->pixmap().isNull());
        QVERIFY(near(centreOf(w.img_bttm), Qt::blue));
        writeJpeg(colour + QStringLiteral(".tmp"), Qt::green);
        QVERIFY(QFile::remove(colour));
        QVERIFY(QFile::rename(colour + QStringLiteral(".tmp"), colour));
        QTRY_VERIFY(near(centreOf(w.img_color), Qt::green));
    }

    void emptyCompressedExtensionLeavesThePanelAsItWas() {
        StationFixture station;
        station.writeSettings({QStringLiteral("FILE_EXT_COMPRESSED;;x")});
        station.startWaiting();
        Form_ImageMaker& w = *station.window;
        QCOMPARE(station.messages.shown,
                 QStringList{QStringLiteral(
                     "Error:\r\nCannot display images because there are settings missing.  Please "
                     "make sure there are entries and values in the settings file for the "
                     "following:\r\n\r\n - FILE_EXT_COMPRESSED ")});
        QCOMPARE(w.lbl_Pictures->text(), QStringLiteral("Images"));
        w.Show_Sample_Images(QStringLiteral("12345678"));
        QCOMPARE(w.lbl_Pictures->text(), QStringLiteral("Images"));
        QVERIFY(w.cmd_Redo->isHidden());
    }

    // The cameras come from the index fields; one that does not answer is reported, so that the
    // operator knows the live view has not switched.
    void viewButtonAlternatesAndSelectsLast_data() {
        QTest::addColumn<bool>("swapped");
        QTest::addColumn<QSet<qsizetype>>("failing");
        QTest::newRow("both answer") << false << QSet<qsizetype>{};
        QTest::newRow("cameras numbered the other way") << true << QSet<qsizetype>{};
        QTest::newRow("the bottom camera does not answer") << false << QSet<qsizetype>{1};
    }
    void viewButtonAlternatesAndSelectsLast() {
        QFETCH(bool, swapped);
        QFETCH(QSet<qsizetype>, failing);
        StationFixture station;
        station.startWaiting();
        Form_ImageMaker& w = *station.window;
        station.accept(QStringLiteral("12345678"), false);
        w.ColorCameraIndex = swapped ? 0 : 1;
        w.BottomCameraIndex = swapped ? 1 : 0;
        station.video->selects.clear();
        station.video->failingSelects = failing;
        w.cmd_View->click();
        QCOMPARE(w.lbl_view->text(), QStringLiteral("Bottom View"));
        QCOMPARE(w.CurrentView, QStringLiteral("Bottom"));
        w.cmd_View->click();
        QCOMPARE(w.lbl_view->text(), QStringLiteral("Color View"));
        QCOMPARE(w.CurrentView, QStringLiteral("Color"));
        QCOMPARE(station.video->selects, swapped ? (QList<int>{1, 0}) : (QList<int>{0, 1}));
        QCOMPARE(w.cmd_View->icon().pixmap(32).toImage(),
                 QIcon(w.img_bttn_bottom).pixmap(32).toImage());
        QCOMPARE(station.messages.shown.size(), failing.size());
        for (const QString& message : station.messages.shown) {
            for (const QString& part : {QStringLiteral("Camera 0"), QStringLiteral("not switched"),
                                        QStringLiteral("did not answer")}) {
                QVERIFY2(message.contains(part), qPrintable(message));
            }
        }
    }

    // Each pair has its record, written before its pictures take their final names; the same
    // number taken again is a redo. A records folder that cannot be written fails the capture as
    // a picture that cannot be written does: nothing under the final names.
    void eachPairHasItsRecord_data() {
        QTest::addColumn<QString>("recordsSetting");  // below the station's folder; empty: none
        QTest::addColumn<bool>("writable");
        QTest::addColumn<bool>("keep");  // the redo keeps the earlier pair
        QTest::addRow("inside the save folder") << QString() << true << true;
        QTest::addRow("named by the setting")
            << QStringLiteral("elsewhere/records") << true << true;
        QTest::addRow("cannot be written") << QStringLiteral("blocked/records") << false << true;
        QTest::addRow("originals not kept") << QString() << true << false;
    }
    void eachPairHasItsRecord() {
        QFETCH(QString, recordsSetting);
        QFETCH(bool, writable);
        QFETCH(bool, keep);
        StationFixture station;
        QStringList lines{QStringLiteral("COMPRESS_EXE;/usr/bin/convert;x"),
                          QStringLiteral("COMPRESS_COMMAND_LINE_OPTIONS;-quality 80;x"),
                          QStringLiteral("IMAGE_SAVE_DIR;%1;x").arg(station.saveDir)};
        const QString recordsDir = recordsSetting.isEmpty()
                                       ? station.saveDir + QStringLiteral("records")
                                       : station.folder() + QLatin1Char('/') + recordsSetting;
        if (!recordsSetting.isEmpty()) {
            lines.append(QStringLiteral("RECORDS_DIR;%1;x").arg(recordsDir));
        }
        if (!keep) {
            lines.append(QStringLiteral("KEEP_REPLACED_PICTURES;no;x"));
        }
        QFile blocker(station.folder() + QStringLiteral("/blocked"));  // a file, not a folder
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        station.writeSettings(lines);
        station.startWaiting();
        station.video->controls[1] = {{QStringLiteral("gain"), QStringLiteral("3")}};
        station.accept(QStringLiteral("12345678"), true);
        const QString clr = station.savedPath(QStringLiteral("CLR_"), QStringLiteral("12345678"));
        const QString btm = station.savedPath(QStringLiteral("BTM_"), QStringLiteral("12345678"));
        if (!writable) {
            QCOMPARE(station.messages.shown.size(), 1);
            QVERIFY2(station.messages.shown.first().contains("could not be saved"),
                     qPrintable(station.messages.shown.first()));
            QVERIFY(QDir(station.saveDir).entryList(QDir::Files | QDir::Hidden).isEmpty());
            QCOMPARE(station.window->CapturedCount, qint16(0));
            return;
        }
        QVERIFY2(station.messages.shown.isEmpty(), qPrintable(station.messages.shown.join('\n')));
        // A watcher of the save folder sees the pair and nothing else beside it.
        QCOMPARE(QDir(station.saveDir).entryList(QDir::Files | QDir::Hidden),
                 (QStringList{QFileInfo(btm).fileName(), QFileInfo(clr).fileName()}));
        const QByteArray earlierColour = contentsOf(clr);
        const QByteArray earlierBottom = contentsOf(btm);
        station.video->colours[1] = Qt::green;
        station.messages.answers.enqueue(true);
        station.window->cmd_Redo->click();
        QCOMPARE(station.window->CapturedCount, qint16(2));
        QVERIFY(contentsOf(clr) != earlierColour);

        const std::vector<records::LoadedRecord> loaded = records::loadRecords(recordsDir);
        QCOMPARE(loaded.size(), std::size_t{2});
        QVERIFY(loaded[0].record && loaded[1].record);
        QCOMPARE(loaded[0].record->event.kind, records::RecordEventKind::Capture);
        QCOMPARE(loaded[1].record->event.kind, records::RecordEventKind::Redo);
        QCOMPARE(loaded[1].record->event.supersedes,
                 loaded[0].record->event.pictures.at(0).captureId);
        const records::RecordEvent& event = loaded[1].record->event;
        QCOMPARE(event.sample, QString("12345678"));
        QCOMPARE(event.pictures.size(), std::size_t{2});
        const records::AcquisitionMetadata& colour = event.pictures[0];
        const records::AcquisitionMetadata& bottom = event.pictures[1];
        QCOMPARE(colour.view, records::PictureView::Color);
        QCOMPARE(colour.cameraIndex, 1);
        QCOMPARE(bottom.view, records::PictureView::Bottom);
        QCOMPARE(bottom.cameraIndex, 0);
        QCOMPARE(colour.captureId, bottom.captureId);
        QVERIFY(colour.captureId != loaded[0].record->event.pictures[0].captureId);
        QVERIFY(colour.pictureId != bottom.pictureId);
        QCOMPARE(colour.controls.at("gain").value, QJsonValue(3));
        QVERIFY(bottom.controls.empty());  // camera 0 reads back none: none written
        QCOMPARE(colour.camera.at("description"), QString("recording camera 1"));
        for (const auto& [picture, path] : {std::pair{&colour, clr}, std::pair{&bottom, btm}}) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(picture->sha256,
                     QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256));
            QCOMPARE(picture->size, QSize(8, 6));
            QCOMPARE(picture->format, QString("BMP"));
        }
        QCOMPARE(event.files.size(), std::size_t{2});
        QCOMPARE(event.files[0].name, QFileInfo(clr).fileName());
        // The earlier pair byte for byte in superseded/, under names no watcher takes for live
        // pictures; or, set not to keep it, nothing kept and the record says so.
        QCOMPARE(event.originalsKept, keep);
        QCOMPARE(event.kept.size(), keep ? std::size_t{2} : std::size_t{0});
        for (const records::KeptFile& kept : event.kept) {
            QVERIFY2(kept.keptAs.startsWith(QStringLiteral("superseded/2")),
                     qPrintable(kept.keptAs));
            QCOMPARE(contentsOf(station.saveDir + kept.keptAs),
                     kept.name == QFileInfo(clr).fileName() ? earlierColour : earlierBottom);
        }
        QCOMPARE(QFileInfo::exists(station.saveDir + QStringLiteral("superseded")), keep);
        const records::VerifyReport report = records::verifySaveFolder(
            {station.saveDir, recordsSetting.isEmpty() ? QString() : recordsDir});
        QVERIFY2(report.ok(), qPrintable(report.problems.join('\n')));
    }

    // A saved picture in a format that carries XMP says which record it belongs to; its record's
    // digest is that of the bytes with the metadata in them. A BMP carries none.
    void savedPictureCarriesItsMetadata_data() {
        QTest::addColumn<QString>("extension");
        QTest::addColumn<bool>("carries");
        QTest::addRow("PNG") << QStringLiteral("PNG") << true;
        QTest::addRow("JPEG") << QStringLiteral("jpg") << true;
        QTest::addRow("BMP") << QStringLiteral("BMP") << false;
    }
    void savedPictureCarriesItsMetadata() {
        QFETCH(QString, extension);
        QFETCH(bool, carries);
        StationFixture station;
        station.writeWorkingSettings();
        station.appendSetting(QStringLiteral("FILE_EXT_SAVED;%1;x").arg(extension));
        station.startWaiting();
        station.accept(QStringLiteral("12345678"), true);
        QVERIFY2(station.messages.shown.isEmpty(), qPrintable(station.messages.shown.join('\n')));
        const records::RecordEvent event =
            records::loadRecords(station.saveDir + QStringLiteral("records")).at(0).record->event;
        for (std::size_t i = 0; i < 2; ++i) {
            const QString path = station.saveDir + event.files.at(i).name;
            QCOMPARE(event.files.at(i).sha256, records::sha256OfFile(path));
            QVERIFY(!QImage(path).isNull());
            const records::CopyProvenance said = records::readProvenance(path);
            QCOMPARE(said.copyId, carries ? event.pictures.at(i).pictureId : QUuid());
            QCOMPARE(said.sample, carries ? QStringLiteral("12345678") : QString());
        }
    }

    void redoOffersTheDisplayedSampleAgain() {
        StationFixture station;
        station.writeWorkingSettings();
        station.startWaiting();
        Form_ImageMaker& w = *station.window;
        station.accept(QStringLiteral("12345678"), true);
        QCOMPARE(w.lbl_Pictures->text(), QStringLiteral("12345678"));

        station.messages.answers.enqueue(false);
        w.cmd_Redo->click();
        QVERIFY(w.cmd_Redo->isHidden());
        QVERIFY(w.cmd_Delete->isHidden());
        QCOMPARE(w.lbl_Pictures->text(), QStringLiteral("12345678"));
        QCOMPARE(w.lbl_Status->text(), QStringLiteral("Ready"));
        QCOMPARE(w.SampleNumber, QStringLiteral("12345678"));
        QCOMPARE(station.messages.questions.size(), 2);

        w.cmd_capture->click();
        QCOMPARE(w.CapturedCount, qint16(2));
        QCOMPARE(w.CapturedSamples,
                 (QStringList{QStringLiteral("12345678"), QStringLiteral("12345678")}));
        QVERIFY(!w.cmd_Redo->isHidden());
    }

    void deleteRemovesTheSavedPicturesOnly_data() {
        QTest::addColumn<bool>("keep");
        QTest::addRow("kept in deleted/") << true;
        QTest::addRow("originals not kept") << false;
    }
    void deleteRemovesTheSavedPicturesOnly() {
        QFETCH(bool, keep);
        StationFixture station;
        station.writeWorkingSettings();
        if (!keep) {
            station.appendSetting(QStringLiteral("KEEP_REPLACED_PICTURES;off;x"));
        }
        station.startWaiting();
        Form_ImageMaker& w = *station.window;
        station.accept(QStringLiteral("12345678"), true);
        const QString clr = station.savedPath(QStringLiteral("CLR_"), QStringLiteral("12345678"));
        const QString btm = station.savedPath(QStringLiteral("BTM_"), QStringLiteral("12345678"));
        const QString jpg = station.savedPath(QStringLiteral("CLR_"), QStringLiteral("12345678"),
                                              QStringLiteral("JPG"));
        writeJpeg(jpg, Qt::red);
        const QByteArray colour = contentsOf(clr);

        w.cmd_Delete->click();
        QVERIFY(!QFile::exists(clr));
        QVERIFY(!QFile::exists(btm));
        QVERIFY(QFile::exists(jpg));
        const records::RecordEvent deleted =
            records::loadRecords(station.saveDir + QStringLiteral("records")).back().record->event;
        QCOMPARE(deleted.originalsKept, keep);
        QCOMPARE(deleted.kept.size(), keep ? std::size_t{2} : std::size_t{0});
        for (const records::KeptFile& kept : deleted.kept) {
            QVERIFY2(kept.keptAs.startsWith(QStringLiteral("deleted/2")), qPrintable(kept.keptAs));
            QVERIFY(QFile::exists(station.saveDir + kept.keptAs));
            if (kept.name == QFileInfo(clr).fileName()) {
                QCOMPARE(contentsOf(station.saveDir + kept.keptAs), colour);
            }
        }
        // The sample's newest record says so and names the copy that stays: the folder verifies.
        const std::vector<records::LoadedRecord> loaded =
            records::loadRecords(station.saveDir + QStringLiteral("records"));
        QCOMPARE(loaded.size(), std::size_t{2});
        QVERIFY(loaded.back().record);
        QCOMPARE(loaded.back().record->event.kind, records::RecordEventKind::Delete);
        QCOMPARE(loaded.back().record->event.files.size(), std::size_t{1});
        QCOMPARE(loaded.back().record->event.files[0].name, QFileInfo(jpg).fileName());
        const records::VerifyReport report = records::verifySaveFolder({station.saveDir, {}, 2});
        QVERIFY2(report.ok(), qPrintable(report.problems.join('\n')));
        QVERIFY(!w.cmd_Delete->isHidden());
        QCOMPARE(w.lst_Captured->count(), 1);
        w.cmd_Delete->click();
        QCOMPARE(station.files.removeAttempts.size(), 2);
        QVERIFY(station.messages.shown.isEmpty());
    }

    void deleteThatFailsNamesTheFileAndTriesTheOther() {
        StationFixture station;
        station.writeWorkingSettings();
        station.startWaiting();
        station.accept(QStringLiteral("12345678"), true);
        const QString clr = station.savedPath(QStringLiteral("CLR_"), QStringLiteral("12345678"));
        const QString btm = station.savedPath(QStringLiteral("BTM_"), QStringLiteral("12345678"));
        station.files.undeletable.insert(clr);
        station.window->cmd_Delete->click();
        QVERIFY(QFile::exists(clr));
        QVERIFY(!QFile::exists(btm));
        QCOMPARE(station.messages.shown.size(), 1);
        QVERIFY(station.messages.shown.first().startsWith(QStringLiteral("Error:\r\n")));
        QVERIFY(
            station.messages.shown.first().contains(clr + QStringLiteral(": Permission denied")));
    }

    void deleteWithoutSavedExtensionDoesNothing() {
        StationFixture station;
        station.writeSettings({QStringLiteral("FILE_EXT_SAVED;;x")});
        station.startWaiting();
        station.window->Show_Sample_Images(QStringLiteral("12345678"));
        station.window->cmd_Delete_Click();
        QVERIFY(station.files.removeAttempts.isEmpty());
    }

    void doubleClickShowsTheSampleOfThatLine() {
        StationFixture station;
        station.writeWorkingSettings();
        station.startWaiting();
        Form_ImageMaker& w = *station.window;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        // Without a selected line a double click changes nothing.
        QTest::mouseDClick(w.lst_Captured->viewport(), Qt::LeftButton);
        QCOMPARE(w.lbl_Pictures->text(), QStringLiteral("Last Image Taken"));

        for (const QString& number :
             {QStringLiteral("11111111"), QStringLiteral("22222222"), QStringLiteral("33333333")}) {
            station.accept(number, true);
        }
        const QRect line = w.lst_Captured->visualItemRect(w.lst_Captured->item(1));
        QTest::mouseClick(w.lst_Captured->viewport(), Qt::LeftButton, {}, line.center());
        QTest::mouseDClick(w.lst_Captured->viewport(), Qt::LeftButton, {}, line.center());
        QCOMPARE(w.lbl_Pictures->text(), QStringLiteral("22222222"));
        QCOMPARE(w.CapturedCount, qint16(3));
        w.close();
    }

    void listStaysConsistentAtItsLimit() {
        StationFixture station;
        station.startWaiting();
        Form_ImageMaker& w = *station.window;
        w.lst_Captured->setUpdatesEnabled(false);
        for (int i = 0; i < Form_ImageMaker::kMaxCapturedLines; ++i) {
            w.SampleNumber = QString::number(i);
            w.Add_Captured_Sample();
        }
        QCOMPARE(w.CapturedCount, qint16(32767));
        QVERIFY(station.messages.shown.isEmpty());
        for (const QString& number : {QStringLiteral("NEW1"), QStringLiteral("NEW2")}) {
            w.SampleNumber = number;
            w.Add_Captured_Sample();
        }
        QCOMPARE(w.CapturedCount, qint16(32767));
        QCOMPARE(w.CapturedSamples.size(), 32767);
        QCOMPARE(w.lst_Captured->count(), 32767);
        QCOMPARE(w.CapturedSamples.first(), QStringLiteral("2"));
        QCOMPARE(w.CapturedSamples.last(), QStringLiteral("NEW2"));
        QVERIFY(w.lst_Captured->item(0)->text().startsWith(QStringLiteral("2 captured at")));
        QVERIFY(w.lst_Captured->item(32766)->text().startsWith(QStringLiteral("NEW2 captured at")));
        QCOMPARE(station.messages.shown.size(), 1);
        QVERIFY(station.messages.shown.first().contains(QStringLiteral("32767")));
    }
};

QTEST_MAIN(TestCaptureLoop)
#include "tst_capture_loop.moc"
