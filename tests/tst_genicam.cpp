// GenICam cameras through the real aravissrc: Aravis's simulated GigE Vision camera on 127.0.0.1,
// started and stopped by the test, beside a userspace UVC camera (libfake_uvc.so, preloaded).
// run_genicam.sh gives the suite a network namespace of its own and no CAP_NET_RAW.
#include "CameraConfig.h"
#include "CameraError.h"
#include "Genicam.h"
#include "GstVideoControl.h"
#include "fakes/fake_uvc.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using camera::GstVideoControl;

// Kept apart (genicam_setup.cpp): the set-up program's Lock and Save on a GenICam camera.
std::optional<QString> genicamLockAndSave(const QString& configPath, const QString& id,
                                          const QString& format, QStringList& listed,
                                          QStringList& locked);

namespace {

constexpr int kSlowTimeout = 20000;  // ms: discovery, opening, a loaded machine
const QString kKey = QStringLiteral("HKEY_LOCAL_MACHINE\\Software\\HPortal\\PortalCam");
const QString kId = QStringLiteral("Aravis-Fake-CAM01");
// 256 × 256 fits the loopback socket's default receive buffer even when the stream thread waits
// on a loaded machine; at 512 × 512 most frames lose packets there.
const QString kMono = QStringLiteral(
    "aravissrc camera-name=Aravis-Fake-CAM01 ! "
    "video/x-raw,format=GRAY8,width=256,height=256,framerate=25/1");
const QString kBayer = QStringLiteral(
    "aravissrc camera-name=Aravis-Fake-CAM01 ! "
    "video/x-bayer,format=bggr,width=256,height=256,framerate=25/1 ! bayer2rgb");
const QString kUsb = QStringLiteral(
    "v4l2src device=/dev/video0 ! image/jpeg,width=640,height=480,framerate=30/1 ! jpegdec");

// Share of neighbouring pixel pairs, across the whole picture, that step by one grey level
// (mod 256) from left to right and from top to bottom: the simulated camera's Mono8 ramp. A cut
// frame, a shifted row or a stretched picture falls far below 0.9.
double rampShare(const QImage& picture) {
    const auto value = [&](int x, int y) { return qGreen(picture.pixel(x, y)); };
    int matching = 0;
    int pairs = 0;
    for (int y = 1; y < picture.height() - 1; y += 3) {
        for (int x = 1; x < picture.width() - 1; x += 3) {
            const int right = (value(x + 1, y) - value(x, y) + 256) % 256;
            const int down = (value(x, y + 1) - value(x, y) + 256) % 256;
            const int expected = 1;
            matching += int(std::abs(right - expected) <= 1) + int(std::abs(down - expected) <= 1);
            pairs += 2;
        }
    }
    return pairs > 0 ? double(matching) / pairs : 0.0;
}

bool isGrey(const QImage& picture) {
    for (int y = 0; y < picture.height(); y += 7) {
        for (int x = 0; x < picture.width(); x += 7) {
            const QRgb pixel = picture.pixel(x, y);
            if (qRed(pixel) != qGreen(pixel) || qGreen(pixel) != qBlue(pixel)) {
                return false;
            }
        }
    }
    return true;
}

QString valueOf(const camera::CameraDescription::Values& values, const QString& name) {
    for (const auto& [key, value] : values) {
        if (key == name) {
            return value;
        }
    }
    return QStringLiteral("(absent)");
}

}  // namespace

class TestGenicam : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void pairBesideUsbCamera_data();
    void pairBesideUsbCamera();
    void failureNamesItsCause_data();
    void failureNamesItsCause();
    void stoppedCameraComesBackByItself();
    void killedMidFrameLeavesNoCutStill();
    void setupListsAndLocks();

private:
    void startFake(const QStringList& options = {});
    void stopFake(int signal);
    void configure(const QString& text);
    std::unique_ptr<GstVideoControl> startedControl();
    QImage still(GstVideoControl& control, int index);

    std::unique_ptr<QTemporaryDir> configHome_;
    std::unique_ptr<QProcess> fake_;
};

void TestGenicam::initTestCase() {
    QVERIFY2(!qEnvironmentVariableIsEmpty("FAKE_UVC_DEVICES"), "run by ctest: the UVC fake");
}

void TestGenicam::init() {
    configHome_ = std::make_unique<QTemporaryDir>();
    qputenv("XDG_CONFIG_HOME", configHome_->path().toLocal8Bit());
    startFake();
}

void TestGenicam::cleanup() {
    stopFake(SIGTERM);
    configHome_.reset();
}

void TestGenicam::startFake(const QStringList& options) {
    fake_ = std::make_unique<QProcess>();
    fake_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    fake_->start(QStringLiteral("arv-fake-gv-camera-0.8"),
                 QStringList{QStringLiteral("-i"), QStringLiteral("127.0.0.1"),
                             QStringLiteral("-s"), QStringLiteral("CAM01")} +
                     options);
    QVERIFY2(fake_->waitForStarted(), qPrintable(fake_->errorString()));
    // It answers once its sockets are bound; discovery finds it from then on.
    QTRY_VERIFY_WITH_TIMEOUT(
        [] {
            for (const auto& device : camera::genicam::discover()) {
                if (device.id == kId) {
                    return true;
                }
            }
            return false;
        }(),
        kSlowTimeout);
}

void TestGenicam::stopFake(int signal) {
    if (fake_ && fake_->state() != QProcess::NotRunning) {
        ::kill(pid_t(fake_->processId()), signal);
        fake_->waitForFinished();
    }
    fake_.reset();
}

void TestGenicam::configure(const QString& text) {
    QVERIFY(QDir(configHome_->path()).mkpath("HPortal"));
    QFile file(configHome_->filePath("HPortal/PortalCam.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write(text.toUtf8()) == text.toUtf8().size());
}

std::unique_ptr<GstVideoControl> TestGenicam::startedControl() {
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

QImage TestGenicam::still(GstVideoControl& control, int index) {
    [&] { QTRY_VERIFY_WITH_TIMEOUT(!control.select(index), kSlowTimeout); }();
    const QString path = configHome_->filePath(QString("still%1.BMP").arg(index));
    QFile::remove(path);
    control.stillToFile(path).waitForFinished();
    return QImage(path);
}

void TestGenicam::pairBesideUsbCamera_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("grey");     // Mono8 is checked against the camera's diagonal ramp
    QTest::addColumn<QString>("gain");  // as the line sets it and the camera reads it back
    QTest::newRow("Mono8") << kMono << true << "0";
    // The simulated mosaic changes with gain and time; its demosaicing is checked on a known
    // mosaic in tst_gstvideocontrol.
    QTest::newRow("Bayer BGGR, features set on open")
        << QString(kBayer).replace("Aravis-Fake-CAM01",
                                   "Aravis-Fake-CAM01 features=\"GainAuto=Off GainRaw=7\"")
        << false << "7";
}

void TestGenicam::pairBesideUsbCamera() {
    QFETCH(QString, line);
    QFETCH(bool, grey);
    QFETCH(QString, gain);
    configure("camera0=" + line + "\ncamera1=" + kUsb + "\n");
    const auto control = startedControl();
    for (const int index : {0, 1, 0}) {
        const QImage picture = still(*control, index);
        if (index == 1) {
            const QColor left = picture.pixelColor(picture.width() / 4, picture.height() / 2);
            QCOMPARE(picture.size(), QSize(640, 480));
            QVERIFY(std::abs(left.red() - fakeuvc::colourOfNode(0).r) <= 24);
            continue;
        }
        QCOMPARE(picture.size(), QSize(256, 256));
        QCOMPARE(isGrey(picture), grey);
        if (grey) {
            const double share = rampShare(picture);
            QVERIFY2(share > 0.9, qPrintable(QString::number(share)));
        }
    }
    // The live picture is painted from the camera, not the dark placeholder.
    const QImage shown = control->grab().toImage();
    QVERIFY(shown.pixelColor(160, 120) != QColor(48, 48, 48));

    QElapsedTimer timer;
    timer.start();
    const camera::CameraDescription description = control->describeSelected();
    qInfo("describeSelected took %lld ms", timer.elapsed());
    QCOMPARE(description.kind, camera::CameraDescription::Kind::Genicam);
    QCOMPARE(valueOf(description.identity, "vendor"), QString("Aravis"));
    QCOMPARE(valueOf(description.identity, "model"), QString("Fake"));
    QCOMPARE(valueOf(description.identity, "serial"), QString("CAM01"));
    QCOMPARE(valueOf(description.identity, "interface"), QString("GigEVision"));
    QCOMPARE(valueOf(description.identity, "address"), QString("127.0.0.1"));
    QCOMPARE(valueOf(description.controls, "GainRaw"), gain);
    QCOMPARE(valueOf(description.controls, "GainAuto"), QString("Off"));
    // The simulated camera has no automatic exposure: absent, not 0.
    QCOMPARE(valueOf(description.controls, "ExposureAuto"), QString("(absent)"));

    QVERIFY(!control->select(1));
    const camera::CameraDescription usb = control->describeSelected();
    QCOMPARE(usb.kind, camera::CameraDescription::Kind::V4l2);
    QCOMPARE(valueOf(usb.identity, "node"), QString("/dev/video0"));
    QVERIFY2(valueOf(usb.identity, "driver") != "(absent)", qPrintable(usb.reason));
}

void TestGenicam::failureNamesItsCause_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("fakeOptions");  // how the simulated camera is started
    QTest::addColumn<bool>("otherViewer");         // another program holds its control access
    QTest::addColumn<bool>("cameraDies");          // after its first picture
    QTest::addColumn<QStringList>("named");        // all in the reason the station gives
    QTest::newRow("not found") << QString(kMono).replace("CAM01", "CAM99") << QStringList() << false
                               << false
                               << QStringList{"camera not found", "Aravis-Fake-CAM99", kId};
    QTest::newRow("controlled by another program")
        << kMono << QStringList() << true << false
        << QStringList{"controlled by another program", "close the other viewer"};
    // Packets dropped on the way (with no resending): most frames arrive incomplete, and
    // aravissrc passes only the whole ones on.
    QTest::newRow("frames lost, then stopped")
        << QString(kMono).replace("Aravis-Fake-CAM01", "Aravis-Fake-CAM01 packet-resend=false")
        << QStringList{"-r", "20"} << false << true << QStringList{"frames were lost"};
    QTest::newRow("stopped, nothing lost")
        << kMono << QStringList() << false << true << QStringList{"picture stream stopped"};
}

void TestGenicam::failureNamesItsCause() {
    QFETCH(QString, line);
    QFETCH(QStringList, fakeOptions);
    QFETCH(bool, otherViewer);
    QFETCH(bool, cameraDies);
    QFETCH(QStringList, named);
    if (!fakeOptions.isEmpty()) {
        stopFake(SIGTERM);
        startFake(fakeOptions);
    }
    QProcess viewer;
    if (otherViewer) {
        // Aravis's own test viewer streams once it holds the control access.
        viewer.start(QStringLiteral("stdbuf"),
                     {QStringLiteral("-oL"), QStringLiteral("arv-camera-test-0.8"),
                      QStringLiteral("-n"), kId});
        QVERIFY2(viewer.waitForStarted(), qPrintable(viewer.errorString()));
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += viewer.readAllStandardOutput()).contains("frame"),
                                 kSlowTimeout);
    }
    configure("camera0=" + line + "\n");
    const auto control = startedControl();
    if (cameraDies) {
        QTRY_VERIFY_WITH_TIMEOUT(!control->select(0), kSlowTimeout);
        QTest::qWait(1000);  // a lossy camera's gaps are counted as its later frames arrive
        stopFake(SIGKILL);
    }
    std::optional<QString> reason;
    QTRY_VERIFY_WITH_TIMEOUT((reason = control->select(0)) && reason->contains(named.first()),
                             kSlowTimeout);
    for (const QString& part : named) {
        QVERIFY2(reason->contains(part), qPrintable(*reason));
    }
    viewer.kill();
    viewer.waitForFinished();
}

void TestGenicam::stoppedCameraComesBackByItself() {
    configure("camera0=" + kMono + "\n");
    const auto control = startedControl();
    QVERIFY(!still(*control, 0).isNull());
    stopFake(SIGTERM);
    std::optional<QString> reason;
    QTRY_VERIFY_WITH_TIMEOUT((reason = control->select(0)) && reason->contains("stream stopped"),
                             kSlowTimeout);
    startFake();
    QTRY_VERIFY_WITH_TIMEOUT(!control->select(0), kSlowTimeout);
    QVERIFY(rampShare(still(*control, 0)) > 0.9);
}

void TestGenicam::killedMidFrameLeavesNoCutStill() {
    configure("camera0=" + kMono + "\n");
    const auto control = startedControl();
    QVERIFY(!still(*control, 0).isNull());
    // The camera dies while it sends; every still taken from then on is whole or refused.
    stopFake(SIGKILL);
    QElapsedTimer since;
    since.start();
    int taken = 0;
    while (since.elapsed() < 4000) {
        const QString path = configHome_->filePath(QString("after%1.BMP").arg(taken));
        try {
            control->stillToFile(path).waitForFinished();
        } catch (const camera::CameraError&) {
            break;  // refused from now on: the camera has stopped
        }
        const QImage picture(path);
        if (!picture.isNull()) {
            QVERIFY(rampShare(picture) > 0.9);
            ++taken;
        }
        QTest::qWait(20);
    }
    QVERIFY(control->select(0).has_value());
}

// The set-up program lists the camera with what an installer tells cameras apart by, offers its
// modes, and Lock keeps the values read back in the camera line; features the camera lacks are
// named absent, not failed.
void TestGenicam::setupListsAndLocks() {
    const QString configPath = configHome_->filePath(QStringLiteral("HPortal/PortalCam.conf"));
    QStringList listed;
    QStringList locked;
    const std::optional<QString> failure =
        genicamLockAndSave(configPath, kId, QStringLiteral("BayerBG8"), listed, locked);
    QVERIFY2(!failure, qPrintable(failure.value_or(QString())));
    const QStringList ours = listed.filter(kId);
    QCOMPARE(ours.size(), 1);
    for (const QString& part :
         {QStringLiteral("Aravis Fake (GigEVision)"), QStringLiteral("serial CAM01"),
          QStringLiteral("127.0.0.1"), QStringLiteral("BayerBG8 512x512 25 fps"),
          QStringLiteral("Mono8 512x512 25 fps")}) {
        QVERIFY2(ours.first().contains(part), qPrintable(ours.first()));
    }
    QVERIFY2(locked.contains(QStringLiteral("ExposureAuto | absent: the camera has none")),
             qPrintable(locked.join('\n')));
    const QStringList exposure = locked.filter(QRegularExpression(R"(^ExposureTimeAbs \| \d+)"));
    QCOMPARE(exposure.size(), 1);
    QFile saved(configPath);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    const QString line = QString::fromUtf8(saved.readAll());
    QVERIFY2(line.startsWith(QStringLiteral("camera0=aravissrc camera-name=") + kId +
                             QStringLiteral(" features=\"ExposureTimeAbs=") +
                             exposure.first().section(QStringLiteral(" | "), 1)),
             qPrintable(line));
    QVERIFY2(line.contains(QStringLiteral("video/x-bayer,format=bggr,width=512,height=512")),
             qPrintable(line));
}

QTEST_MAIN(TestGenicam)
#include "tst_genicam.moc"
