// The camera control and the camera controls layer against V4L2 semantics: the real v4l2src and
// our ioctls on the userspace UVC camera (libfake_uvc.so, preloaded by ctest).
#include "CameraConfig.h"
#include "CameraSet.h"
#include "CameraSetupWindow.h"
#include "Diagnostics.h"
#include "GstVideoControl.h"
#include "V4l2Controls.h"
#include "fakes/TestCameraProvider.h"
#include "fakes/fake_uvc.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <gst/gst.h>

#include <dlfcn.h>

#include <cerrno>
#include <cstring>
#include <map>

using camera::GstVideoControl;

namespace {

constexpr int kSlowTimeout = 15000;  // ms: 1080p cameras starting on a loaded machine
const QString kKey = QStringLiteral("HKEY_LOCAL_MACHINE\\Software\\HPortal\\PortalCam");

int fakeCommand(const QString& line) {
    const auto command =
        reinterpret_cast<fakeuvc::CommandFunction>(dlsym(RTLD_DEFAULT, fakeuvc::kCommandSymbol));
    return command(line.toUtf8().constData());
}

QString cameraLine(const QString& node, const QString& format, int width, int height,
                   const QString& extraControls = {}) {
    const int rate = format == "MJPG" ? 30 : 5;
    return camera::cameraconfig::cameraDescription(node, {format, width, height, rate, 1},
                                                   extraControls);
}

// Lock and Save in the camera set-up program on the first source it lists; the reason when
// saving fails.
std::optional<QString> lockAndSaveFirstSource(const QString& configPath) {
    camerasetup::CameraSetupWindow window(configPath, camerasetup::listSources(),
                                          camera::openV4l2Controls);
    // The window picks its sources once it knows the state of the configured cameras.
    if (!QTest::qWaitFor([&] { return window.sourceChoice(0)->currentIndex() == 1; }, 15000)) {
        return QStringLiteral("no source chosen for camera 0");
    }
    window.lock(0);
    return window.save();
}

// The values of a node's controls, read through our ioctl layer.
std::map<QString, std::int64_t> valuesOn(const QString& node) {
    QString error;
    const auto controls = camera::openV4l2Controls(node, &error);
    std::map<QString, std::int64_t> values;
    if (controls) {
        for (const camera::V4l2Control& control : controls->list()) {
            values[control.name] = control.value;
        }
    }
    return values;
}

bool showsColourOf(const QImage& picture, int nodeNumber) {
    const fakeuvc::Rgb expected = fakeuvc::colourOfNode(nodeNumber);
    const QColor left = picture.pixelColor(picture.width() / 4, picture.height() / 2);
    return std::abs(left.red() - expected.r) <= 24 && std::abs(left.green() - expected.g) <= 24 &&
           std::abs(left.blue() - expected.b) <= 24;
}

}  // namespace

class TestV4l2Cameras : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void pairAtFullSizeShowsEachNode();
    void failureShowsItsReason_data();
    void failureShowsItsReason();
    void lockedValuesAreAppliedOnEveryOpen();
    void manualValueNeedsItsAutoModeOff_data();
    void manualValueNeedsItsAutoModeOff();

private:
    void configure(const QString& text);
    std::unique_ptr<GstVideoControl> startedControl();
    QImage still(GstVideoControl& control, int index);

    std::unique_ptr<QTemporaryDir> configHome_;
};

void TestV4l2Cameras::initTestCase() {
    if (dlsym(RTLD_DEFAULT, fakeuvc::kCommandSymbol) == nullptr) {
        // ctest preloads it: without it there, the cameras below would not exist.
        QVERIFY2(qEnvironmentVariableIsEmpty("FAKE_UVC_DEVICES"), "libfake_uvc.so not preloaded");
        QSKIP("needs libfake_uvc.so preloaded, as ctest runs it");
    }
    testcamera::registerProvider();
    // Run again with glibc's and GStreamer's messages in German (run_in_locale.sh): a reason
    // found in English words only would be lost there.
    if (qEnvironmentVariable("LANGUAGE").startsWith("de")) {
        QVERIFY2(QString::fromUtf8(g_strerror(EACCES)) != "Permission denied",
                 "glibc's messages are not translated: is the locale installed?");
    }
}

void TestV4l2Cameras::init() {
    configHome_ = std::make_unique<QTemporaryDir>();
    qputenv("XDG_CONFIG_HOME", configHome_->path().toLocal8Bit());
}

void TestV4l2Cameras::cleanup() {
    testcamera::unplugAll();
    // Every camera back on its first node with its defaults, as if replugged.
    fakeCommand("unplug /dev/video4");
    for (const char* node : {"/dev/video0", "/dev/video2"}) {
        fakeCommand(QString("unplug %1").arg(node));
        fakeCommand(QString("replug %1").arg(node));
    }
    configHome_.reset();
}

void TestV4l2Cameras::configure(const QString& text) {
    QVERIFY(QDir(configHome_->path()).mkpath("HPortal"));
    QFile file(configHome_->filePath("HPortal/PortalCam.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write(text.toUtf8()) == text.toUtf8().size());
}

std::unique_ptr<GstVideoControl> TestV4l2Cameras::startedControl() {
    auto control = std::make_unique<GstVideoControl>();
    control->setGeometry(0, 0, 320, 240);
    const std::optional<QString> failure = control->open(QStringLiteral("MIRET_DEMO"), kKey);
    [&] { QVERIFY2(!failure, qPrintable(failure.value_or(""))); }();
    control->configure();
    control->start();
    control->setLivePicture(true);
    control->show();
    return control;
}

QImage TestV4l2Cameras::still(GstVideoControl& control, int index) {
    [&] { QTRY_VERIFY_WITH_TIMEOUT(!control.select(index), kSlowTimeout); }();
    const QString path = configHome_->filePath(QString("still%1.BMP").arg(index));
    control.stillToFile(path).waitForFinished();
    return QImage(path);
}

void TestV4l2Cameras::pairAtFullSizeShowsEachNode() {
    configure("camera0=" + cameraLine("/dev/video0", "MJPG", 1920, 1080) +
              "\ncamera1=" + cameraLine("/dev/video2", "MJPG", 1920, 1080) + "\n");
    const auto control = startedControl();
    for (const int index : {0, 1, 0}) {
        const QImage picture = still(*control, index);
        QCOMPARE(picture.size(), QSize(1920, 1080));
        QVERIFY2(showsColourOf(picture, index * 2), qPrintable(QString::number(index)));
    }
}

void TestV4l2Cameras::failureShowsItsReason_data() {
    QTest::addColumn<QString>("before");     // fake command before the camera starts
    QTest::addColumn<QString>("alongside");  // another program's pipeline, running first
    QTest::addColumn<QString>("camera");
    QTest::addColumn<QString>("after");  // fake command once it delivers
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("logged");  // a failure of the camera's source, told to IT
    const QString mjpeg = cameraLine("/dev/video0", "MJPG", 640, 480);
    const QString rawFullHd = cameraLine("/dev/video0", "YUY2", 1920, 1080);
    QTest::newRow("busy") << "busy /dev/video0"
                          << "" << mjpeg << ""
                          << "the device is busy" << true;
    QTest::newRow("permission denied") << "deny /dev/video0"
                                       << "" << mjpeg << ""
                                       << "permission denied opening the device" << true;
    QTest::newRow("bandwidth")
        << ""
        << "v4l2src device=/dev/video2 ! video/x-raw,format=YUY2,width=1920,height=1080 ! "
           "fakesink"
        << rawFullHd << ""
        << "not enough USB bandwidth" << true;
    QTest::newRow("no such device") << "unplug /dev/video0"
                                    << "" << mjpeg << ""
                                    << "no such device" << true;
    QTest::newRow("unplugged while delivering") << ""
                                                << "" << mjpeg << "unplug /dev/video0"
                                                << "no such device" << true;
    QTest::newRow("cut frames") << "cut /dev/video0"
                                << "" << mjpeg << ""
                                << "cut short" << false;
}

void TestV4l2Cameras::failureShowsItsReason() {
    QFETCH(QString, before);
    QFETCH(QString, alongside);
    QFETCH(QString, camera);
    QFETCH(QString, after);
    QFETCH(QString, reason);
    QFETCH(bool, logged);
    const platform::DiagnosticRecorder recorder;
    if (!before.isEmpty()) {
        QCOMPARE(fakeCommand(before), 0);
    }
    GstElement* other =
        alongside.isEmpty() ? nullptr : gst_parse_launch(qPrintable(alongside), nullptr);
    const auto stopOther = qScopeGuard([other] {
        if (other != nullptr) {
            gst_element_set_state(other, GST_STATE_NULL);
            gst_object_unref(other);
        }
    });
    if (other != nullptr) {
        gst_element_set_state(other, GST_STATE_PLAYING);
        QCOMPARE(gst_element_get_state(other, nullptr, nullptr, 5 * GST_SECOND),
                 GST_STATE_CHANGE_SUCCESS);
    }
    QObject gui;
    camera::CameraSet cameras(&gui, [] {});
    cameras.useConfiguredCameras({{0, camera}});
    cameras.start();
    cameras.select(0);
    const QSize box(320, 240);
    if (!after.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(!cameras.pictureToShow(box).picture.isNull(), kSlowTimeout);
        QCOMPARE(fakeCommand(after), 0);
    }
    QString shown;
    QTRY_VERIFY2_WITH_TIMEOUT((shown = cameras.pictureToShow(box).whyNone).contains(reason),
                              qPrintable(shown), kSlowTimeout);
    QVERIFY2(shown.startsWith("camera 0 "), qPrintable(shown));
    // Told to IT once, however often the reason is asked for, with the camera and its device.
    const auto events = [&recorder] { return recorder.matching("station.camera", "/dev/video0"); };
    QTRY_COMPARE(events().size(), std::size_t(logged ? 1 : 0));
    for (int ask = 0; ask < 5; ++ask) {
        QVERIFY(!cameras.pictureToShow(box).whyNone.isEmpty());
    }
    QCOMPARE(events().size(), std::size_t(logged ? 1 : 0));
    if (logged) {
        QCOMPARE(events().front().field("CAMERA"), QString("0"));
        QVERIFY2(events().front().field("REASON").contains(reason),
                 qPrintable(events().front().text()));
    }
}

void TestV4l2Cameras::lockedValuesAreAppliedOnEveryOpen() {
    // Lock and Save in the set-up program, on the device it lists at /dev/video0, with a gain the
    // installer chose, so that no kept value is the device's default by chance.
    QCOMPARE(fakeCommand("set /dev/video0 gain=40"), 0);
    testcamera::plugIn({"Bottom camera", "/dev/video0", "BTM-1", 0xffff0000});
    QVERIFY(QDir(configHome_->path()).mkpath("HPortal"));
    const QString config = configHome_->filePath("HPortal/PortalCam.conf");
    QCOMPARE(lockAndSaveFirstSource(config), std::nullopt);
    QFile file(config);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString line = camera::cameraconfig::parseCameraLines(file.readAll()).at(0);
    static const QRegularExpression extra("extra-controls=\"c,([^\"]*)\"");
    const QString fields = extra.match(line).captured(1);
    std::map<QString, std::int64_t> kept;
    for (const QString& field : fields.split(',')) {
        kept[field.section('=', 0, 0)] = field.section('=', 1).toLongLong();
    }
    // What is kept is what the device reads back, and the auto modes come before their values.
    QCOMPARE(valuesOn("/dev/video0"), kept);
    QCOMPARE(kept.at("auto_exposure"), 1);
    QCOMPARE(kept.at("gain"), 40);
    QCOMPARE(kept.at("focus_automatic_continuous"), 0);
    QVERIFY2(fields.indexOf("auto_exposure=") < fields.indexOf("exposure_time_absolute=") &&
                 fields.indexOf("white_balance_automatic=") <
                     fields.indexOf("white_balance_temperature=") &&
                 fields.indexOf("focus_automatic_continuous=") < fields.indexOf("focus_absolute="),
             qPrintable(fields));

    // Another program turns the automatic modes back on before the station starts.
    for (const char* command : {"auto_exposure=3", "white_balance_automatic=1",
                                "focus_automatic_continuous=1", "gain=77"}) {
        QCOMPARE(fakeCommand(QString("set /dev/video0 %1").arg(command)), 0);
    }
    const auto control = startedControl();
    QVERIFY(showsColourOf(still(*control, 0), 0));
    QCOMPARE(valuesOn("/dev/video0"), kept);

    // Changed behind its back, then unplugged and back on another node: set again on opening.
    QCOMPARE(fakeCommand("set /dev/video0 gain=5"), 0);
    QCOMPARE(fakeCommand("unplug /dev/video0"), 0);
    testcamera::unplug("BTM-1");
    QTRY_VERIFY_WITH_TIMEOUT(control->select(0).has_value(), kSlowTimeout);
    QCOMPARE(fakeCommand("replug /dev/video0 /dev/video4"), 0);
    testcamera::plugIn({"Bottom camera", "/dev/video4", "BTM-1", 0xffff0000});
    QVERIFY(showsColourOf(still(*control, 0), 0));
    QCOMPARE(valuesOn("/dev/video4"), kept);
}

void TestV4l2Cameras::manualValueNeedsItsAutoModeOff_data() {
    QTest::addColumn<QString>("autoMode");
    QTest::addColumn<int>("on");
    QTest::addColumn<int>("off");
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("manual");
    QTest::newRow("exposure") << "auto_exposure" << 3 << 1 << "exposure_time_absolute" << 100;
    QTest::newRow("white balance")
        << "white_balance_automatic" << 1 << 0 << "white_balance_temperature" << 3000;
    QTest::newRow("focus") << "focus_automatic_continuous" << 1 << 0 << "focus_absolute" << 100;
}

void TestV4l2Cameras::manualValueNeedsItsAutoModeOff() {
    // Lock and the lines it writes rest on this: a value written while its automatic mode is on
    // is refused by the camera, and taken once the mode is off.
    QFETCH(QString, autoMode);
    QFETCH(int, on);
    QFETCH(int, off);
    QFETCH(QString, value);
    QFETCH(int, manual);
    QString error;
    const auto controls = camera::openV4l2Controls("/dev/video0", &error);
    QVERIFY2(controls, qPrintable(error));
    std::map<QString, camera::V4l2Control> byName;
    for (const camera::V4l2Control& control : controls->list()) {
        byName[control.name] = control;
    }
    QVERIFY(byName.count(autoMode) == 1 && byName.count(value) == 1);
    const std::uint32_t modeId = byName.at(autoMode).id;
    const std::uint32_t valueId = byName.at(value).id;
    QVERIFY(controls->set(modeId, on));
    errno = 0;
    QVERIFY2(!controls->set(valueId, manual), "a manual value taken while its auto mode is on");
    QVERIFY2(errno == EACCES || errno == EBUSY, std::strerror(errno));
    QVERIFY(controls->set(modeId, off));
    QVERIFY(controls->set(valueId, manual));
    QCOMPARE(controls->get(valueId), std::optional<std::int64_t>(manual));
}

QTEST_MAIN(TestV4l2Cameras)
#include "tst_v4l2_cameras.moc"
