// Main window: layout, start-up, the Waiting and Ready states and closing.
#include "Form_ImageMaker.h"

#include <QCloseEvent>
#include <QEvent>
#include <QEventLoop>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <future>

#include "CameraConfig.h"
#include "CameraControl.h"
#include "CameraError.h"
#include "CompressedImageWatcher.h"
#include "Diagnostics.h"
#include "EmbeddedProvenance.h"
#include "FileSystem.h"
#include "Frm_Wo.h"
#include "ImageNaming.h"
#include "MessageBoxes.h"
#include "OperatorMessage.h"
#include "PlatformError.h"
#include "ProcessStarter.h"
#include "ScaledLayout.h"
#include "SettingNames.h"
#include "SettingsFile.h"
#include "StationArtwork.h"
#include "Twips.h"
#include "WorkOrderNumber.h"

namespace capture {

using platform::twipsRect;
using platform::twipsToPixels;

namespace {

const QString kWindowTitle = QStringLiteral("Sample Image Capturing ");
const QString kWaiting = QStringLiteral("Waiting...");
const QString kReady = QStringLiteral("Ready");
const QString kCurrentSamplePrefix = QStringLiteral(" Current sample in view : ");
const QString kTakePicture = QStringLiteral("Take Picture");
const QString kNoCameras = QStringLiteral("Unable to connect to any PortalCam camera");
const QString kCameraApplicationName = QStringLiteral("MIRET_DEMO");

constexpr int kDesignedClientWidth = 10620;
constexpr int kOuterHeight = 7515;
// The frame of a fixed single-border window: its title bar and the lower edge.
constexpr int kFrameHeightPixels = 30;

const QColor kWindowColour(214, 141, 0);
const QColor kButtonColour(242, 240, 229);

void setBackground(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    palette.setColor(QPalette::Button, colour);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

QLabel* makeTitleLabel(QWidget* parent, const QString& caption, const QRect& rect) {
    auto* label = new QLabel(caption, parent);
    label->setGeometry(rect);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::white);
    label->setPalette(palette);
    label->setAttribute(Qt::WA_TranslucentBackground);
    return label;
}

void makeTitleBar(QWidget* parent, const QRect& rect) {
    auto* bar = new QLabel(parent);
    bar->setGeometry(rect);
    bar->setPixmap(titleBarPicture(rect.size()));
    bar->setScaledContents(true);
}

void makeBackgroundPanel(QWidget* parent, const QRect& rect, bool enabled) {
    auto* panel = new QPushButton(parent);
    panel->setGeometry(rect);
    panel->setEnabled(enabled);
    panel->setFocusPolicy(Qt::NoFocus);
}

void makeOutline(QWidget* parent, const QRect& rect) {
    auto* outline = new QFrame(parent);
    outline->setGeometry(rect);
    outline->setFrameShape(QFrame::Box);
    outline->setAttribute(Qt::WA_TransparentForMouseEvents);
}

QLabel* makeSunkenLabel(QWidget* parent, const QRect& rect) {
    auto* label = new QLabel(parent);
    label->setGeometry(rect);
    label->setFrameShape(QFrame::Panel);
    label->setFrameShadow(QFrame::Sunken);
    return label;
}

QLabel* makeTextPanel(QWidget* parent, const QRect& rect) {
    QLabel* const panel = makeSunkenLabel(parent, rect);
    panel->setAutoFillBackground(true);
    return panel;
}

QLabel* makeImageBox(QWidget* parent, const QRect& rect) {
    QLabel* const box = makeSunkenLabel(parent, rect);
    box->setScaledContents(true);
    return box;
}

QPushButton* makePictureButton(QWidget* parent, const QRect& rect, const QPixmap& picture) {
    auto* button = new QPushButton(parent);
    button->setGeometry(rect);
    button->setIcon(picture);
    button->setIconSize(picture.size());
    return button;
}

// The window opens at its design size and may only grow from there.
void setDesignSize(QWidget& window, const QSize& size) {
    window.setMinimumSize(size);
    window.resize(size);
}

}  // namespace

Form_ImageMaker::Form_ImageMaker(std::unique_ptr<camera::CameraControl> video,
                                 StationServices services, QWidget* parent)
    : QWidget(parent),
      VideoPortal1(video.release()),
      services_(std::move(services)),
      imageWatcher_(std::make_unique<CompressedImageWatcher>()) {
    // The window owns the control from here on, like any child widget.
    VideoPortal1->setParent(this);
    setWindowTitle(kWindowTitle);
    buildLayout();
    connect(imageWatcher_.get(), &CompressedImageWatcher::filesChanged, this,
            &Form_ImageMaker::reloadDisplayedImages);
    services_.processes.setFinishedHandler(
        [this](const platform::ProcessEnd& end) { compressionEnded(end); });
}

// The starter outlives the window and its compressors may end later.
Form_ImageMaker::~Form_ImageMaker() {
    services_.processes.setFinishedHandler({});
}

void Form_ImageMaker::buildLayout() {
    // Later children lie above earlier ones: panels first, then outlines, title bars and controls.
    makeBackgroundPanel(this, twipsRect(120, 240, 5055, 6015), false);
    makeBackgroundPanel(this, twipsRect(5400, 240, 5055, 3255), true);
    makeBackgroundPanel(this, twipsRect(5415, 3615, 5055, 2640), true);
    makeOutline(this, twipsRect(110, 225, 5090, 6045));
    makeOutline(this, twipsRect(5385, 225, 5085, 3285));
    makeOutline(this, twipsRect(5400, 3600, 5085, 2670));
    makeTitleBar(this, twipsRect(240, 360, 4815, 375));
    makeTitleBar(this, twipsRect(5520, 360, 4860, 375));
    makeTitleBar(this, twipsRect(5535, 3735, 4860, 375));

    buildLiveColumn();
    buildListAndPanel();
    buildBottomRow();

    // Focus starts on Close; the capture button comes next.
    setTabOrder(cmd_Close, cmd_capture);
    setTabOrder(cmd_capture, cmd_View);
    setTabOrder(cmd_View, cmd_wo);
    setTabOrder(cmd_wo, lst_Captured);
    setTabOrder(lst_Captured, cmd_Redo);
    setTabOrder(cmd_Redo, cmd_Delete);
    setTabOrder(cmd_Delete, TXT_CMDLINE);

    // The designed client area is taller than the window start-up leaves visible. The design
    // size is the smallest; a larger window (maximised, a kiosk) shows the layout scaled up, its
    // spare width on a wide screen going to the live picture.
    setDesignSize(*this, QSize(twipsToPixels(kDesignedClientWidth), twipsToPixels(9000)));
    new ScaledLayout(*this, *VideoPortal1, lst_Captured);

    connectButtons();
}

// The live picture and what lies under it: the sample label, the view and capture buttons and
// the status line.
void Form_ImageMaker::buildLiveColumn() {
    lbl_view = makeTitleLabel(this, QStringLiteral("Color"), twipsRect(280, 400, 1935, 255));
    VideoPortal1->setGeometry(twipsRect(240, 840, 4815, 3615));
    // The control became a child before the panels behind it were made.
    VideoPortal1->raise();

    lbl_labnumber = makeTextPanel(this, twipsRect(230, 4480, 4815, 375));
    cmd_wo = new QPushButton(QStringLiteral("&Get Wo"), this);
    cmd_wo->setGeometry(twipsRect(4200, 4504, 855, 320));

    // Drawn at the size the buttons show them, inside their bevel.
    const QSize bevel(8, 8);
    img_bttn_color = colorViewButtonPicture(twipsRect(0, 0, 1575, 735).size() - bevel);
    img_bttn_bottom = bottomViewButtonPicture(twipsRect(0, 0, 1575, 735).size() - bevel);
    img_bttn_capture = captureButtonPicture(twipsRect(0, 0, 2175, 735).size() - bevel);
    cmd_View = makePictureButton(this, twipsRect(240, 4920, 1575, 735), img_bttn_color);
    cmd_capture = makePictureButton(this, twipsRect(1920, 4920, 2175, 735), img_bttn_capture);

    lbl_Status = makeTextPanel(this, twipsRect(240, 5760, 4815, 300));
}

// The captured-samples list, and the image panel with its redo and delete buttons.
void Form_ImageMaker::buildListAndPanel() {
    lbl_ImagesCaptured =
        makeTitleLabel(this, QStringLiteral("Images captured"), twipsRect(5560, 400, 1935, 255));
    lst_Captured = new QListWidget(this);
    lst_Captured->setGeometry(twipsRect(5520, 840, 4815, 2400));
    lst_Captured->viewport()->installEventFilter(this);

    lbl_Pictures = makeTitleLabel(this, QStringLiteral("Images"), twipsRect(5575, 3775, 1935, 255));
    img_bttm = makeImageBox(this, twipsRect(5775, 4200, 2055, 1575));
    img_color = makeImageBox(this, twipsRect(8055, 4200, 2055, 1575));

    cmd_Redo = new QPushButton(QStringLiteral("&Redo"), this);
    cmd_Redo->setGeometry(twipsRect(8520, 5880, 735, 255));
    cmd_Redo->hide();
    cmd_Delete = new QPushButton(QStringLiteral("&Delete"), this);
    cmd_Delete->setGeometry(twipsRect(9360, 5880, 735, 255));
    cmd_Delete->hide();
}

void Form_ImageMaker::buildBottomRow() {
    TXT_CMDLINE = new QLineEdit(QStringLiteral("Text1"), this);
    TXT_CMDLINE->setGeometry(twipsRect(210, 6390, 8775, 435));

    cmd_Close = new QPushButton(QStringLiteral("&Close"), this);
    cmd_Close->setGeometry(twipsRect(9120, 6480, 1335, 375));
}

void Form_ImageMaker::connectButtons() {
    for (QPushButton* button : {cmd_wo, cmd_View, cmd_capture, cmd_Redo, cmd_Delete, cmd_Close}) {
        button->setAutoDefault(false);
    }
    connect(cmd_wo, &QPushButton::clicked, this, &Form_ImageMaker::cmd_wo_Click);
    connect(cmd_Close, &QPushButton::clicked, this, &Form_ImageMaker::cmd_Close_Click);
    connect(cmd_capture, &QPushButton::clicked, this, &Form_ImageMaker::cmd_capture_Click);
    connect(cmd_View, &QPushButton::clicked, this, &Form_ImageMaker::cmd_View_Click);
    connect(cmd_Redo, &QPushButton::clicked, this, &Form_ImageMaker::cmd_Redo_Click);
    connect(cmd_Delete, &QPushButton::clicked, this, &Form_ImageMaker::cmd_Delete_Click);
}

void Form_ImageMaker::Form_Load() {
    setDesignSize(*this, QSize(width(), twipsToPixels(kOuterHeight) - kFrameHeightPixels));
    DefaultSettingLines = settings::defaultSettingLines();
    Load_Software_settings();
    recoverSaveFolder();
    startSpool();
    state_.clearCaptured();
    lst_Captured->clear();
    ColorCameraIndex = 1;
    BottomCameraIndex = 0;
    setBackground(cmd_capture, kButtonColour);
    setBackground(cmd_View, cmd_capture->palette().color(QPalette::Button));
    CurrentView = kColorView;
    Connect_Cameras();
    setBackground(this, kWindowColour);

    QFont bold = lbl_ImagesCaptured->font();
    bold.setBold(true);
    lbl_ImagesCaptured->setFont(bold);
    lbl_view->setText(QStringLiteral("Color view"));
    lbl_view->setFont(bold);
    lbl_Pictures->setFont(bold);

    QFont sampleFont(QStringLiteral("Tahoma"));
    sampleFont.setPointSizeF(10);
    sampleFont.setBold(true);
    lbl_labnumber->setFont(sampleFont);

    showStatus(kWaiting);
    cmd_Close->setFocus();
    Show_Sample_Images(QString());
    Refresh_Capture_State();
}

void Form_ImageMaker::Load_Software_settings() {
    settings::loadSoftwareSettings(SoftwareSettings, DefaultSettingLines,
                                   settings::settingsFilePath());
}

void Form_ImageMaker::Create_Setting_File() {
    settings::createSettingFile(DefaultSettingLines, settings::settingsFilePath());
}

void Form_ImageMaker::Connect_Cameras() {
    if (const std::optional<QString> reason =
            VideoPortal1->open(kCameraApplicationName, camera::cameraconfig::kCameraSoftwareKey)) {
        throw camera::CameraError(*reason);
    }
    VideoPortal1->configure();
    VideoPortal1->start();
    VideoPortal1->setLivePicture(true);

    int connectionCount = 0;
    for (int index = 0; index <= 2; ++index) {
        if (!VideoPortal1->select(index)) {
            ++connectionCount;
        }
    }
    // The probe of the last index must not stay selected: the next still would come from it.
    selectCamera(CurrentView == kBottomView ? BottomCameraIndex : ColorCameraIndex);
    if (connectionCount >= 2) {
        return;
    }
    showFailure(
        {kNoCameras,
         {{}, {}, {}, QStringLiteral("%1 of cameras 0 to 2 answered").arg(connectionCount)}});
    cmd_capture->setEnabled(false);
}

void Form_ImageMaker::Refresh_Capture_State() {
    cmd_capture->setEnabled(!state_.sampleInView.isEmpty());
    cmd_View->setEnabled(cmd_capture->isEnabled());
    if (!cmd_capture->isEnabled()) {
        cmd_wo_Click();
    }
}

void Form_ImageMaker::Accept_Sample_Number() {
    SampleNumber = QString();
    workorder::Frm_Wo& dialog = frmWo();
    const QString text = dialog.txt_Sample->text();
    // An over-long entry, or a number that cannot be part of a file name, is refused before it
    // becomes the current sample.
    if (workorder::isOverLongWorkOrder(text)) {
        dialog.txt_Sample->clear();
        showFailure({workorder::overLongWorkOrderMessage(text),
                     {platform::visibleCharacters(text), {}, {}, {}}});
    } else if (!text.isEmpty() && !isUsableSampleNumber(text)) {
        dialog.txt_Sample->clear();
        showFailure(
            {unusableSampleNumberMessage(text), {platform::visibleCharacters(text), {}, {}, {}}});
    } else if (!text.isEmpty()) {
        showStatus(kReady);
        state_.sampleInView = text;
        drawSampleInView();
        SampleNumber = text;
        dialog.txt_Sample->clear();
        cmd_capture->setEnabled(true);
        if (services_.messages.ask(kTakePicture, kTakePicture)) {
            cmd_capture_Click();
        }
        cmd_View->setEnabled(cmd_capture->isEnabled());
        return;
    }
    showStatus(kWaiting);
    state_.sampleInView.clear();
    drawSampleInView();
    cmd_capture->setEnabled(false);
    cmd_View->setEnabled(cmd_capture->isEnabled());
}

void Form_ImageMaker::drawSampleInView() {
    lbl_labnumber->setText(state_.sampleInView.isEmpty()
                               ? QString()
                               : kCurrentSamplePrefix + state_.sampleInView.trimmed());
}

void Form_ImageMaker::showFailure(const Failure& failure) {
    showFailure(failure, platform::lcCapture());
}

void Form_ImageMaker::showFailure(const Failure& failure, const QLoggingCategory& category) {
    const FailureContext& context = failure.context;
    // The operator's text on one line, as the journal shows it.
    QString text = failure.text;
    text.replace(platform::kMessageLineBreak, QStringLiteral(" "));
    platform::diagnose(category, QtWarningMsg, text.simplified(),
                       {{"SAMPLE", context.sample},
                        {"CAMERA", context.camera},
                        {"FOLDER", context.folder},
                        {"REASON", context.reason}});
    services_.messages.show(failure.text);
}

void Form_ImageMaker::cmd_wo_Click() {
    workorder::Frm_Wo& dialog = frmWo();
    dialog.exec();
    if (dialog.ExitSoftware) {
        cmd_Close_Click();
    } else {
        Accept_Sample_Number();
    }
}

void Form_ImageMaker::cmd_Close_Click() {
    programEnded_ = true;
    close();
}

void Form_ImageMaker::closeEvent(QCloseEvent* event) {
    programEnded_ = true;
    // A capture waiting on a stalled save folder gives up; its files are cleaned up behind it.
    if (fileWait_ != nullptr) {
        fileWait_->quit();
    }
    imageWatcher_->stop();
    event->accept();
}

workorder::Frm_Wo& Form_ImageMaker::frmWo() {
    if (frmWo_.isNull()) {
        frmWo_ = new workorder::Frm_Wo(services_.messages, this);
    }
    return *frmWo_;
}

QString Form_ImageMaker::setting(const QString& name) const {
    return SoftwareSettings.valueOf(name);
}

std::optional<QString> Form_ImageMaker::selectCamera(qint16 index) {
    return VideoPortal1->select(index);
}

std::optional<QString> Form_ImageMaker::takeStill(StillPair& pair, int still, View view,
                                                  qint16 camera) {
    const auto at = static_cast<std::size_t>(still);
    camera::StillWrite& write = pair.stills.at(at);
    const QString& path = pair.paths.temporaries.at(at);
    // A format that carries metadata gets the picture's own, known only once the camera has been
    // described after the still: the writer waits for it after encoding.
    auto described = std::make_shared<std::promise<records::AcquisitionMetadata>>();
    camera::StillTagger tagger;
    if (records::carriesXmp(path)) {
        tagger = [known = described->get_future().share()](const QByteArray& encoded) {
            return embeddedOrAsEncoded(encoded, known.get());
        };
    }
    write = VideoPortal1->stillToFile(path, tagger);
    pair.writes.at(at) = write;
    // Read after the frame is taken, so that describing the camera never delays the still.
    pair.pictures.at(at) =
        stillMetadata(VideoPortal1->describeSelected(), SampleNumber, view, camera, pair.captureId);
    described->set_value(pair.pictures.at(at));
    // A camera without a picture refuses at once: that failure is the camera's, not the save
    // folder's, and is reported as such.
    if (write.isFinished()) {
        try {
            write.waitForFinished();
        } catch (const camera::StillFileError&) {  // NOLINT(bugprone-empty-catch)
            // A write that failed this fast (a missing folder) is the save folder's: the saving
            // step reports it, or keeps the pair on this PC.
        } catch (const std::exception& error) {
            return platform::reasonOf(error);
        }
    }
    return std::nullopt;
}

bool Form_ImageMaker::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lst_Captured->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        // The press before the double click has already selected the line under the pointer.
        lst_Captured_DblClick();
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace capture
