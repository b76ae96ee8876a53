// Lab records: acquisition metadata, digests, provenance in the copies, the chained records, the
// folders that keep replaced pictures, and the verifier program an auditor runs.
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <set>
#include <thread>

#include "AcquisitionMetadata.h"
#include "EmbeddedProvenance.h"
#include "PlatformError.h"
#include "RecordBook.h"
#include "RecordVerifier.h"
#include "Retention.h"
#include "Sha256.h"

using namespace records;

namespace {

const QString kStation = QStringLiteral("station-a");

QByteArray bytesOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray encoded(const QColor& colour, const char* format) {
    QImage image(64, 48, QImage::Format_RGB888);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

AcquisitionMetadata sampleMetadata(const QString& sample, PictureView view) {
    AcquisitionMetadata metadata =
        newPictureMetadata(QStringLiteral(" ") + sample + QStringLiteral("\t"), view,
                           view == PictureView::Color ? 1 : 0, QUuid::createUuid());
    metadata.camera = {{QStringLiteral("name"), QStringLiteral("UVC Camera 046d:0825")},
                       {QStringLiteral("make"), QStringLiteral("Logitech")},
                       {QStringLiteral("device"), QStringLiteral("/dev/video2")}};
    metadata.controls = {
        {QStringLiteral("exposure_time_absolute"), ControlReading::of(250)},
        {QStringLiteral("white_balance_automatic"), ControlReading::of(false)},
        {QStringLiteral("gain"), ControlReading::unreadable(QStringLiteral("Input/output error"))}};
    metadata.size = {64, 48};
    metadata.format = QStringLiteral("BMP");
    return metadata;
}

QString prefixOf(PictureView view) {
    return view == PictureView::Color ? QStringLiteral("CLR_") : QStringLiteral("BTM_");
}

// One sample's pair and its copies as the station leaves them in a save folder.
struct Pair {
    std::vector<RecordedFile> pictures;
    std::vector<RecordedFile> copies;
    std::vector<AcquisitionMetadata> metadata;
};

Pair writePair(const QString& save, const QString& sample, int shade) {
    Pair pair;
    const QUuid captureId = QUuid::createUuid();
    for (const PictureView view : {PictureView::Color, PictureView::Bottom}) {
        AcquisitionMetadata metadata = sampleMetadata(sample, view);
        metadata.captureId = captureId;
        const QString stem = prefixOf(view) + sample + QStringLiteral("_01");
        const QByteArray picture =
            encoded(QColor(shade, 40, view == PictureView::Color ? 90 : 200), "BMP");
        writeBytes(QDir(save).filePath(stem + QStringLiteral(".BMP")), picture);
        metadata.sha256 = sha256Of(picture);
        pair.pictures.push_back(
            {stem + QStringLiteral(".BMP"), metadata.sha256, metadata.pictureId, {}});
        const QString copy = QDir(save).filePath(stem + QStringLiteral(".JPG"));
        writeBytes(copy, encoded(QColor(shade, 40, 90), "JPG"));
        const QUuid copyId = QUuid::createUuid();
        embedProvenance(copy, metadata, copyId);
        pair.copies.push_back(
            {stem + QStringLiteral(".JPG"), sha256OfFile(copy), copyId, metadata.pictureId});
        pair.metadata.push_back(metadata);
    }
    return pair;
}

RecordEvent eventOf(RecordEventKind kind, const QString& sample, const Pair& pair,
                    bool withCopies) {
    RecordEvent event;
    event.kind = kind;
    event.sample = sample;
    event.files = pair.pictures;
    if (withCopies) {
        event.files.insert(event.files.end(), pair.copies.begin(), pair.copies.end());
    }
    event.pictures = pair.metadata;
    return event;
}

// Three samples: one captured, one captured and taken again (its first pair superseded, its
// copies explained only by their own metadata), one captured and deleted (its copies stay).
void buildSaveFolder(const QString& save) {
    RecordBook book(defaultRecordsFolder(save), kStation);
    const QString first = QStringLiteral("11111111");
    book.write(eventOf(RecordEventKind::Capture, first, writePair(save, first, 10), true));

    const QString redone = QStringLiteral("22222222");
    const Pair earlier = writePair(save, redone, 20);
    book.write(eventOf(RecordEventKind::Capture, redone, earlier, false));
    std::vector<KeptFile> kept;
    for (const std::vector<RecordedFile>* files : {&earlier.pictures, &earlier.copies}) {
        for (const RecordedFile& file : *files) {
            kept.push_back(keepFile(save, file.name, earlier.metadata[0].time,
                                    KeptReason::Superseded, file.sha256));
        }
    }
    RecordEvent redo = eventOf(RecordEventKind::Redo, redone, writePair(save, redone, 30), false);
    redo.supersedes = earlier.metadata[0].captureId;
    redo.kept = kept;
    book.write(redo);

    const QString deleted = QStringLiteral("33333333");
    const Pair doomed = writePair(save, deleted, 40);
    book.write(eventOf(RecordEventKind::Capture, deleted, doomed, true));
    RecordEvent removal;
    removal.kind = RecordEventKind::Delete;
    removal.sample = deleted;
    removal.files = doomed.copies;
    for (const RecordedFile& file : doomed.pictures) {
        removal.kept.push_back(
            keepFile(save, file.name, doomed.metadata[0].time, KeptReason::Deleted, file.sha256));
    }
    book.write(removal);
}

bool copyTree(const QString& from, const QString& to) {
    const QDir source(from);
    if (!QDir().mkpath(to)) {
        return false;
    }
    for (const QFileInfo& entry :
         source.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
        const QString target = QDir(to).filePath(entry.fileName());
        if (entry.isDir() ? !copyTree(entry.filePath(), target)
                          : !QFile::copy(entry.filePath(), target)) {
            return false;
        }
    }
    return true;
}

QString recordNamed(const QString& save, qint64 sequence) {
    const QDir folder(QDir(defaultRecordsFolder(save)).filePath(kStation));
    const QStringList names =
        folder.entryList({QStringLiteral("%1-*").arg(sequence, 8, 10, QLatin1Char('0'))});
    return names.isEmpty() ? QString() : folder.filePath(names.first());
}

struct Run {
    int exitCode = -1;
    QString output;
};

Run runRecords(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral(STATION_RECORDS_PROGRAM), arguments);
    process.waitForFinished(60000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError())};
}

// A TIFF picture from ImageMagick, since Qt's TIFF plugin is optional; empty without it.
QByteArray tiffBytes() {
    const QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("t.tif"));
    QProcess convert;
    convert.start(QStringLiteral("convert"), {QStringLiteral("-size"), QStringLiteral("32x24"),
                                              QStringLiteral("xc:orange"), path});
    convert.waitForFinished();
    return bytesOf(path);
}

using FolderChange = std::function<void(const QString& save)>;
using Controls = std::map<QString, ControlReading>;

}  // namespace

Q_DECLARE_METATYPE(FolderChange)
Q_DECLARE_METATYPE(Controls)

class TestRecords : public QObject {
    Q_OBJECT

    QTemporaryDir built_;

private slots:
    void initTestCase() {
        QVERIFY(built_.isValid());
        buildSaveFolder(built_.path());
    }

    void metadataRoundTripLeavesAbsentControlsAbsent_data() {
        QTest::addColumn<Controls>("controls");
        QTest::addColumn<int>("offsetSeconds");
        QTest::newRow("every control readable, east of UTC")
            << Controls{{QStringLiteral("exposure_time_absolute"), ControlReading::of(250)},
                        {QStringLiteral("white_balance_temperature"), ControlReading::of(4600)},
                        {QStringLiteral("white_balance_automatic"), ControlReading::of(false)}}
            << 19800;
        QTest::newRow("one control unreadable, west of UTC")
            << Controls{{QStringLiteral("exposure_time_absolute"), ControlReading::of(250)},
                        {QStringLiteral("gain"),
                         ControlReading::unreadable(QStringLiteral("busy"))}}
            << -18000;
        QTest::newRow("a camera without controls, at UTC") << Controls{} << 0;
    }
    void metadataRoundTripLeavesAbsentControlsAbsent() {
        QFETCH(const Controls, controls);
        QFETCH(const int, offsetSeconds);
        AcquisitionMetadata metadata =
            sampleMetadata(QStringLiteral("12345678"), PictureView::Bottom);
        QCOMPARE(metadata.sample, QStringLiteral("12345678"));
        metadata.controls = controls;
        metadata.time = QDateTime(QDate(2026, 12, 10), QTime(14, 35, 1, 123), Qt::UTC)
                            .toOffsetFromUtc(offsetSeconds);
        metadata.sha256 = sha256Of("picture");

        const QJsonObject json = toJson(metadata);
        const AcquisitionMetadata back = metadataFromJson(json);
        QCOMPARE(back, metadata);
        QCOMPARE(back.time.offsetFromUtc(), offsetSeconds);
        QVERIFY(json.value(QStringLiteral("time")).toString().endsWith(QStringLiteral(".123Z")));
        const QJsonObject jsonControls = json.value(QStringLiteral("controls")).toObject();
        QCOMPARE(jsonControls.size(), static_cast<qsizetype>(controls.size()));
        for (const auto& [name, reading] : controls) {
            // An unreadable control carries its reason and is never taken for a value.
            QCOMPARE(jsonControls.value(name).isObject(), !reading.readable());
        }
        QVERIFY(!jsonControls.contains(QStringLiteral("focus_absolute")));
    }

    void sha256OfPiecesAndFilesAgree_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("nothing")
            << QByteArray()
            << QByteArray::fromHex(
                   "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        QTest::newRow("abc")
            << QByteArray("abc")
            << QByteArray::fromHex(
                   "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        // Longer than one read block of the file hasher, and not a multiple of it.
        QTest::newRow("3 MiB and a bit") << QByteArray(3 * 1024 * 1024 + 17, 'a') << QByteArray();
    }
    void sha256OfPiecesAndFilesAgree() {
        QFETCH(const QByteArray, bytes);
        QFETCH(QByteArray, expected);
        if (expected.isEmpty()) {
            QProcess sum;
            sum.start(QStringLiteral("sha256sum"));
            sum.write(bytes);
            sum.closeWriteChannel();
            QVERIFY(sum.waitForFinished());
            expected = QByteArray::fromHex(sum.readAllStandardOutput().left(64));
        }
        Sha256 pieces;
        for (qsizetype at = 0; at < bytes.size(); at += 4099) {
            pieces.add(bytes.mid(at, 4099));
        }
        QCOMPARE(pieces.finish(), expected);
        QCOMPARE(sha256Of(bytes), expected);
        const QTemporaryDir dir;
        writeBytes(dir.filePath(QStringLiteral("f")), bytes);
        QCOMPARE(sha256OfFile(dir.filePath(QStringLiteral("f"))), expected);
    }

    void copyCarriesItsOriginal_data() {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("JPEG") << QStringLiteral("copy.JPG") << encoded(Qt::red, "JPG");
        QTest::newRow("PNG") << QStringLiteral("copy.png") << encoded(Qt::green, "PNG");
        QTest::newRow("TIFF") << QStringLiteral("copy.tif") << tiffBytes();
        QTest::newRow("not an image") << QStringLiteral("copy.JPG") << QByteArray("not a picture");
    }
    void copyCarriesItsOriginal() {
        QFETCH(const QString, fileName);
        QFETCH(const QByteArray, bytes);
        const QTemporaryDir dir;
        const QString path = dir.filePath(fileName);
        if (bytes.isEmpty()) {
            QSKIP("ImageMagick's convert is not installed");
        }
        writeBytes(path, bytes);
        AcquisitionMetadata original =
            sampleMetadata(QStringLiteral("1234 5678"), PictureView::Color);
        original.sha256 = sha256Of("the original's bytes");
        const QUuid copyId = QUuid::createUuid();
        if (bytes.startsWith("not")) {
            try {
                embedProvenance(path, original, copyId);
                QFAIL("no error for a file that is no image");
            } catch (const platform::FileAccessError& e) {
                QVERIFY2(e.message().contains(path), qPrintable(e.message()));
            }
            return;
        }
        embedProvenance(path, original, copyId);
        const CopyProvenance provenance = readProvenance(path);
        QCOMPARE(provenance.sample, original.sample);
        QCOMPARE(provenance.copyId, copyId);
        QCOMPARE(provenance.originalId, original.pictureId);
        QCOMPARE(provenance.originalSha256, original.sha256);
        if (QImageReader::supportedImageFormats().contains(
                QFileInfo(path).suffix().toLower().toLatin1())) {
            QVERIFY(!QImage(path).isNull());  // still a picture after the metadata went in
        }

        // What anyone reads with the standard tool, not only this code.
        if (QStandardPaths::findExecutable(QStringLiteral("exiv2")).isEmpty()) {
            QSKIP("the exiv2 tool is not installed");
        }
        QProcess tool;
        tool.start(QStringLiteral("exiv2"), {QStringLiteral("-pa"), QStringLiteral("-px"), path});
        QVERIFY(tool.waitForFinished());
        const QString shown = QString::fromUtf8(tool.readAllStandardOutput());
        const QString derived = QStringLiteral("Xmp.xmpMM.DerivedFrom/stRef:documentID");
        QVERIFY2(shown.contains(QRegularExpression(derived + QStringLiteral("\\s.*uuid:") +
                                                   idText(original.pictureId))),
                 qPrintable(shown));
        QVERIFY2(shown.contains(QString::fromLatin1(original.sha256.toHex())), qPrintable(shown));
        QVERIFY2(shown.contains(QStringLiteral("Xmp.dc.identifier")), qPrintable(shown));
    }

    void chainContinuesAfterRestartAndUnderRaces() {
        const QTemporaryDir save;
        const QString folder = defaultRecordsFolder(save.path());
        RecordEvent event;
        event.sample = QStringLiteral("12345678");
        {
            RecordBook before(folder, kStation);
            before.write(event);
            before.write(event);
        }
        RecordBook after(folder, kStation);
        const Record third = after.write(event);
        QCOMPARE(third.sequence, 3);
        QCOMPARE(third.previousSha256, sha256OfFile(recordNamed(save.path(), 2)));
        QVERIFY(!QFileInfo(third.fileName).fileName().startsWith(QStringLiteral("CLR_")));

        std::vector<qint64> numbers(40);
        std::vector<std::jthread> writers;
        for (std::size_t half = 0; half < 2; ++half) {
            writers.emplace_back([&, half] {
                for (std::size_t i = half; i < numbers.size(); i += 2) {
                    numbers[i] = after.write(event).sequence;
                }
            });
        }
        writers.clear();
        QCOMPARE(std::set<qint64>(numbers.begin(), numbers.end()).size(), numbers.size());
        const VerifyReport report = verifySaveFolder({save.path(), {}, 2});
        QVERIFY2(report.ok(), qPrintable(report.problems.join(u'\n')));
        QCOMPARE(report.stations.size(), 1);
        QVERIFY2(
            report.stations[0].startsWith(QStringLiteral("station station-a: 43 records, chain "
                                                         "whole; newest 43 SHA-256 ")),
            qPrintable(report.stations[0]));
    }

    void unwritableRecordsFolderThrows() {
        const QTemporaryDir save;
        writeBytes(save.filePath(QStringLiteral("records")), "a file where the folder goes");
        RecordBook book(defaultRecordsFolder(save.path()), kStation);
        QVERIFY_THROWS_EXCEPTION(platform::FileAccessError, book.write(RecordEvent{}));
    }

    void keptNamesLeadWithTheCaptureTime_data() {
        QTest::addColumn<QDateTime>("captureTime");
        QTest::addColumn<int>("attempt");
        QTest::addColumn<QString>("expected");
        const QDateTime utc(QDate(2026, 12, 10), QTime(14, 35, 1, 123), Qt::UTC);
        QTest::newRow("UTC") << utc << 1
                             << QStringLiteral("20261210T143501.123Z_CLR_12345678_01.BMP");
        QTest::newRow("local time with its offset, in UTC")
            << utc.toOffsetFromUtc(3600) << 1
            << QStringLiteral("20261210T143501.123Z_CLR_12345678_01.BMP");
        QTest::newRow("the name already taken")
            << utc << 2 << QStringLiteral("20261210T143501.123Z-2_CLR_12345678_01.BMP");
    }
    void keptNamesLeadWithTheCaptureTime() {
        QFETCH(const QDateTime, captureTime);
        QFETCH(const int, attempt);
        QFETCH(const QString, expected);
        QCOMPARE(keptFileName(QStringLiteral("CLR_12345678_01.BMP"), captureTime, attempt),
                 expected);
    }

    void keepingNeverReplacesAnEarlierKeptFile() {
        const QTemporaryDir save;
        const QDateTime time = acquisitionTimeNow();
        const QString name = QStringLiteral("CLR_12345678_01.BMP");
        std::vector<KeptFile> kept;
        for (const QByteArray& bytes : {QByteArray("first"), QByteArray("second")}) {
            writeBytes(save.filePath(name), bytes);
            kept.push_back(
                keepFile(save.path(), name, time, KeptReason::Superseded, sha256Of(bytes)));
            QVERIFY(!QFile::exists(save.filePath(name)));
        }
        QVERIFY(kept[0].keptAs != kept[1].keptAs);
        QCOMPARE(bytesOf(save.filePath(kept[0].keptAs)), QByteArray("first"));
        QCOMPARE(bytesOf(save.filePath(kept[1].keptAs)), QByteArray("second"));
        QVERIFY(kept[1].keptAs.startsWith(QStringLiteral("superseded/")));
    }

    void verifierNamesWhatIsWrong_data() {
        QTest::addColumn<FolderChange>("change");
        QTest::addColumn<bool>("inPlace");
        QTest::addColumn<QString>("named");  // empty: everything checks
        const auto none = [](const QString&) {};
        QTest::newRow("the folder as written") << FolderChange(none) << true << QString();
        QTest::newRow("the folder copied elsewhere") << FolderChange(none) << false << QString();
        QTest::newRow("one byte of a picture changed") << FolderChange([](const QString& save) {
            QByteArray bytes = bytesOf(save + QStringLiteral("/CLR_11111111_01.BMP"));
            bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 1);
            writeBytes(save + QStringLiteral("/CLR_11111111_01.BMP"), bytes);
        }) << false << QStringLiteral("CLR_11111111_01.BMP was altered");
        QTest::newRow("a picture removed") << FolderChange([](const QString& save) {
            QFile::remove(save + QStringLiteral("/BTM_22222222_01.BMP"));
        }) << false << QStringLiteral("BTM_22222222_01.BMP is missing");
        QTest::newRow("a kept picture changed") << FolderChange([](const QString& save) {
            const QDir deleted(save + QStringLiteral("/deleted"));
            writeBytes(deleted.filePath(deleted.entryList(QDir::Files).first()), "x");
        }) << false << QStringLiteral("was altered");
        QTest::newRow("a record removed")
            << FolderChange([](const QString& save) { QFile::remove(recordNamed(save, 2)); })
            << false << QStringLiteral("record 2 is missing");
        QTest::newRow("a record edited")
            << FolderChange([](const QString& save) {
                   const QString path = recordNamed(save, 1);
                   const QByteArray user = "\"user\": \"" + thisStation().user.toUtf8() + '"';
                   writeBytes(path, bytesOf(path).replace(user, "\"user\": \"someone else\""));
               })
            << false
            << QStringLiteral("record station-a/00000001-capture-11111111.json was altered");
        // A record must never make the verifier read outside the folder (or from a device).
        QTest::newRow("a record edited to name a file outside the folder")
            << FolderChange([](const QString& save) {
                   const QString path = recordNamed(save, 1);
                   writeBytes(path, bytesOf(path).replace("\"CLR_11111111_01.BMP\"",
                                                          "\"../../../../../../dev/zero\""));
               })
            << false << QStringLiteral("leaves the save folder");
        QTest::newRow("a picture put in by hand") << FolderChange([](const QString& save) {
            writeBytes(save + QStringLiteral("/BTM_44444444_01.BMP"), encoded(Qt::blue, "BMP"));
        }) << false << QStringLiteral("BTM_44444444_01.BMP: no record explains it");
        QTest::newRow("another sample's copy under a recorded copy's name")
            << FolderChange([](const QString& save) {
                   QFile::remove(save + QStringLiteral("/CLR_22222222_01.JPG"));
                   QFile::copy(save + QStringLiteral("/CLR_11111111_01.JPG"),
                               save + QStringLiteral("/CLR_22222222_01.JPG"));
               })
            << false << QStringLiteral("CLR_22222222_01.JPG: no record explains it");
    }
    void verifierNamesWhatIsWrong() {
        QFETCH(const FolderChange, change);
        QFETCH(const bool, inPlace);
        QFETCH(const QString, named);
        const QTemporaryDir elsewhere;
        const QString save = inPlace ? built_.path() : elsewhere.filePath(QStringLiteral("copy"));
        QVERIFY(inPlace || copyTree(built_.path(), save));
        change(save);
        const Run run = runRecords({QStringLiteral("verify"), save});
        QVERIFY2(run.output.contains(named), qPrintable(run.output));
        QVERIFY2((run.exitCode == 0) == named.isEmpty(), qPrintable(run.output));
        if (named.isEmpty()) {
            QVERIFY2(run.output.contains(QStringLiteral("3 samples")), qPrintable(run.output));
        }
    }

    void historyListsASamplesEvents() {
        const Run run =
            runRecords({QStringLiteral("history"), built_.path(), QStringLiteral("22222222")});
        QCOMPARE(run.exitCode, 0);
        const QStringList lines = run.output.trimmed().split(u'\n');
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines[0].contains(QStringLiteral(" capture ")), qPrintable(run.output));
        QVERIFY2(lines[1].contains(QStringLiteral(" redo ")) &&
                     lines[1].contains(QStringLiteral("CLR_22222222_01.BMP -> superseded/")),
                 qPrintable(run.output));
        QCOMPARE(
            runRecords({QStringLiteral("history"), built_.path(), QStringLiteral("999")}).exitCode,
            1);
    }
};

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
