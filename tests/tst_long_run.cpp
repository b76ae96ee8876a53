// A thousand captures in one process on the real camera control: the list, the array and the
// count stay in step, and neither file descriptors nor threads pile up.
#include <QDir>
#include <QListWidget>
#include <QTest>

#include "LiveStation.h"

namespace {

int entriesIn(const QString& folder) {
    return static_cast<int>(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size());
}

}  // namespace

class TestLongRun : public QObject {
    Q_OBJECT
private slots:
    void thousandCaptures() {
        LiveStation station({QStringLiteral("COMPRESS_EXE;/bin/true;x"),
                             QStringLiteral("IMAGE_SAVE_DIR;SAVE_DIR_HERE;x")});
        station.startWith(QString(), false);
        capture::Form_ImageMaker& w = *station.window;
        const auto captureOne = [&](int i) {
            station.messages.answers.enqueue(true);
            w.frmWo().txt_Sample->setText(QStringLiteral("%1").arg(i, 8, 10, QLatin1Char('0')));
            w.Accept_Sample_Number();
            // Lets the queued keystrokes and repaints through, as the operator's pauses would.
            QCoreApplication::processEvents();
        };
        for (int i = 0; i < 10; ++i) {
            captureOne(i);
        }
        const int fdsAfterTen = entriesIn(QStringLiteral("/proc/self/fd"));
        const int threadsAfterTen = entriesIn(QStringLiteral("/proc/self/task"));
        for (int i = 10; i < 1000; ++i) {
            captureOne(i);
        }
        QVERIFY2(station.messages.shown.isEmpty(), qPrintable(station.messages.shown.join('\n')));
        QCOMPARE(w.CapturedCount, qint16(1000));
        QCOMPARE(w.CapturedSamples.size(), 1000);
        QCOMPARE(w.lst_Captured->count(), 1000);
        for (int i = 0; i < 1000; i += 111) {
            QVERIFY(w.lst_Captured->item(i)->text().startsWith(
                w.CapturedSamples.at(i) + QStringLiteral(" captured at.... ")));
        }
        QCOMPARE(QDir(station.saveDir).entryList(QDir::Files).size(), 2000);
        QVERIFY2(entriesIn(QStringLiteral("/proc/self/fd")) <= fdsAfterTen + 2,
                 qPrintable(QString::number(entriesIn(QStringLiteral("/proc/self/fd")))));
        QVERIFY(entriesIn(QStringLiteral("/proc/self/task")) <= threadsAfterTen + 2);

        // Up to the 16-bit limit, then one more real capture: the oldest line makes room.
        while (w.CapturedCount < capture::Form_ImageMaker::kMaxCapturedLines) {
            w.SampleNumber = QStringLiteral("FILL");
            w.Add_Captured_Sample();
        }
        captureOne(424242);
        QCOMPARE(w.CapturedCount, qint16(32767));
        QCOMPARE(w.lst_Captured->count(), 32767);
        QCOMPARE(w.CapturedSamples.size(), 32767);
        QCOMPARE(w.CapturedSamples.first(), QStringLiteral("00000001"));
        QCOMPARE(w.CapturedSamples.last(), QStringLiteral("00424242"));
        QCOMPARE(station.messages.shown.size(), 1);
    }
};

QTEST_MAIN(TestLongRun)
#include "tst_long_run.moc"
