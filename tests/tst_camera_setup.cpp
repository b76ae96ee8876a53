#include "CameraConfig.h"
#include "CameraConfigFile.h"
#include "CameraPreview.h"
#include "CameraSetupWindow.h"
#include "CameraSources.h"
#include "GstHandles.h"
#include "V4l2Controls.h"
#include "fakes/TestCameraProvider.h"

#include <QComboBox>
#include <QTreeWidget>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <map>

using camera::V4l2Control;
using camera::cameraconfig::CameraMode;

namespace {

// A device that behaves like a UVC camera: values refused while their auto mode is on, one
// control it never takes, one it clamps, one that is read-only.
class FakeControls final : public camera::CameraControls {
public:
    FakeControls() {
        add("auto_exposure", V4l2Control::Kind::Menu, 3);  // aperture priority
        add("exposure_time_absolute", V4l2Control::Kind::Integer, 312, "auto_exposure", 1);
        add("white_balance_automatic", V4l2Control::Kind::Boolean, 1);
        add("white_balance_temperature", V4l2Control::Kind::Integer, 4650,
            "white_balance_automatic", 0);
        add("focus_automatic_continuous", V4l2Control::Kind::Boolean, 1);
        add("focus_absolute", V4l2Control::Kind::Integer, 40, "focus_automatic_continuous", 0);
        add("gain", V4l2Control::Kind::Integer, 12);
        add("power_line_frequency", V4l2Control::Kind::Menu, 1);
        add("sharpness", V4l2Control::Kind::Integer, 3);
        add("brightness", V4l2Control::Kind::Integer, 200);
        add("pan_speed", V4l2Control::Kind::Integer, 0);
        controls_.back().readOnly = true;
    }

    std::vector<V4l2Control> list() override {
        for (V4l2Control& control : controls_) {
            control.inactive = !manual(control);
        }
        return controls_;
    }
    std::optional<std::int64_t> get(std::uint32_t id) override { return find(id).value; }
    bool set(std::uint32_t id, std::int64_t value) override {
        V4l2Control& control = find(id);
        sets << control.name;
        if (control.readOnly || control.name == "sharpness" || !manual(control)) {
            return false;
        }
        control.value = control.name == "brightness" ? std::min<std::int64_t>(value, 128) : value;
        return true;
    }

    QStringList sets;

private:
    void add(const char* name, V4l2Control::Kind kind, std::int64_t value,
             const char* autoMode = nullptr, std::int64_t manualValue = 0) {
        V4l2Control control;
        control.id = static_cast<std::uint32_t>(controls_.size() + 1);
        control.name = name;
        control.kind = kind;
        control.value = value;
        controls_.push_back(control);
        dependsOn_[control.name] = {autoMode ? QString(autoMode) : QString(), manualValue};
    }
    V4l2Control& find(std::uint32_t id) { return controls_.at(id - 1); }
    bool manual(const V4l2Control& control) const {
        const auto& [autoMode, manualValue] = dependsOn_.at(control.name);
        if (autoMode.isEmpty()) {
            return true;
        }
        const auto mode = std::find_if(controls_.begin(), controls_.end(),
                                       [&](const V4l2Control& c) { return c.name == autoMode; });
        return mode->value == manualValue;
    }

    std::vector<V4l2Control> controls_;
    std::map<QString, std::pair<QString, std::int64_t>> dependsOn_;
};

// The first element that `factory` made in the bin.
camera::gst::ObjectPtr<GstElement> elementOf(GstElement* bin, const char* factory) {
    GstIterator* elements = gst_bin_iterate_all_by_element_factory_name(GST_BIN(bin), factory);
    GValue item = G_VALUE_INIT;
    camera::gst::ObjectPtr<GstElement> found;
    if (gst_iterator_next(elements, &item) == GST_ITERATOR_OK) {
        found.reset(GST_ELEMENT(g_value_dup_object(&item)));
        g_value_unset(&item);
    }
    gst_iterator_free(elements);
    return found;
}

QString valueOf(const camera::LockedControls& locked, const QString& name) {
    for (const auto& [control, value] : locked.values) {
        if (control == name) {
            return QString::number(value);
        }
    }
    return {};
}

}  // namespace

class TestCameraSetup : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { testcamera::registerProvider(); }
    void cleanup() { testcamera::unplugAll(); }
    void windowListsPreviewsLocksAndSaves();
    void modesOfCaps();
    void withCameraLines_data();
    void withCameraLines();
    void savedFileIsReadBackByTheStation_data();
    void savedFileIsReadBackByTheStation();
    void saveReportsWhereItFailed();
    void defaultMode_data();
    void defaultMode();
    void controlNames_data();
    void controlNames();
    void lockTurnsAutoModesOffFirstAndKeepsSettledValues();
    void controlsOfARealDevice();
};

void TestCameraSetup::windowListsPreviewsLocksAndSaves() {
    testcamera::plugIn({"Bottom camera", "/dev/video90", "BTM-1", 0xffff0000});
    testcamera::plugIn({"Colour camera", "/dev/video91", "CLR-1", 0xff0000ff});
    const QTemporaryDir folder;
    const QString path = folder.filePath("HPortal/PortalCam.conf");
    QVERIFY(QDir().mkpath(folder.filePath("HPortal")));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(
            "# station cameras\ncamera0=v4l2src device=/dev/video99\n"
            "camera2=videotestsrc is-live=true\n");
    }
    auto lockedBy = [](const QString&, QString*) -> std::unique_ptr<camera::CameraControls> {
        return std::make_unique<FakeControls>();
    };
    camerasetup::CameraSetupWindow window(path, camerasetup::listSources(), lockedBy);
    window.show();

    QCOMPARE(window.sourceList()->topLevelItemCount(), 2);
    QCOMPARE(window.sourceList()->topLevelItem(0)->text(0), QString("Bottom camera"));
    QCOMPARE(window.sourceList()->topLevelItem(1)->text(2), QString("/dev/video91"));
    QVERIFY(window.sourceList()->topLevelItem(0)->text(3).contains("MJPG 1280x720 30 fps"));
    // The configured cameras with their state: one that cannot deliver, one that does.
    QCOMPARE(window.configuredList()->topLevelItemCount(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(
        window.configuredList()->topLevelItem(0)->text(1).contains("no such device"), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(window.configuredList()->topLevelItem(1)->text(1),
                              QString("delivering"), 10000);

    // Both previews live, each with its own source and the default mode.
    QTRY_VERIFY_WITH_TIMEOUT(window.preview(0)->hasPicture() && window.preview(1)->hasPicture(),
                             10000);
    const auto centre = [](camerasetup::CameraPreview* preview) {
        return preview->grab().toImage().pixelColor(preview->width() / 2, preview->height() / 2);
    };
    QTRY_COMPARE_WITH_TIMEOUT(centre(window.preview(0)), QColor(255, 0, 0), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(centre(window.preview(1)), QColor(0, 0, 255), 10000);
    QCOMPARE(window.modeChoice(0)->currentText(), QString("MJPG 1280x720 30 fps"));

    window.lock(1);
    QVERIFY(!window.controlList(1)->findItems("sharpness", Qt::MatchExactly).isEmpty());
    QCOMPARE(window.save(), std::nullopt);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    QVERIFY(text.startsWith("# station cameras\n"));
    const auto cameras = camera::cameraconfig::parseCameraLines(text);
    QCOMPARE(cameras.size(), std::size_t(3));
    QCOMPARE(cameras.at(0), QString("v4l2src device=/dev/video90 ! image/jpeg,width=1280,"
                                    "height=720,framerate=30/1 ! jpegdec"));
    QVERIFY(
        cameras.at(1).startsWith("v4l2src device=/dev/video91 extra-controls=\"c,"
                                 "auto_exposure=1,"));
    QCOMPARE(cameras.at(2), QString("videotestsrc is-live=true"));
}

void TestCameraSetup::modesOfCaps() {
    const camera::gst::CapsPtr caps(
        gst_caps_from_string("image/jpeg,width=1280,height=720,framerate={30/1,15/1}; "
                             "video/x-raw,format=YUY2,width=640,height=480,framerate=[5/1,30/1]; "
                             "video/x-raw,width=[1,100],height=10,format=GRAY8; audio/x-raw"));
    QStringList modes;
    for (const CameraMode& mode : camerasetup::modesOfCaps(caps.get())) {
        modes << QStringLiteral("%1 %2x%3 %4/%5")
                     .arg(mode.format)
                     .arg(mode.width)
                     .arg(mode.height)
                     .arg(mode.fpsNumerator)
                     .arg(mode.fpsDenominator);
    }
    QCOMPARE(modes, (QStringList{"MJPG 1280x720 30/1", "MJPG 1280x720 15/1", "YUY2 640x480 30/1"}));
}

void TestCameraSetup::withCameraLines_data() {
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");  // with camera0=A and camera1=B written
    QTest::newRow("new file") << ""
                              << "camera0=A\ncamera1=B\n";
    QTest::newRow("comments and other indexes kept")
        << "# bottom\ncamera0=old\n\n# spare\ncamera2=keep\n"
        << "# bottom\ncamera0=A\n\n# spare\ncamera2=keep\ncamera1=B\n";
    QTest::newRow("repeated index written once") << "camera1=x\nother=1\ncamera1=y\n"
                                                 << "camera1=B\nother=1\ncamera0=A\n";
    QTest::newRow("commented-out line kept") << "# camera0=old\n"
                                             << "# camera0=old\ncamera0=A\ncamera1=B\n";
    QTest::newRow("CRLF kept") << "camera0=old\r\n# c\r\n"
                               << "camera0=A\r\n# c\r\ncamera1=B\n";
    QTest::newRow("no final newline") << "x=1"
                                      << "x=1\ncamera0=A\ncamera1=B\n";
}

void TestCameraSetup::withCameraLines() {
    QFETCH(QString, before);
    QFETCH(QString, after);
    const std::map<int, QString> written{{0, "A"}, {1, "B"}};
    const QString text = camera::cameraconfig::withCameraLines(before, written);
    QCOMPARE(text, after);
    // What the station reads: the written cameras, and every other index as it was.
    std::map<int, QString> expected = camera::cameraconfig::parseCameraLines(before);
    expected[0] = "A";
    expected[1] = "B";
    QCOMPARE(camera::cameraconfig::parseCameraLines(text), expected);
}

void TestCameraSetup::savedFileIsReadBackByTheStation_data() {
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("caps");
    QTest::newRow("MJPEG, by-id link")
        << "/dev/v4l/by-id/usb-046d_C920_A1B2C3D4-video-index0"
        << "MJPG"
        << "image/jpeg, width=(int)1920, height=(int)1080, framerate=(fraction)30/1";
    QTest::newRow("raw, path with a blank")
        << "/dev/v4l/by-path/pci usb-0:2-video-index0"
        << "YUY2"
        << "video/x-raw, format=(string)YUY2, width=(int)1920, height=(int)1080, "
           "framerate=(fraction)30/1";
}

void TestCameraSetup::savedFileIsReadBackByTheStation() {
    QFETCH(QString, device);
    QFETCH(QString, format);
    QFETCH(QString, caps);
    const QTemporaryDir folder;
    const QString path = folder.filePath("HPortal/PortalCam.conf");
    const std::vector<std::pair<QString, std::int64_t>> controls{
        {"auto_exposure", 1}, {"exposure_time_absolute", 250}, {"gain", 0}};
    const QString description = camera::cameraconfig::cameraDescription(
        device, CameraMode{format, 1920, 1080, 30, 1}, camera::extraControls(controls));
    QCOMPARE(camera::cameraconfig::saveCameraLines(path, {{1, description}}), std::nullopt);

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const auto cameras = camera::cameraconfig::parseCameraLines(QString::fromUtf8(file.readAll()));
    QCOMPARE(cameras.size(), std::size_t(1));
    QCOMPARE(cameras.at(1), description);
    QCOMPARE(camera::cameraconfig::v4l2DevicePath(cameras.at(1)).value_or(""), device);

    // GStreamer builds the line, followed by the station's converter, into a source with that
    // device, those controls in that order and those caps.
    camera::gst::ensureInitialised();
    GError* rawError = nullptr;
    const QByteArray built = (cameras.at(1) + " ! videoconvert").toUtf8();
    const auto bin =
        camera::gst::take(gst_parse_bin_from_description(built.constData(), TRUE, &rawError));
    const camera::gst::ErrorPtr error(rawError);
    QVERIFY2(!error, error ? error->message : "");
    const auto source = elementOf(bin.get(), "v4l2src");
    QVERIFY(source);
    gchar* rawDevice = nullptr;
    GstStructure* rawControls = nullptr;
    g_object_get(source.get(), "device", &rawDevice, "extra-controls", &rawControls, nullptr);
    const camera::gst::CharPtr setDevice(rawDevice);
    const camera::gst::StructurePtr setControls(rawControls);
    QCOMPARE(QString::fromUtf8(setDevice.get()), device);
    QVERIFY(setControls);
    QCOMPARE(gst_structure_n_fields(setControls.get()), int(controls.size()));
    for (int field = 0; field < int(controls.size()); ++field) {
        const char* name = gst_structure_nth_field_name(setControls.get(), field);
        QCOMPARE(QString(name), controls[field].first);
        int value = -1;
        QVERIFY(gst_structure_get_int(setControls.get(), name, &value));
        QCOMPARE(value, controls[field].second);
    }
    const auto filter = elementOf(bin.get(), "capsfilter");
    QVERIFY(filter);
    GstCaps* rawCaps = nullptr;
    g_object_get(filter.get(), "caps", &rawCaps, nullptr);
    const camera::gst::CapsPtr setCaps(rawCaps);
    const camera::gst::CharPtr capsText(gst_caps_to_string(setCaps.get()));
    QCOMPARE(QString::fromUtf8(capsText.get()), caps);
}

void TestCameraSetup::saveReportsWhereItFailed() {
    const QTemporaryDir folder;
    const QString blocker = folder.filePath("HPortal");
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    const QString path = blocker + "/PortalCam.conf";
    const auto error = camera::cameraconfig::saveCameraLines(path, {{0, "videotestsrc"}});
    QVERIFY(error);
    QVERIFY2(error->contains(path), qPrintable(*error));
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"HPortal"});
}

void TestCameraSetup::defaultMode_data() {
    QTest::addColumn<QStringList>("modes");  // "FORMAT WxH N/D"
    QTest::addColumn<QString>("expected");
    const QStringList camera{"YUY2 2592x1944 2/1",  "YUY2 640x480 30/1",   "MJPG 1280x720 30/1",
                             "MJPG 1920x1080 15/1", "MJPG 2592x1944 10/1", "MJPG 320x240 30/1"};
    QTest::newRow("largest MJPEG at 15 fps or more") << camera << "MJPG 1920x1080 15/1";
    QTest::newRow("no MJPEG: largest fast mode")
        << QStringList{"YUY2 1920x1080 5/1", "YUY2 800x600 20/1", "NV12 640x480 30/1"}
        << "YUY2 800x600 20/1";
    QTest::newRow("nothing fast: largest")
        << QStringList{"YUY2 640x480 10/1", "MJPG 320x240 5/1"} << "YUY2 640x480 10/1";
    QTest::newRow("30000/1001 counts as 30 fps")
        << QStringList{"MJPG 640x480 30000/1001", "MJPG 1280x720 14/1"}
        << "MJPG 640x480 30000/1001";
    QTest::newRow("no modes") << QStringList{} << "";
}

void TestCameraSetup::defaultMode() {
    QFETCH(QStringList, modes);
    QFETCH(QString, expected);
    static const QRegularExpression pattern(R"((\S+) (\d+)x(\d+) (\d+)/(\d+))");
    std::vector<CameraMode> parsed;
    for (const QString& mode : modes) {
        const auto match = pattern.match(mode);
        parsed.push_back({match.captured(1), match.captured(2).toInt(), match.captured(3).toInt(),
                          match.captured(4).toInt(), match.captured(5).toInt()});
    }
    const auto chosen = camera::cameraconfig::defaultMode(parsed);
    const QString actual = chosen ? QStringLiteral("%1 %2x%3 %4/%5")
                                        .arg(chosen->format)
                                        .arg(chosen->width)
                                        .arg(chosen->height)
                                        .arg(chosen->fpsNumerator)
                                        .arg(chosen->fpsDenominator)
                                  : QString();
    QCOMPARE(actual, expected);
}

void TestCameraSetup::controlNames_data() {
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("normalised");
    QTest::newRow("newer kernel") << "Exposure Time, Absolute"
                                  << "exposure_time_absolute";
    QTest::newRow("older kernel") << "White Balance Temperature, Auto"
                                  << "white_balance_temperature_auto";
    QTest::newRow("brackets at the end") << "Exposure (Absolute)"
                                         << "exposure_absolute";
    QTest::newRow("leading and repeated separators") << " -Focus,  Auto"
                                                     << "focus_auto";
    QTest::newRow("digits") << "Pan, Reset 2"
                            << "pan_reset_2";
}

void TestCameraSetup::controlNames() {
    QFETCH(QString, device);
    QFETCH(QString, normalised);
    QCOMPARE(camera::normalisedControlName(device), normalised);
}

void TestCameraSetup::lockTurnsAutoModesOffFirstAndKeepsSettledValues() {
    FakeControls device;
    const camera::LockedControls locked = camera::lockControls(device);

    // The settled values, taken with the auto modes off.
    QCOMPARE(valueOf(locked, "auto_exposure"), QString("1"));
    QCOMPARE(valueOf(locked, "exposure_time_absolute"), QString("312"));
    QCOMPARE(valueOf(locked, "white_balance_automatic"), QString("0"));
    QCOMPARE(valueOf(locked, "white_balance_temperature"), QString("4650"));
    QCOMPARE(valueOf(locked, "focus_automatic_continuous"), QString("0"));
    QCOMPARE(valueOf(locked, "focus_absolute"), QString("40"));
    QCOMPARE(valueOf(locked, "gain"), QString("12"));
    QCOMPARE(valueOf(locked, "power_line_frequency"), QString("1"));
    // Refused, or read back differently: shown as refused, not saved.
    QCOMPARE(locked.refused, (QStringList{"sharpness", "brightness"}));
    QVERIFY(valueOf(locked, "sharpness").isEmpty() && valueOf(locked, "brightness").isEmpty());
    QVERIFY(valueOf(locked, "pan_speed").isEmpty() && !device.sets.contains("pan_speed"));

    // Every auto mode is written, to the device and to the list, before any value.
    const QStringList autos{"auto_exposure", "white_balance_automatic",
                            "focus_automatic_continuous"};
    QCOMPARE(device.sets.mid(0, 3), autos);
    QStringList order;
    for (const auto& [name, value] : locked.values) {
        order << name;
    }
    QCOMPARE(order.mid(0, 3), autos);
    QVERIFY(camera::extraControls(locked.values)
                .startsWith("c,auto_exposure=1,white_balance_automatic=0,"));
}

void TestCameraSetup::controlsOfARealDevice() {
    const QStringList nodes = QDir("/dev").entryList({"video*"}, QDir::System, QDir::Name);
    if (nodes.isEmpty()) {
        QSKIP("no /dev/video* on this machine: the ioctl layer is not exercised");
    }
    QString error;
    const auto controls = camera::openV4l2Controls("/dev/" + nodes.first(), &error);
    QVERIFY2(controls, qPrintable(error));
    static const QRegularExpression name("^[a-z0-9]+(_[a-z0-9]+)*$");
    for (const V4l2Control& control : controls->list()) {
        QVERIFY2(name.match(control.name).hasMatch(), qPrintable(control.name));
        if (control.kind != V4l2Control::Kind::Other) {
            QCOMPARE(controls->get(control.id), std::optional(control.value));
        }
        if (control.kind == V4l2Control::Kind::Menu) {
            QVERIFY2(!control.menu.empty(), qPrintable(control.name));
        }
    }
    QString missing;
    QVERIFY(!camera::openV4l2Controls("/dev/no-such-video-node", &missing));
    QVERIFY(missing.contains("/dev/no-such-video-node"));
}

QTEST_MAIN(TestCameraSetup)
#include "tst_camera_setup.moc"
