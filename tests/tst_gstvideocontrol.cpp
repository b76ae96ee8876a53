#include "CameraConfig.h"
#include "CameraError.h"
#include "CameraFrames.h"
#include "CameraHealth.h"
#include "CameraPipeline.h"
#include "CameraSet.h"
#include "Diagnostics.h"
#include "GstVideoControl.h"
#include "StillWriter.h"
#include "fakes/TestCameraProvider.h"

#include <QApplication>
#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImageReader>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <array>
#include <functional>
#include <limits>
#include <memory>
#include <set>

using camera::CameraControl;
using camera::CameraError;
using camera::GstVideoControl;
using namespace std::chrono_literals;

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kSlowTimeout = 10000;  // ms: camera start-up on a loaded machine
const QColor kRed(255, 0, 0);
const QColor kBlue(0, 0, 255);
const QColor kNoPicture(48, 48, 48);
const QString kKey = QStringLiteral("HKEY_LOCAL_MACHINE\\Software\\HPortal\\PortalCam");

// `layout` follows the caps: "" lets the source choose, ",format=YUY2" is a raw camera's
// layout, " ! jpegenc ! jpegdec" an MJPEG camera's line.
QString solidCamera(const char* argb, const QString& layout = {}) {
    return QStringLiteral(
               "videotestsrc pattern=solid-color foreground-color=%1 is-live=true ! "
               "video/x-raw,width=%2,height=%3,framerate=30/1")
               .arg(QLatin1String(argb))
               .arg(kWidth)
               .arg(kHeight) +
           layout;
}

void addLayoutRows() {
    QTest::addColumn<QString>("layout");
    QTest::addColumn<int>("tolerance");
    QTest::newRow("source's choice") << QString() << 12;
    QTest::newRow("YUYV") << QStringLiteral(",format=YUY2") << 12;
    // jpegenc stores the test source's video-range values (16-235); jpegdec reads them back the
    // same way, so pure colours come back up to 16 off.
    QTest::newRow("MJPEG") << QStringLiteral(" ! jpegenc ! jpegdec") << 20;
}
const QString kRedCamera = solidCamera("0xffff0000");
const QString kBlueCamera = solidCamera("0xff0000ff");

bool near(const QColor& actual, const QColor& expected, int tolerance = 12) {
    return std::abs(actual.red() - expected.red()) <= tolerance &&
           std::abs(actual.green() - expected.green()) <= tolerance &&
           std::abs(actual.blue() - expected.blue()) <= tolerance;
}

// Message of the CameraError that `call` throws; empty when it throws none.
QString errorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const CameraError& error) {
        return error.message();
    }
    return {};
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Samples the middle, the corners' neighbourhood and an off-centre point.
bool wholePictureIs(const QImage& image, const QColor& expected, int tolerance = 12) {
    if (image.isNull()) {
        return false;
    }
    const int w = image.width();
    const int h = image.height();
    const std::array points{QPoint(w / 2, h / 2), QPoint(2, 2),         QPoint(w - 3, 2),
                            QPoint(2, h - 3),     QPoint(w - 3, h - 3), QPoint(w / 3, 2 * h / 3)};
    for (const QPoint& point : points) {
        if (!near(image.pixelColor(point), expected, tolerance)) {
            return false;
        }
    }
    return true;
}

}  // namespace

class TestGstVideoControl : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    // The running control.
    void stillsComeFromTheSelectedCamera();
    void livePictureShowsTheSelectedCamera_data() { addLayoutRows(); }
    void livePictureShowsTheSelectedCamera();
    void livePictureIsPaintedOncePerFrame();
    void stillOfAHiddenCameraIsItsNewest_data() { addLayoutRows(); }
    void stillOfAHiddenCameraIsItsNewest();
    void stillFormatFollowsTheExtension_data();
    void stillFormatFollowsTheExtension();
    void selectionAnswersPerIndex();
    void cameraThatCannotStartIsReported_data();
    void cameraThatCannotStartIsReported();
    void cameraThatStopsIsReported_data();
    void cameraThatStopsIsReported();
    void staleFrameIsRefused_data();
    void staleFrameIsRefused();
    void failedStillLeavesExistingFileUntouched();
    void badCallsAreRefused();
    void withoutConfigurationTheDevicesAreUsed();
    void failureIsNamed_data();
    void failureIsNamed();
    void replugBringsTheCameraBack();

    // The rules underneath.
    void parseCameraLines_data();
    void parseCameraLines();
    void configPathForKey_data();
    void configPathForKey();
    void v4l2DevicePath_data();
    void v4l2DevicePath();
    void deviceOrderIsStable();
    void classifyError_data();
    void classifyError();
    void sameDevice_data();
    void sameDevice();
    void deviceIdentityFromProperties();
    void staleAfterFollowsFrameRate();
    void whyNoPictureNamesTheCamera();
    void stillFormatForPath_data();
    void stillFormatForPath();
    void bmpStillKeepsEveryPixel();
    void brokenJpegFallsBackToThePictureBefore();
    void jpegScreenDecodeSize_data();
    void jpegScreenDecodeSize();
    void bayerMosaicIsDemosaiced_data();
    void bayerMosaicIsDemosaiced();
    void shownPictureLetsTheBufferGo_data();
    void shownPictureLetsTheBufferGo();
    void heldFramesAddNoMemory();

private:
    // Writes the cameras' configuration and points the control at it.
    void configure(const QString& text);
    std::unique_ptr<GstVideoControl> startedControl(const QSize& size = {kWidth, kHeight});
    static bool delivers(CameraControl& control, int index) { return !control.select(index); }
    // Waits for the write, which rethrows its failure here.
    static void still(CameraControl& control, const QString& path) {
        control.stillToFile(path).waitForFinished();
    }
    QString outputPath(const QString& name) const { return outputDir_->filePath(name); }

    std::unique_ptr<QTemporaryDir> configHome_;
    std::unique_ptr<QTemporaryDir> outputDir_;
    QByteArray savedConfigHome_;
};

void TestGstVideoControl::initTestCase() {
    testcamera::registerProvider();
}

void TestGstVideoControl::init() {
    savedConfigHome_ = qgetenv("XDG_CONFIG_HOME");
    configHome_ = std::make_unique<QTemporaryDir>();
    outputDir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(configHome_->isValid());
    QVERIFY(outputDir_->isValid());
    qputenv("XDG_CONFIG_HOME", configHome_->path().toLocal8Bit());
}

void TestGstVideoControl::cleanup() {
    testcamera::unplugAll();
    qputenv("XDG_CONFIG_HOME", savedConfigHome_);
    configHome_.reset();
    outputDir_.reset();
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

void TestGstVideoControl::configure(const QString& text) {
    QVERIFY(QDir(configHome_->path()).mkpath("HPortal"));
    QFile file(configHome_->filePath("HPortal/PortalCam.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write(text.toUtf8()) == text.toUtf8().size());
}

std::unique_ptr<GstVideoControl> TestGstVideoControl::startedControl(const QSize& size) {
    auto control = std::make_unique<GstVideoControl>();
    control->setGeometry(QRect(QPoint(0, 0), size));
    const std::optional<QString> failure = control->open(QStringLiteral("MIRET_DEMO"), kKey);
    [&] { QVERIFY2(!failure, qPrintable(failure.value_or(""))); }();
    control->configure();
    control->start();
    control->setLivePicture(true);
    control->show();
    return control;
}

void TestGstVideoControl::stillsComeFromTheSelectedCamera() {
    configure("camera0=" + kRedCamera + "\ncamera1=" + kBlueCamera + "\n");
    const auto control = startedControl();

    struct View {
        int index;  // cppcheck-suppress unusedStructMember ; read inside QCOMPARE
        QColor colour;
        QString file;
    };
    const std::array views{View{0, kRed, "BTM_12345678_01.BMP"},
                           View{1, kBlue, "CLR_12345678_01.BMP"},
                           View{0, kRed, "BTM_12345678_02.BMP"}};
    for (const auto& view : views) {
        QVERIFY(delivers(*control, view.index));
        const QString path = outputPath(view.file);
        still(*control, path);
        const QByteArray bytes = readAll(path);
        QVERIFY2(bytes.size() > 54, qPrintable(path));
        QCOMPARE(bytes.left(2), QByteArray("BM"));
        QCOMPARE(static_cast<int>(static_cast<quint8>(bytes[28])), 24);  // biBitCount
        const QImage picture(path);
        QCOMPARE(picture.size(), QSize(kWidth, kHeight));
        QVERIFY2(wholePictureIs(picture, view.colour), qPrintable(view.file));
    }
}

void TestGstVideoControl::livePictureShowsTheSelectedCamera() {
    QFETCH(QString, layout);
    QFETCH(int, tolerance);
    configure("camera0=" + solidCamera("0xffff0000", layout) +
              "\ncamera1=" + solidCamera("0xff0000ff", layout) + "\n");
    // Wider than the pictures' 4:3, so black bars appear left and right.
    const auto control = startedControl(QSize(400, 200));
    const QRect picture(67, 0, 267, 200);
    QTRY_VERIFY_WITH_TIMEOUT(delivers(*control, 1), kSlowTimeout);
    QTRY_VERIFY_WITH_TIMEOUT(delivers(*control, 0), kSlowTimeout);

    for (const auto& [index, colour] :
         {std::pair{1, kBlue}, std::pair{0, kRed}, std::pair{1, kBlue}}) {
        QVERIFY(delivers(*control, index));
        // At once: the first paint after the switch shows the camera, whichever was hidden.
        const QImage shown = control->grab().toImage();
        QVERIFY2(wholePictureIs(shown.copy(picture.adjusted(2, 2, -2, -2)), colour, tolerance),
                 qPrintable(QString::number(index)));
        QVERIFY(near(shown.pixelColor(10, 100), Qt::black, 0));
        QVERIFY(near(shown.pixelColor(390, 100), Qt::black, 0));
    }
}

namespace {

class PaintCounter final : public QObject {
public:
    bool eventFilter(QObject* /*watched*/, QEvent* event) override {
        paints += event->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
    int paints = 0;
};

}  // namespace

// A camera that delivers is painted when a frame arrives and not in between.
void TestGstVideoControl::livePictureIsPaintedOncePerFrame() {
    configure(QStringLiteral("camera0=videotestsrc is-live=true ! "
                             "video/x-raw,width=%1,height=%2,framerate=2/1,format=YUY2\n")
                  .arg(kWidth)
                  .arg(kHeight));
    const auto control = startedControl();
    QTRY_VERIFY_WITH_TIMEOUT(delivers(*control, 0), kSlowTimeout);
    QTest::qWait(100);  // the repaint that selecting asked for
    PaintCounter counter;
    control->installEventFilter(&counter);
    QTest::qWait(4000);
    // Eight or nine frames, and a late one may let the liveness check paint once; that check
    // used to add a paint every second.
    QVERIFY2(counter.paints >= 5 && counter.paints <= 10,
             qPrintable(QString::number(counter.paints)));
    QVERIFY(!near(control->grab().toImage().pixelColor(kWidth / 2, kHeight / 2), kNoPicture, 0));
}

namespace {

// How far, in pixels to the left, the picture `later` is shifted against `earlier` along a row:
// the offset that matches best.
int shiftBetween(const QImage& earlier, const QImage& later, int row) {
    const int width = earlier.width();
    qint64 bestDifference = std::numeric_limits<qint64>::max();
    int best = 0;
    for (int shift = 0; shift < width; ++shift) {
        qint64 difference = 0;
        for (int x = 0; x < width; x += 2) {
            const QRgb a = later.pixel(x, row);
            const QRgb b = earlier.pixel((x + shift) % width, row);
            difference += std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) +
                          std::abs(qBlue(a) - qBlue(b));
        }
        if (difference < bestDifference) {
            bestDifference = difference;
            best = shift;
        }
    }
    return best;
}

}  // namespace

void TestGstVideoControl::stillOfAHiddenCameraIsItsNewest() {
    QFETCH(QString, layout);
    // The bars move four pixels each frame, so a picture tells how old it is; the
    // pictures are larger than the control, so the screen gets a reduced one.
    constexpr int kSpeed = 4;
    constexpr QSize kFull(640, 480);
    configure(
        QStringLiteral("camera0=videotestsrc is-live=true pattern=smpte horizontal-speed=%1 ! "
                       "video/x-raw,width=%2,height=%3,framerate=30/1%4\ncamera1=%5\n")
            .arg(-kSpeed)
            .arg(kFull.width())
            .arg(kFull.height())
            .arg(layout, kBlueCamera));
    const auto control = startedControl();
    QTRY_VERIFY_WITH_TIMEOUT(delivers(*control, 1), kSlowTimeout);
    QTRY_VERIFY_WITH_TIMEOUT(delivers(*control, 0), kSlowTimeout);

    QElapsedTimer clock;
    clock.start();
    still(*control, outputPath("first.BMP"));
    const qint64 firstAt = clock.elapsed();
    QVERIFY(delivers(*control, 1));
    QTest::qWait(1500);  // camera 0 is hidden meanwhile
    QVERIFY(delivers(*control, 0));
    const qint64 secondAt = clock.elapsed();
    still(*control, outputPath("second.BMP"));

    const QImage first(outputPath("first.BMP"));
    const QImage second(outputPath("second.BMP"));
    QCOMPARE(first.size(), kFull);
    QCOMPARE(second.size(), kFull);
    // Either way round: the bars have moved less than half the width meanwhile.
    const int shift = shiftBetween(first, second, kFull.height() / 4);
    const double frames = std::min(shift, kFull.width() - shift) / double(kSpeed);
    const double expected = (secondAt - firstAt) * 30 / 1000.0;
    // A picture kept from before the camera was hidden would be about 45 frames behind.
    QVERIFY2(std::abs(frames - expected) <= 10,
             qPrintable(QStringLiteral("%1 frames apart, %2 expected").arg(frames).arg(expected)));
}

void TestGstVideoControl::stillFormatFollowsTheExtension_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("magic");
    QTest::addColumn<QByteArray>("format");
    QTest::newRow("upper-case BMP") << "CLR_1_01.BMP" << QByteArray("BM") << QByteArray("bmp");
    QTest::newRow("lower-case bmp") << "clr.bmp" << QByteArray("BM") << QByteArray("bmp");
    QTest::newRow("JPG") << "CLR_1_01.JPG" << QByteArray("\xff\xd8\xff") << QByteArray("jpeg");
    QTest::newRow("jpeg") << "clr.jpeg" << QByteArray("\xff\xd8\xff") << QByteArray("jpeg");
    QTest::newRow("PNG") << "CLR_1_01.PNG" << QByteArray("\x89PNG") << QByteArray("png");
    QTest::newRow("unknown") << "clr.xyz" << QByteArray("BM") << QByteArray("bmp");
    QTest::newRow("none") << "clr" << QByteArray("BM") << QByteArray("bmp");
}

void TestGstVideoControl::stillFormatFollowsTheExtension() {
    QFETCH(QString, file);
    QFETCH(QByteArray, magic);
    QFETCH(QByteArray, format);
    configure("camera0=" + kBlueCamera + "\n");
    const auto control = startedControl();
    QVERIFY(delivers(*control, 0));

    const QString path = outputPath(file);
    const camera::WrittenStill written = control->stillToFile(path).result();
    const QByteArray bytes = readAll(path);
    QCOMPARE(readAll(path).left(magic.size()), magic);
    // The digest computed while the file was synced is that of the bytes as they lie on disk.
    QCOMPARE(written.sha256, QCryptographicHash::hash(bytes, QCryptographicHash::Sha256));
    QCOMPARE(written.bytes, bytes.size());
    QCOMPARE(written.size, QSize(kWidth, kHeight));
    QCOMPARE(written.format.toLower().left(3), QString::fromLatin1(format).left(3));
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    QCOMPARE(reader.format(), format);
    const QImage picture = reader.read();
    QCOMPARE(picture.size(), QSize(kWidth, kHeight));
    QVERIFY(wholePictureIs(picture, kBlue));
}

void TestGstVideoControl::selectionAnswersPerIndex() {
    configure("camera0=" + kRedCamera + "\ncamera1=" + kBlueCamera + "\n");
    const auto control = startedControl();

    QVERIFY(delivers(*control, 0));
    QVERIFY(delivers(*control, 1));
    QVERIFY(!delivers(*control, -1));
    QCOMPARE(control->select(2), QStringLiteral("camera 2 is not configured"));

    // An index without a camera is selected all the same: no picture of camera 1, no still.
    QTRY_VERIFY(!near(control->grab().toImage().pixelColor(kWidth / 2, kHeight / 2), kBlue, 48));
    const QString path = outputPath("after-probe.BMP");
    const QString error = errorOf([&] { still(*control, path); });
    QVERIFY2(error.startsWith("camera 2 is not configured"), qPrintable(error));
    QVERIFY(!QFile::exists(path));
}

void TestGstVideoControl::cameraThatCannotStartIsReported_data() {
    QTest::addColumn<QString>("description");
    QTest::newRow("missing device")
        << "v4l2src device=/dev/video99 ! video/x-raw,width=320,height=240";
    QTest::newRow("unknown element") << "nosuchcamerasrc ! video/x-raw,width=320,height=240";
    QTest::newRow("no video") << "audiotestsrc is-live=true";
}

void TestGstVideoControl::cameraThatCannotStartIsReported() {
    QFETCH(QString, description);
    configure("camera0=" + description + "\ncamera1=" + kBlueCamera + "\n");
    const auto control = startedControl();

    QVERIFY(!delivers(*control, 0));
    const QString error = errorOf([&] { still(*control, outputPath("bottom.BMP")); });
    QVERIFY2(error.startsWith("camera 0 failed: "), qPrintable(error));
    QVERIFY(!QFile::exists(outputPath("bottom.BMP")));

    QVERIFY(delivers(*control, 1));
    still(*control, outputPath("colour.BMP"));
    QVERIFY(wholePictureIs(QImage(outputPath("colour.BMP")), kBlue));
}

void TestGstVideoControl::cameraThatStopsIsReported_data() {
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("reason");
    // 45 frames at 30 per second: delivering for the first one and a half seconds.
    QTest::newRow("end of stream") << "videotestsrc is-live=true num-buffers=45 ! "
                                      "video/x-raw,width=320,height=240,framerate=30/1"
                                   << "camera 0 failed: the picture stream has ended";
    QTest::newRow("stream error") << "videotestsrc is-live=true ! "
                                     "video/x-raw,width=320,height=240,framerate=30/1 ! "
                                     "identity error-after=45"
                                  << "camera 0 failed: ";
}

void TestGstVideoControl::cameraThatStopsIsReported() {
    QFETCH(QString, description);
    QFETCH(QString, reason);
    configure("camera0=" + description + "\ncamera1=" + kBlueCamera + "\n");
    const auto control = startedControl();

    QVERIFY(delivers(*control, 0));
    QTRY_VERIFY_WITH_TIMEOUT(!delivers(*control, 0), kSlowTimeout);
    const QString error = errorOf([&] { still(*control, outputPath("bottom.BMP")); });
    QVERIFY2(error.startsWith(reason), qPrintable(error));
    QVERIFY(!QFile::exists(outputPath("bottom.BMP")));
    QTRY_VERIFY(near(control->grab().toImage().pixelColor(kWidth / 2, kHeight / 2), kNoPicture, 0));

    QVERIFY(delivers(*control, 1));
    still(*control, outputPath("colour.BMP"));
    QVERIFY(wholePictureIs(QImage(outputPath("colour.BMP")), kBlue));
}

void TestGstVideoControl::staleFrameIsRefused_data() {
    QTest::addColumn<QString>("rate");
    QTest::addColumn<bool>("refused");
    // Each camera announces 30 frames per second: after half a second without one it has stopped.
    QTest::newRow("one picture per 100 s") << "1/100" << true;
    QTest::newRow("stops for twice the limit") << "1/1" << true;
    QTest::newRow("pauses for half the limit") << "4/1" << false;
}

void TestGstVideoControl::staleFrameIsRefused() {
    QFETCH(QString, rate);
    QFETCH(bool, refused);
    // Sends pictures at the given rate without ending the stream.
    configure(
        "camera0=videotestsrc is-live=true ! video/x-raw,width=320,height=240,framerate=" + rate +
        " ! capssetter caps=\"video/x-raw,framerate=30/1\"\ncamera1=" + kBlueCamera + "\n");
    const auto control = startedControl();

    QTRY_VERIFY_WITH_TIMEOUT(delivers(*control, 0), kSlowTimeout);
    const QString path = outputPath("bottom.BMP");
    QString error;
    if (!refused) {
        QElapsedTimer watching;
        watching.start();
        while (watching.elapsed() < 2000) {
            QVERIFY(delivers(*control, 0));
            error = errorOf([&] { still(*control, path); });
            QVERIFY2(error.isEmpty(), qPrintable(error));
            QTest::qWait(40);
        }
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(!(error = errorOf([&] { still(*control, path); })).isEmpty(),
                             kSlowTimeout);
    QVERIFY2(error.startsWith("camera 0 has delivered no picture for "), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(!delivers(*control, 0), kSlowTimeout);
    QVERIFY(delivers(*control, 1));
}

void TestGstVideoControl::failedStillLeavesExistingFileUntouched() {
    configure("camera0=" + kRedCamera +
              "\ncamera1=nosuchcamerasrc ! video/x-raw,width=320,height=240\n");
    const auto control = startedControl();
    const QByteArray earlier("an earlier picture");
    const QString existing = outputPath("CLR_12345678_01.BMP");
    {
        QFile file(existing);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(earlier);
    }

    // No picture to take: camera 1 never started.
    QVERIFY(!delivers(*control, 1));
    QVERIFY(!errorOf([&] { still(*control, existing); }).isEmpty());
    QCOMPARE(readAll(existing), earlier);

    // A picture, but nowhere to put it.
    QVERIFY(delivers(*control, 0));
    const QString intoMissingFolder = outputPath("no such folder/CLR.BMP");
    const QString error = errorOf([&] { still(*control, intoMissingFolder); });
    QVERIFY2(error.startsWith("cannot write the picture to " + intoMissingFolder + ": "),
             qPrintable(error));
    QVERIFY(!QFile::exists(intoMissingFolder));
    const QString aFolder = outputPath("a folder");
    QVERIFY(QDir(outputDir_->path()).mkdir("a folder"));
    QVERIFY(!errorOf([&] { still(*control, aFolder); }).isEmpty());
    QVERIFY(QFileInfo(aFolder).isDir());

    // Nothing half-written is left beside the files.
    QCOMPARE(QDir(outputDir_->path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{"CLR_12345678_01.BMP"});
    still(*control, existing);
    QVERIFY(wholePictureIs(QImage(existing), kRed));
}

// Calls out of order or with an unknown key fail in their answer; none throws.
void TestGstVideoControl::badCallsAreRefused() {
    configure("camera0=" + kRedCamera + "\n");
    GstVideoControl unopened;
    camera::StillWrite write;
    QCOMPARE(errorOf([&] { write = unopened.stillToFile(outputPath("x.BMP")); }), QString());
    QCOMPARE(errorOf([&] { write.waitForFinished(); }), QString("camera 0 is not configured"));

    GstVideoControl control;
    QCOMPARE(control.open("MIRET_DEMO", "HKLM\\x"),
             QString("the camera software key HKLM\\x names no configuration"));
    QCOMPARE(control.open("MIRET_DEMO", kKey), std::nullopt);
    QCOMPARE(errorOf([&] { still(control, outputPath("x.BMP")); }),
             QString("camera 0 is not started"));
    QVERIFY(QDir(outputDir_->path()).isEmpty());
}

void TestGstVideoControl::withoutConfigurationTheDevicesAreUsed() {
    if (!QDir("/dev").entryList({"video*"}, QDir::System).isEmpty()) {
        QSKIP("this machine has video devices; their number is not known to the test");
    }
    const auto control = startedControl();
    for (const int index : {1, 2, 0}) {
        QVERIFY(!delivers(*control, index));
    }
    QCOMPARE(errorOf([&] { still(*control, outputPath("x.BMP")); }),
             QString("camera 0 is not configured"));
}

void TestGstVideoControl::failureIsNamed_data() {
    using camera::FailureReason;
    QTest::addColumn<QString>("description");
    QTest::addColumn<int>("reason");  // -1: no failure, but no picture either
    QTest::newRow("does not parse")
        << "videotestsrc ! ! videoscale" << int(FailureReason::ParseError);
    QTest::newRow("unknown element") << "nosuchcamerasrc" << int(FailureReason::ParseError);
    QTest::newRow("no such device node")
        << "v4l2src device=/dev/video99 ! video/x-raw" << int(FailureReason::NoSuchDevice);
    QTest::newRow("dynamic pad never links")
        << "audiotestsrc ! decodebin" << int(FailureReason::NotLinked);
    QTest::newRow("stream ends") << "videotestsrc num-buffers=3" << int(FailureReason::StreamEnded);
    QTest::newRow("no frames") << "videotestsrc is-live=true ! valve drop=true" << -1;
}

void TestGstVideoControl::failureIsNamed() {
    QFETCH(QString, description);
    QFETCH(int, reason);
    camera::CameraPipeline camera({description, std::nullopt, nullptr, std::nullopt}, {});
    camera.play();
    if (reason < 0) {
        const camera::CameraState state =
            camera.awaitFirstFrame(camera::CameraClock::now() + camera::kFirstFrameWait);
        QVERIFY(!state.frame && !state.failure);
        const QString why = whyNoPicture(0, state, *state.playingSince + 3s).value_or("");
        QVERIFY2(why.contains("delivered no picture since it was started"), qPrintable(why));
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(camera.hasFailed(), kSlowTimeout);
    const camera::CameraState state = camera.state();
    QVERIFY(state.failureCause);
    QCOMPARE(int(state.failureCause->reason), reason);
    QCOMPARE(whyNoPicture(0, state, camera::CameraClock::now()).value_or(""),
             "camera 0 failed: " + *state.failure);
}

void TestGstVideoControl::replugBringsTheCameraBack() {
    const auto centreOf = [](GstVideoControl& control) {
        return control.grab().toImage().pixelColor(kWidth / 2, kHeight / 2);
    };
    testcamera::plugIn({"Bottom camera", "/dev/video90", "BTM-1", 0xffff0000});
    testcamera::plugIn({"Colour camera", "/dev/video91", "CLR-1", 0xff0000ff});
    // No configuration file: the devices are the cameras, in the order of their nodes.
    const auto control = startedControl();
    QVERIFY(delivers(*control, 1));
    QVERIFY(delivers(*control, 0));
    QTRY_VERIFY_WITH_TIMEOUT(near(centreOf(*control), kRed), kSlowTimeout);

    const platform::DiagnosticRecorder recorder;
    testcamera::unplug("BTM-1");
    QTRY_VERIFY_WITH_TIMEOUT(!delivers(*control, 0), kSlowTimeout);
    QTRY_COMPARE_WITH_TIMEOUT(testcamera::runningSources("BTM-1"), 0, kSlowTimeout);
    // Told to IT once, however often the station asks for the camera meanwhile.
    QVERIFY(!delivers(*control, 0));
    const auto lost = recorder.matching("station.camera", "camera lost");
    QCOMPARE(lost.size(), std::size_t(1));
    QCOMPARE(lost.front().field("CAMERA"), QString("0"));
    QVERIFY2(lost.front().field("REASON").contains("no such device"),
             qPrintable(lost.front().text()));
    // Another camera on the freed node is not the one that went; the right one comes back on a
    // new node.
    testcamera::plugIn({"Other camera", "/dev/video90", "OTHER-1", 0xff00ff00});
    testcamera::plugIn({"Bottom camera", "/dev/video95", "BTM-1", 0xffff0000});
    QTRY_VERIFY_WITH_TIMEOUT(delivers(*control, 0), kSlowTimeout);
    QTRY_VERIFY_WITH_TIMEOUT(near(centreOf(*control), kRed), kSlowTimeout);
    QCOMPARE(testcamera::runningSources("OTHER-1"), 0);
    const auto back = recorder.matching("station.camera", "camera back");
    QCOMPARE(back.size(), std::size_t(1));
    QCOMPARE(back.front().field("DEVICE"), QString("/dev/video95"));
    QCOMPARE(recorder.events().size(), std::size_t(2));

    const QString path = outputPath("BTM_12345678_01.BMP");
    still(*control, path);
    QVERIFY(wholePictureIs(QImage(path), kRed));
    QVERIFY(delivers(*control, 1));
}

void TestGstVideoControl::parseCameraLines_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("expected");  // "index=description"
    QTest::newRow("two cameras") << "camera0=a ! b\ncamera1=c\n" << QStringList{"0=a ! b", "1=c"};
    QTest::newRow("comments and blanks")
        << "# bottom camera\n\n   \ncamera0=a\n  # camera1=hidden\n"
        << QStringList{"0=a"};
    QTest::newRow("gap") << "camera0=a\ncamera2=c\n" << QStringList{"0=a", "2=c"};
    QTest::newRow("last wins") << "camera1=old\ncamera1=new\n" << QStringList{"1=new"};
    QTest::newRow("CRLF") << "camera0=a\r\ncamera1=b c\r\n" << QStringList{"0=a", "1=b c"};
    QTest::newRow("spaces around") << "  camera0 =  a=b  \n" << QStringList{"0=a=b"};
    QTest::newRow("unknown lines")
        << "device=x\ncamera=y\ncameraA=z\ncamera-1=w\ncamera1\ncamera3=\nCamera4=v\n"
        << QStringList{};
    QTest::newRow("leading zero") << "camera01=a\n" << QStringList{"1=a"};
    QTest::newRow("no final newline") << "camera0=a" << QStringList{"0=a"};
}

void TestGstVideoControl::parseCameraLines() {
    QFETCH(QString, text);
    QFETCH(QStringList, expected);
    QStringList actual;
    for (const auto& [index, description] : camera::cameraconfig::parseCameraLines(text)) {
        actual << QString::number(index) + "=" + description;
    }
    QCOMPARE(actual, expected);
}

void TestGstVideoControl::configPathForKey_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("configHome");
    QTest::addColumn<QString>("expected");  // empty for none
    QTest::newRow("station key") << kKey << "/tmp/cfg"
                                 << "/tmp/cfg/HPortal/PortalCam.conf";
    QTest::newRow("no XDG_CONFIG_HOME") << kKey << ""
                                        << "/home/op/.config/HPortal/PortalCam.conf";
    QTest::newRow("relative XDG_CONFIG_HOME ignored") << kKey << "cfg"
                                                      << "/home/op/.config/HPortal/PortalCam.conf";
    QTest::newRow("lower-case software") << R"(HKEY_CURRENT_USER\software\Vendor\Cam)"
                                         << "/c"
                                         << "/c/Vendor/Cam.conf";
    QTest::newRow("trailing backslash") << R"(HKLM\Software\Vendor\)"
                                        << "/c"
                                        << "/c/Vendor.conf";
    QTest::newRow("no software part") << R"(HKEY_LOCAL_MACHINE\HPortal)"
                                      << "/c"
                                      << "";
    QTest::newRow("nothing after software") << R"(HKLM\Software\)"
                                            << "/c"
                                            << "";
    QTest::newRow("no escape upwards") << R"(HKLM\Software\..\..\etc\x)"
                                       << "/c"
                                       << "/c/etc/x.conf";
}

void TestGstVideoControl::configPathForKey() {
    QFETCH(QString, key);
    QFETCH(QString, configHome);
    QFETCH(QString, expected);
    const std::optional<QString> path =
        camera::cameraconfig::configPathForKey(key, configHome, "/home/op");
    QCOMPARE(path.value_or(QString()), expected);
}

void TestGstVideoControl::v4l2DevicePath_data() {
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("onVideo7");  // the description moved to /dev/video7
    QTest::newRow("mjpeg") << "v4l2src device=/dev/video2 ! image/jpeg,width=1280 ! jpegdec"
                           << "/dev/video2"
                           << "v4l2src device=/dev/video7 ! image/jpeg,width=1280 ! jpegdec";
    QTest::newRow("other property first") << "v4l2src io-mode=2 device=/dev/video4"
                                          << "/dev/video4"
                                          << "v4l2src io-mode=2 device=/dev/video7";
    QTest::newRow("quoted") << "v4l2src device=\"/dev/v4l/by-id/usb-cam 1\" ! jpegdec"
                            << "/dev/v4l/by-id/usb-cam 1"
                            << "v4l2src device=\"/dev/video7\" ! jpegdec";
    QTest::newRow("spaces around =") << "v4l2src device = /dev/video0"
                                     << "/dev/video0"
                                     << "v4l2src device = /dev/video7";
    QTest::newRow("test source") << "videotestsrc ! video/x-raw"
                                 << ""
                                 << "videotestsrc ! video/x-raw";
    QTest::newRow("device of another element")
        << "v4l2src ! identity ! fakeelement device=/dev/video9"
        << ""
        << "v4l2src ! identity ! fakeelement device=/dev/video9";
}

void TestGstVideoControl::v4l2DevicePath() {
    QFETCH(QString, description);
    QFETCH(QString, expected);
    QFETCH(QString, onVideo7);
    QCOMPARE(camera::cameraconfig::v4l2DevicePath(description).value_or(QString()), expected);
    QCOMPARE(camera::cameraconfig::withDevicePath(description, "/dev/video7"), onVideo7);
}

void TestGstVideoControl::deviceOrderIsStable() {
    using camera::cameraconfig::DeviceListing;
    const std::vector<DeviceListing> devices{{"/dev/video10", "Late"},
                                             {"", "No path B"},
                                             {"/dev/video2", "Colour"},
                                             {"", "No path A"},
                                             {"/dev/video0", "Bottom"}};
    const std::vector<std::size_t> expected{4, 2, 0, 3, 1};
    QCOMPARE(camera::cameraconfig::deviceOrder(devices), expected);
    QCOMPARE(camera::cameraconfig::deviceOrder({}), std::vector<std::size_t>{});
}

void TestGstVideoControl::classifyError_data() {
    using camera::FailureReason;
    QTest::addColumn<QString>("domain");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("debug");
    QTest::addColumn<QString>("factory");
    QTest::addColumn<QString>("device");  // the element's "device" property
    QTest::addColumn<int>("reason");
    QTest::addColumn<QString>("advice");  // what the operator is told to do; empty for nothing
    const int busy = GST_RESOURCE_ERROR_BUSY;
    const int openRw = GST_RESOURCE_ERROR_OPEN_READ_WRITE;
    const int settings = GST_RESOURCE_ERROR_SETTINGS;
    const int read = GST_RESOURCE_ERROR_READ;
    const int failed = GST_STREAM_ERROR_FAILED;
    QTest::newRow("busy") << "resource" << busy << "Device '/dev/video0' is busy"
                          << ""
                          << "v4l2src"
                          << "" << int(FailureReason::DeviceBusy) << "another program";
    QTest::newRow("permission denied")
        << "resource" << openRw << "Could not open device '/dev/video0' for reading and writing."
        << "system error: Permission denied"
        << "v4l2src"
        << "" << int(FailureReason::PermissionDenied) << "video group";
    // As glibc and GStreamer word them in German: the device, opened again, tells the cause.
    QTest::newRow("open refused, node gone (German texts)")
        << "resource" << openRw
        << "Gerät »/dev/no-such-video-node« konnte nicht zum Lesen oder Schreiben geöffnet werden."
        << "Systemfehler: Datei oder Verzeichnis nicht gefunden"
        << "v4l2src"
        << "/dev/no-such-video-node" << int(FailureReason::NoSuchDevice) << "not plugged in";
    QTest::newRow("open refused, no device property (English text)")
        << "resource" << openRw << "Could not open device '/dev/video0' for reading and writing."
        << "system error: No such file or directory"
        << "v4l2src"
        << "" << int(FailureReason::NoSuchDevice) << "not plugged in";
    QTest::newRow("USB bandwidth, ENOSPC (German texts)")
        << "resource" << int(GST_RESOURCE_ERROR_FAILED) << "Fehler beim Starten des Streams"
        << "error with STREAMON 28 (Auf dem Gerät ist kein Speicherplatz mehr verfügbar)"
        << "v4l2src"
        << "" << int(FailureReason::UsbBandwidth) << "MJPEG";
    QTest::newRow("open refused, device opens now (German texts)")
        << "resource" << openRw
        << "Gerät »/dev/null« konnte nicht zum Lesen oder Schreiben geöffnet werden."
        << "Systemfehler: Keine Berechtigung"
        << "v4l2src"
        << "/dev/null" << int(FailureReason::Other) << "";
    QTest::newRow("unplugged while streaming")
        << "resource" << read << "Could not read from resource."
        << "poll error 1: No such device (19)"
        << "v4l2src"
        << "" << int(FailureReason::NoSuchDevice) << "";
    // The errno in the text is whatever the last call left: a gone node shows only as POLLERR.
    QTest::newRow("unplugged while streaming, other errno")
        << "resource" << read << "Could not read from resource."
        << "poll error 1: Resource temporarily unavailable (11)"
        << "v4l2src"
        << "" << int(FailureReason::NoSuchDevice) << "";
    QTest::newRow("USB bandwidth, pool cannot start")
        << "resource" << settings << "Failed to allocate required memory."
        << "Buffer pool activation failed"
        << "v4l2src"
        << "" << int(FailureReason::UsbBandwidth) << "MJPEG";
    QTest::newRow("USB bandwidth, ENOSPC")
        << "resource" << int(GST_RESOURCE_ERROR_FAILED) << "Error starting streaming"
        << "error with STREAMON 28 (No space left on device)"
        << "v4l2src"
        << "" << int(FailureReason::UsbBandwidth) << "MJPEG";
    QTest::newRow("pool failure elsewhere")
        << "resource" << settings << "Failed to allocate required memory."
        << "Buffer pool activation failed"
        << "videoconvert"
        << "" << int(FailureReason::Other) << "";
    QTest::newRow("not linked") << "stream" << failed << "Internal data stream error."
                                << "streaming stopped, reason not-linked (-1)"
                                << "decodebin"
                                << "" << int(FailureReason::NotLinked) << "";
    QTest::newRow("not negotiated") << "stream" << failed << "Internal data stream error."
                                    << "streaming stopped, reason not-negotiated (-4)"
                                    << "videotestsrc"
                                    << "" << int(FailureReason::Other) << "";
}

void TestGstVideoControl::classifyError() {
    QFETCH(QString, domain);
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(QString, debug);
    QFETCH(QString, factory);
    QFETCH(QString, device);
    QFETCH(int, reason);
    QFETCH(QString, advice);
    const GQuark quark = domain == "resource" ? GST_RESOURCE_ERROR : GST_STREAM_ERROR;
    GError* error = g_error_new_literal(quark, code, message.toUtf8().constData());
    const camera::CameraFailure failure = camera::classifyError(*error, debug, {factory, device});
    g_error_free(error);
    QCOMPARE(int(failure.reason), reason);
    const QString text = camera::describeFailure(failure);
    QVERIFY2(text.contains(message), qPrintable(text));  // the source's own words are kept
    QVERIFY2(text.contains(advice), qPrintable(text));
}

void TestGstVideoControl::sameDevice_data() {
    QTest::addColumn<QString>("knownPath");  // "$D" is a folder with video3, video5, by-id/cam
    QTest::addColumn<QString>("knownId");    // empty: unknown
    QTest::addColumn<QString>("appearedPath");
    QTest::addColumn<QString>("appearedId");
    QTest::addColumn<bool>("same");
    QTest::newRow("same node") << "/dev/video2"
                               << ""
                               << "/dev/video2"
                               << "" << true;
    QTest::newRow("by-id link to the node") << "$D/by-id/cam"
                                            << ""
                                            << "$D/video3"
                                            << "" << true;
    QTest::newRow("by-id link, other node") << "$D/by-id/cam"
                                            << ""
                                            << "$D/video5"
                                            << "" << false;
    QTest::newRow("same identity, new node") << "/dev/video2"
                                             << "usb:1:2:A"
                                             << "/dev/video4"
                                             << "usb:1:2:A" << true;
    QTest::newRow("other camera on the same node") << "/dev/video2"
                                                   << "usb:1:2:A"
                                                   << "/dev/video2"
                                                   << "usb:1:2:B" << false;
    QTest::newRow("other port, by-id link to the node") << "$D/by-id/cam"
                                                        << "port:usb-0:1"
                                                        << "$D/video3"
                                                        << "port:usb-0:2" << true;
    QTest::newRow("other port, other node") << "/dev/video2"
                                            << "port:usb-0:1"
                                            << "/dev/video4"
                                            << "port:usb-0:2" << false;
    QTest::newRow("identity on one side only") << "/dev/video2"
                                               << ""
                                               << "/dev/video2"
                                               << "usb:1:2:A" << true;
    QTest::newRow("nothing known") << ""
                                   << ""
                                   << ""
                                   << "usb:1:2:A" << false;
}

void TestGstVideoControl::sameDevice() {
    QFETCH(QString, knownPath);
    QFETCH(QString, knownId);
    QFETCH(QString, appearedPath);
    QFETCH(QString, appearedId);
    QFETCH(bool, same);
    const QDir folder(outputDir_->path());
    QVERIFY(folder.mkpath("by-id"));
    for (const char* node : {"video3", "video5"}) {
        QFile file(folder.filePath(node));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QVERIFY(QFile::link(folder.filePath("video3"), folder.filePath("by-id/cam")));
    const auto optional = [&folder](QString text) -> std::optional<QString> {
        return text.isEmpty() ? std::nullopt : std::optional(text.replace("$D", folder.path()));
    };
    QCOMPARE(camera::cameraconfig::sameDevice({optional(knownPath), optional(knownId)},
                                              {optional(appearedPath), optional(appearedId)}),
             same);
}

void TestGstVideoControl::deviceIdentityFromProperties() {
    using camera::cameraconfig::deviceIdentity;
    const QString withSerial =
        deviceIdentity("046d", "0825", "A1B2", "pci-0000:00:14.0-usb-0:1").value_or("");
    QVERIFY(withSerial.contains("046d") && withSerial.contains("0825") &&
            withSerial.contains("A1B2"));
    // Without a serial number the port tells two identical cameras apart.
    const auto port1 = deviceIdentity("046d", "0825", "", "pci-0000:00:14.0-usb-0:1");
    const auto port2 = deviceIdentity("046d", "0825", "", "pci-0000:00:14.0-usb-0:2");
    QVERIFY(port1 && port2 && *port1 != *port2);
    QVERIFY(!deviceIdentity("046d", "0825", "", "").has_value());
}

void TestGstVideoControl::staleAfterFollowsFrameRate() {
    using camera::staleAfter;
    QCOMPARE(staleAfter(std::chrono::milliseconds(33)), camera::CameraClock::duration(500ms));
    QCOMPARE(staleAfter(std::chrono::milliseconds(200)), camera::CameraClock::duration(1000ms));
    QCOMPARE(staleAfter(std::nullopt), camera::CameraClock::duration(1s));
}

void TestGstVideoControl::whyNoPictureNamesTheCamera() {
    using camera::CameraState;
    using camera::whyNoPicture;
    const auto now = camera::CameraClock::now();
    const QImage picture(4, 4, QImage::Format_RGB32);

    QCOMPARE(whyNoPicture(2, std::nullopt, now).value_or(""),
             QString("camera 2 is not configured"));
    CameraState state;
    QCOMPARE(whyNoPicture(0, state, now).value_or(""), QString("camera 0 is not started"));
    state.playingSince = now - 2500ms;
    QCOMPARE(whyNoPicture(0, state, now).value_or(""),
             QString("camera 0 has delivered no picture since it was started 2.5 s ago"));
    state.frame =
        camera::LatestFrame{std::make_shared<camera::ImageFrame>(picture), now - 100ms, 33ms};
    QVERIFY(!whyNoPicture(0, state, now).has_value());
    state.frame->arrivedAt = now - 3200ms;
    QCOMPARE(whyNoPicture(1, state, now).value_or(""),
             QString("camera 1 has delivered no picture for 3.2 s"));
    state.failure = "Could not open device";
    QCOMPARE(whyNoPicture(0, state, now).value_or(""),
             QString("camera 0 failed: Could not open device"));
}

void TestGstVideoControl::stillFormatForPath_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArrayList>("writable");
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<QStringList>("errorNames");
    const QByteArrayList all{"bmp", "jpg", "jpeg", "png", "ppm", "pgm", "tif", "tiff"};
    const QByteArrayList withoutTiff{"bmp", "jpg", "jpeg", "png", "ppm", "pgm"};
    QTest::newRow("BMP") << "/x/CLR_12345678_01.BMP" << all << QByteArray("bmp") << QStringList();
    QTest::newRow("JPG") << "/x/CLR_12345678_01.JPG" << all << QByteArray("jpg") << QStringList();
    QTest::newRow("Png") << "/x/a.Png" << all << QByteArray("png") << QStringList();
    QTest::newRow("grey-only format") << "/x/a.pgm" << all << QByteArray("bmp") << QStringList();
    QTest::newRow("dotted folder, no extension")
        << "/x.y/a" << all << QByteArray("bmp") << QStringList();
    QTest::newRow("TIF with its plugin") << "/x/a.TIF" << all << QByteArray("tif") << QStringList();
    QTest::newRow("BMP with no writer at all")
        << "/x/a.BMP" << QByteArrayList() << QByteArray("bmp") << QStringList();
    QTest::newRow("TIF without its plugin")
        << "/x/CLR_1_01.TIF" << withoutTiff << QByteArray()
        << QStringList{"/x/CLR_1_01.TIF", "TIFF", "qt6-image-formats-plugins"};
    QTest::newRow("tiff without its plugin") << "/x/a.tiff" << withoutTiff << QByteArray()
                                             << QStringList{"TIFF", "qt6-image-formats-plugins"};
    QTest::newRow("PNG without its writer") << "/x/a.png" << QByteArrayList{"bmp", "jpg"}
                                            << QByteArray() << QStringList{"PNG", "libqt6gui6"};
}

void TestGstVideoControl::stillFormatForPath() {
    QFETCH(QString, path);
    QFETCH(QByteArrayList, writable);
    QFETCH(QByteArray, format);
    QFETCH(QStringList, errorNames);
    QByteArray chosen;
    const QString error = errorOf([&] { chosen = camera::stillFormatForPath(path, writable); });
    QCOMPARE(chosen, format);
    QCOMPARE(error.isEmpty(), errorNames.isEmpty());
    for (const QString& name : errorNames) {
        QVERIFY2(error.contains(name), qPrintable(error));
    }
}

void TestGstVideoControl::bmpStillKeepsEveryPixel() {
    // 5 pixels make 15-byte rows, padded to 16; every pixel differs, so a flipped, mirrored or
    // channel-swapped picture cannot pass.
    constexpr int kW = 5;
    constexpr int kH = 3;
    QImage picture(kW, kH, QImage::Format_RGB32);
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) {
            picture.setPixel(x, y, qRgb(40 * x + 10, 80 * y + 5, 200 - 13 * (x + kW * y)));
        }
    }
    const QString path = outputPath("pattern.BMP");
    camera::writeStill(picture, path);

    const QByteArray bytes = readAll(path);
    const auto u32 = [&bytes](int offset) {
        return qFromLittleEndian<quint32>(bytes.constData() + offset);
    };
    const auto u16 = [&bytes](int offset) {
        return qFromLittleEndian<quint16>(bytes.constData() + offset);
    };
    QCOMPARE(bytes.left(2), QByteArray("BM"));
    QCOMPARE(u32(2), quint32(54 + 16 * kH));  // file size
    QCOMPARE(u32(10), quint32(54));           // pixel data offset
    QCOMPARE(u32(14), quint32(40));           // info header size
    QCOMPARE(u32(18), quint32(kW));
    QCOMPARE(u32(22), quint32(kH));  // positive: bottom-up
    QCOMPARE(u16(26), quint16(1));
    QCOMPARE(u16(28), quint16(24));
    QCOMPARE(u32(30), quint32(0));
    QCOMPARE(bytes.size(), 54 + 16 * kH);
    // First stored row is the picture's bottom row, in blue, green, red order.
    const QRgb bottomLeft = picture.pixel(0, kH - 1);
    QCOMPARE(static_cast<quint8>(bytes[54]), static_cast<quint8>(qBlue(bottomLeft)));
    QCOMPARE(static_cast<quint8>(bytes[55]), static_cast<quint8>(qGreen(bottomLeft)));
    QCOMPARE(static_cast<quint8>(bytes[56]), static_cast<quint8>(qRed(bottomLeft)));

    const QImage read(path);
    QCOMPARE(read.size(), picture.size());
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) {
            QCOMPARE(read.pixel(x, y), picture.pixel(x, y));
        }
    }
}

namespace {

QByteArray jpegOf(const QColor& colour) {
    QImage image(640, 480, QImage::Format_RGB32);  // large enough that most bytes are picture
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    return image.save(&buffer, "JPEG", 90) ? bytes : QByteArray();
}

}  // namespace

void TestGstVideoControl::brokenJpegFallsBackToThePictureBefore() {
    using camera::JpegFrame;
    const QByteArray red = jpegOf(kRed);
    const QByteArray blue = jpegOf(kBlue);
    QVERIFY(!red.isEmpty() && !blue.isEmpty());
    const auto redFrame = JpegFrame::make(red, nullptr);
    QVERIFY(redFrame);
    QVERIFY(wholePictureIs(redFrame->full(), kRed));

    // Cut short by the transfer, or padded after its end marker as some cameras send it.
    const auto cut = JpegFrame::make(blue.left(blue.size() * 2 / 3), redFrame);
    QVERIFY(cut);
    QVERIFY(wholePictureIs(cut->full(), kRed));
    QVERIFY(!errorOf([&] {
                 JpegFrame::make(blue.left(blue.size() * 2 / 3), nullptr)->full();
             }).isEmpty());
    const auto padded = JpegFrame::make(blue + QByteArray(100, '\0'), cut);
    QVERIFY(wholePictureIs(padded->full(), kBlue));
    // The one before a cut picture is no fallback: it is two frames old.
    const auto afterCut = JpegFrame::make(blue.left(blue.size() / 2), cut);
    QVERIFY(!errorOf([&] { afterCut->full(); }).isEmpty());
    QVERIFY(!JpegFrame::make("not a picture", redFrame));
}

void TestGstVideoControl::jpegScreenDecodeSize_data() {
    QTest::addColumn<QSize>("full");
    QTest::addColumn<QSize>("box");
    QTest::addColumn<QSize>("decoded");
    QTest::newRow("1080p in the main window")
        << QSize(1920, 1080) << QSize(340, 250) << QSize(480, 270);
    QTest::newRow("exact half") << QSize(640, 480) << QSize(320, 240) << QSize(320, 240);
    QTest::newRow("just over a scale") << QSize(640, 480) << QSize(321, 241) << QSize(400, 300);
    QTest::newRow("box larger than the picture")
        << QSize(640, 480) << QSize(1000, 1000) << QSize(640, 480);
}

void TestGstVideoControl::jpegScreenDecodeSize() {
    QFETCH(QSize, full);
    QFETCH(QSize, box);
    QFETCH(QSize, decoded);
    QCOMPARE(camera::jpegScreenDecodeSize(full, box), decoded);
}

void TestGstVideoControl::shownPictureLetsTheBufferGo_data() {
    QTest::addColumn<QString>("layout");
    QTest::newRow("screen layout, painted from the buffer") << "BGRx";
    QTest::newRow("converted for the screen") << "YUY2";
}

void TestGstVideoControl::bayerMosaicIsDemosaiced_data() {
    QTest::addColumn<QString>("order");  // GStreamer's name of the 2×2 cell
    QTest::addColumn<int>("bytes");      // of the buffer, a whole 16 × 8 mosaic being 128
    QTest::newRow("rggb") << "rggb" << 128;
    QTest::newRow("bggr") << "bggr" << 128;
    QTest::newRow("grbg") << "grbg" << 128;
    QTest::newRow("gbrg") << "gbrg" << 128;
    QTest::newRow("lost packets: short buffer refused") << "bggr" << 100;
}

// A uniform colour laid out as each mosaic comes back as that colour, on screen and as a still.
void TestGstVideoControl::bayerMosaicIsDemosaiced() {
    QFETCH(QString, order);
    QFETCH(int, bytes);
    camera::gst::ensureInitialised();
    constexpr int kWidth = 16;
    constexpr int kHeight = 8;
    const QColor colour(200, 100, 40);
    QByteArray mosaic(kWidth * kHeight, '\0');
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const QChar letter = order[(y % 2) * 2 + x % 2];
            mosaic[y * kWidth + x] = char(letter == 'r'   ? colour.red()
                                          : letter == 'g' ? colour.green()
                                                          : colour.blue());
        }
    }
    GstBuffer* const buffer = gst_buffer_new_memdup(mosaic.constData(), gsize(bytes));
    const camera::gst::CapsPtr caps(gst_caps_new_simple(
        "video/x-bayer", "format", G_TYPE_STRING, qPrintable(order), "width", G_TYPE_INT, kWidth,
        "height", G_TYPE_INT, kHeight, "framerate", GST_TYPE_FRACTION, 25, 1, nullptr));
    const auto frame = camera::BayerFrame::make(
        camera::gst::SamplePtr(gst_sample_new(buffer, caps.get(), nullptr, nullptr)));
    gst_buffer_unref(buffer);
    QCOMPARE(bool(frame), bytes == kWidth * kHeight);
    if (!frame) {
        return;
    }
    const QImage still = frame->full();
    const QImage screen = frame->forScreen(QSize(8, 8));
    QCOMPARE(still.size(), QSize(kWidth, kHeight));
    QCOMPARE(screen.size(), QSize(8, 4));
    for (const QImage* picture : {&still, &screen}) {
        for (int y = 0; y < picture->height(); ++y) {
            for (int x = 0; x < picture->width(); ++x) {
                QCOMPARE(picture->pixelColor(x, y), colour);
            }
        }
    }
}

// Once painted, the screen's cache keeps no camera buffer: the camera's pool needs it back.
void TestGstVideoControl::shownPictureLetsTheBufferGo() {
    QFETCH(QString, layout);
    camera::gst::ensureInitialised();
    GstBuffer* const buffer = gst_buffer_new_allocate(nullptr, 64 * 48 * 4, nullptr);
    gst_buffer_memset(buffer, 0, 0x80, 64 * 48 * 4);
    const camera::gst::CapsPtr caps(gst_caps_new_simple(
        "video/x-raw", "format", G_TYPE_STRING, qPrintable(layout), "width", G_TYPE_INT, 64,
        "height", G_TYPE_INT, 48, "framerate", GST_TYPE_FRACTION, 30, 1, nullptr));
    auto frame = camera::RawFrame::make(
        camera::gst::SamplePtr(gst_sample_new(buffer, caps.get(), nullptr, nullptr)));
    QVERIFY(frame);

    camera::ShownPictureCache shown;
    for (int paint = 0; paint < 2; ++paint) {  // a new frame, then a repaint of it
        const camera::LivePicture live = shown.show(0, frame, QSize(32, 24));
        QVERIFY2(!live.picture.isNull(), qPrintable(live.whyNone));
        QCOMPARE(live.fullSize, QSize(64, 48));
    }
    frame.reset();
    QCOMPARE(GST_MINI_OBJECT_REFCOUNT_VALUE(buffer), 1);
    gst_buffer_unref(buffer);
}

// Frames held for long (a slow still, a painting) make the camera wait for one to come back,
// never allocate another: all its frames exist from the start.
void TestGstVideoControl::heldFramesAddNoMemory() {
    const QString description = QStringLiteral(
        "videotestsrc is-live=true ! video/x-raw,format=BGRx,width=64,height=48,framerate=30/1");
    camera::CameraPipeline camera({description, std::nullopt, nullptr, std::nullopt}, {});
    camera.play();
    std::vector<std::shared_ptr<const camera::CameraFrame>> held;
    std::set<const uchar*> buffers;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 600) {  // 18 frames are due meanwhile
        const camera::CameraState state = camera.state();
        if (state.frame && (held.empty() || held.back() != state.frame->picture)) {
            held.push_back(state.frame->picture);
            buffers.insert(held.back()->full().constBits());  // screen layout: the buffer itself
        }
        QTest::qWait(5);
    }
    QVERIFY(!held.empty());
    QVERIFY2(buffers.size() <= 4, qPrintable(QString::number(buffers.size())));
    const auto last = held.back();
    held.clear();
    QTRY_VERIFY_WITH_TIMEOUT(camera.state().frame->picture != last, kSlowTimeout);
}

QTEST_MAIN(TestGstVideoControl)
#include "tst_gstvideocontrol.moc"
