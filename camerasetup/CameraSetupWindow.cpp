#include "CameraSetupWindow.h"

#include "CameraConfigFile.h"
#include "CameraPreview.h"
#include "DetachedWork.h"

#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace camerasetup {

using camera::cameraconfig::CameraMode;

namespace {

QString modeText(const CameraMode& mode) {
    const double fps =
        mode.fpsDenominator > 0 ? double(mode.fpsNumerator) / mode.fpsDenominator : 0.0;
    return QStringLiteral("%1 %2x%3 %4 fps")
        .arg(mode.format)
        .arg(mode.width)
        .arg(mode.height)
        .arg(fps, 0, 'g', 4);
}

}  // namespace

struct CameraSetupWindow::Panel {
    QComboBox* source = nullptr;
    QComboBox* mode = nullptr;
    CameraPreview* preview = nullptr;
    QTreeWidget* controls = nullptr;
    camera::LockedControls locked;
    camera::genicam::Lock genicamLocked;
};

CameraSetupWindow::CameraSetupWindow(QString configPath, std::vector<SourceInfo> sources,
                                     ControlsOpener opener, QWidget* parent)
    : QWidget(parent),
      configPath_(std::move(configPath)),
      sourcesFound_(std::move(sources)),
      opener_(std::move(opener)) {
    setWindowTitle(QStringLiteral("Camera set-up"));
    auto* layout = new QVBoxLayout(this);

    sources_ = new QTreeWidget(this);
    sources_->setHeaderLabels({QStringLiteral("Video source"), QStringLiteral("Stable link"),
                               QStringLiteral("Node"), QStringLiteral("Modes")});
    sources_->setRootIsDecorated(false);
    layout->addWidget(new QLabel(QStringLiteral("Video sources of this machine:"), this));
    layout->addWidget(sources_);

    configured_ = new QTreeWidget(this);
    configured_->setHeaderLabels(
        {QStringLiteral("Camera"), QStringLiteral("State"), QStringLiteral("Description")});
    configured_->setRootIsDecorated(false);
    layout->addWidget(new QLabel(QStringLiteral("Cameras in %1:").arg(configPath_), this));
    layout->addWidget(configured_);

    auto* panels = new QHBoxLayout;
    panels->addWidget(makePanel(0, QStringLiteral("Bottom camera (camera 0)")));
    panels->addWidget(makePanel(1, QStringLiteral("Colour camera (camera 1)")));
    layout->addLayout(panels);

    auto* bottom = new QHBoxLayout;
    status_ = new QLabel(this);
    auto* saveButton = new QPushButton(QStringLiteral("&Save"), this);
    connect(saveButton, &QPushButton::clicked, this, [this] {
        const auto error = save();
        status_->setText(error ? *error : QStringLiteral("Saved to %1").arg(configPath_));
    });
    bottom->addWidget(status_, 1);
    bottom->addWidget(saveButton);
    layout->addLayout(bottom);

    fillSources(0);
    fillConfigured();
    refresh_ = new QTimer(this);
    connect(refresh_, &QTimer::timeout, this, &CameraSetupWindow::refreshStates);
    refresh_->start(500);
}

CameraSetupWindow::~CameraSetupWindow() = default;

QWidget* CameraSetupWindow::makePanel(int index, const QString& title) {
    auto panel = std::make_unique<Panel>();
    auto* box = new QGroupBox(title, this);
    auto* grid = new QGridLayout(box);
    panel->source = new QComboBox(box);
    panel->mode = new QComboBox(box);
    panel->preview = new CameraPreview(box);
    panel->controls = new QTreeWidget(box);
    panel->controls->setHeaderLabels({QStringLiteral("Control"), QStringLiteral("Value")});
    panel->controls->setRootIsDecorated(false);
    auto* lockButton = new QPushButton(QStringLiteral("&Lock controls"), box);
    grid->addWidget(new QLabel(QStringLiteral("Source:"), box), 0, 0);
    grid->addWidget(panel->source, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Mode:"), box), 1, 0);
    grid->addWidget(panel->mode, 1, 1);
    grid->addWidget(panel->preview, 2, 0, 1, 2);
    grid->addWidget(lockButton, 3, 0, 1, 2);
    grid->addWidget(panel->controls, 4, 0, 1, 2);

    panel->source->addItem(QStringLiteral("(none)"));
    connect(panel->source, &QComboBox::currentIndexChanged, this,
            [this, index] { sourceChosen(index); });
    connect(panel->mode, &QComboBox::currentIndexChanged, this,
            [this, index] { showPreview(index); });
    connect(lockButton, &QPushButton::clicked, this, [this, index] { lock(index); });
    panels_.push_back(std::move(panel));
    return box;
}

void CameraSetupWindow::fillSources(std::size_t from) {
    for (std::size_t i = from; i < sourcesFound_.size(); ++i) {
        const SourceInfo& source = sourcesFound_[i];
        QStringList modes;
        for (const CameraMode& mode : source.modes) {
            modes << modeText(mode);
        }
        if (!source.modesError.isEmpty()) {
            modes << source.modesError;
        }
        // A GenICam camera is named by its Aravis id, which stays when its address changes.
        const QString stable = source.genicam ? source.genicam->id + QStringLiteral(" (serial ") +
                                                    source.genicam->serial + QLatin1Char(')')
                                              : source.byId.value_or(QStringLiteral("-"));
        auto* item = new QTreeWidgetItem(sources_, {source.source.description, stable, source.node,
                                                    modes.join(QStringLiteral(", "))});
        item->setToolTip(3, modes.join(QLatin1Char('\n')));
        for (const auto& panel : panels_) {
            panel->source->addItem(
                source.source.description + QStringLiteral(" - ") +
                (source.genicam ? source.genicam->id : source.configuredDevice()));
        }
    }
    sources_->resizeColumnToContents(0);
}

void CameraSetupWindow::findGenicamCameras() {
    status_->setText(QStringLiteral("Looking for GigE Vision and USB3 Vision cameras..."));
    platform::runDetachedThen(this, &listGenicamSources, [this](std::vector<SourceInfo> found) {
        status_->setText(QStringLiteral("%1 GenICam camera(s) found").arg(found.size()));
        addSources(std::move(found));
    });
}

void CameraSetupWindow::addSources(std::vector<SourceInfo> sources) {
    const std::size_t from = sourcesFound_.size();
    for (SourceInfo& source : sources) {
        sourcesFound_.push_back(std::move(source));
    }
    fillSources(from);
}

void CameraSetupWindow::fillConfigured() {
    QFile file(configPath_);
    if (!file.open(QIODevice::ReadOnly)) {
        new QTreeWidgetItem(configured_, {QStringLiteral("-"), QStringLiteral("no file yet")});
        return;
    }
    const auto cameras = camera::cameraconfig::parseCameraLines(QString::fromUtf8(file.readAll()));
    for (const auto& [index, description] : cameras) {
        camera::CameraSource source{description, camera::cameraconfig::v4l2DevicePath(description),
                                    nullptr, std::nullopt};
        auto pipeline = std::make_unique<camera::CameraPipeline>(
            std::move(source), camera::CameraPipeline::Listener{});
        pipeline->play();
        configuredCameras_[index] = std::move(pipeline);
        new QTreeWidgetItem(configured_, {QStringLiteral("camera %1").arg(index),
                                          QStringLiteral("starting"), description});
    }
}

void CameraSetupWindow::refreshStates() {
    // The configured cameras are checked once, and closed before the previews open the same
    // devices; a camera is open in one pipeline at a time.
    const auto now = camera::CameraClock::now();
    int row = 0;
    bool allKnown = true;
    for (auto& [index, pipeline] : configuredCameras_) {
        QTreeWidgetItem* item = configured_->topLevelItem(row++);
        if (!pipeline) {
            continue;
        }
        const camera::CameraState state = pipeline->state();
        const bool known = state.frame || state.failure ||
                           (state.playingSince && now - *state.playingSince > state.firstFrameWait);
        if (!known) {
            allKnown = false;
            continue;
        }
        item->setText(
            1, camera::whyNoPicture(index, state, now).value_or(QStringLiteral("delivering")));
        pipeline.reset();
    }
    configured_->resizeColumnToContents(1);
    if (allKnown && !previewsStarted_) {
        previewsStarted_ = true;
        // Two different sources by default, in the monitor's order.
        for (int index = 0; index < int(panels_.size()); ++index) {
            panels_[index]->source->setCurrentIndex(index < int(sourcesFound_.size()) ? index + 1
                                                                                      : 0);
        }
    }
    for (const auto& panel : panels_) {
        panel->preview->update();
    }
}

void CameraSetupWindow::sourceChosen(int index) {
    Panel& panel = *panels_[index];
    panel.mode->clear();
    panel.controls->clear();
    panel.locked = {};
    panel.genicamLocked = {};
    const int chosen = panel.source->currentIndex() - 1;
    if (chosen < 0 || chosen >= int(sourcesFound_.size())) {
        panel.preview->showSource(std::nullopt);
        return;
    }
    const SourceInfo& source = sourcesFound_[chosen];
    const auto preferred = camera::cameraconfig::defaultMode(source.modes);
    const QSignalBlocker quiet(panel.mode);
    for (const CameraMode& mode : source.modes) {
        panel.mode->addItem(modeText(mode));
        if (preferred && modeText(mode) == modeText(*preferred)) {
            panel.mode->setCurrentIndex(panel.mode->count() - 1);
        }
    }
    showPreview(index);
}

void CameraSetupWindow::showPreview(int index) {
    Panel& panel = *panels_[index];
    const int chosen = panel.source->currentIndex() - 1;
    const int mode = panel.mode->currentIndex();
    if (chosen < 0 || chosen >= int(sourcesFound_.size())) {
        panel.preview->showSource(std::nullopt);
        return;
    }
    const SourceInfo& source = sourcesFound_[chosen];
    if (source.genicam && mode >= 0 && mode < int(source.modes.size())) {
        panel.preview->showSource(camera::CameraSource{
            camera::genicam::cameraDescription(source.genicam->id, source.modes[mode], {}),
            std::nullopt, nullptr, std::nullopt});
        return;
    }
    // A V4L2 node is previewed through the very line Save writes, so that the mode is tried.
    if (QFileInfo(source.node).exists() && mode >= 0 && mode < int(source.modes.size())) {
        const QString description =
            camera::cameraconfig::cameraDescription(source.node, source.modes[mode], QString());
        panel.preview->showSource(
            camera::CameraSource{description, source.node, nullptr, std::nullopt});
        return;
    }
    panel.preview->showSource(source.source);
}

void CameraSetupWindow::lock(int index) {
    Panel& panel = *panels_[index];
    panel.controls->clear();
    panel.locked = {};
    const int chosen = panel.source->currentIndex() - 1;
    if (chosen < 0 || chosen >= int(sourcesFound_.size())) {
        return;
    }
    if (sourcesFound_[chosen].genicam) {
        lockGenicam(panel, sourcesFound_[chosen]);
        return;
    }
    QString error;
    const auto controls = opener_(sourcesFound_[chosen].node, &error);
    if (!controls) {
        new QTreeWidgetItem(panel.controls, {QStringLiteral("(controls)"), error});
        return;
    }
    panel.locked = camera::lockControls(*controls);
    for (const auto& [name, value] : panel.locked.values) {
        new QTreeWidgetItem(panel.controls, {name, QString::number(value)});
    }
    for (const QString& name : panel.locked.refused) {
        new QTreeWidgetItem(panel.controls, {name, QStringLiteral("refused by the device")});
    }
}

void CameraSetupWindow::lockGenicam(Panel& panel, const SourceInfo& source) {
    panel.genicamLocked = {};
    // Locked through the preview's own connection: a GigE camera takes one controller at a time,
    // and its automatic modes have settled while it was shown.
    const camera::CameraPipeline* shown = panel.preview->camera();
    const std::shared_ptr<GObject> open = shown != nullptr ? shown->genicamCamera() : nullptr;
    if (!open) {
        new QTreeWidgetItem(
            panel.controls,
            {source.genicam.value_or(camera::genicam::DeviceInfo{}).id,
             panel.preview->whyNoPicture().value_or(QStringLiteral("the camera is not open"))});
        return;
    }
    panel.genicamLocked = camera::genicam::lockFeatures(open.get());
    for (const auto& [name, value] : panel.genicamLocked.values) {
        new QTreeWidgetItem(panel.controls, {name, value});
    }
    for (const QString& name : panel.genicamLocked.absent) {
        new QTreeWidgetItem(panel.controls, {name, QStringLiteral("absent: the camera has none")});
    }
    for (const QString& name : panel.genicamLocked.refused) {
        new QTreeWidgetItem(panel.controls, {name, QStringLiteral("refused by the camera")});
    }
}

std::optional<QString> CameraSetupWindow::save() {
    std::map<int, QString> lines;
    for (int index = 0; index < int(panels_.size()); ++index) {
        const Panel& panel = *panels_[index];
        const int chosen = panel.source->currentIndex() - 1;
        const int mode = panel.mode->currentIndex();
        if (chosen < 0 || chosen >= int(sourcesFound_.size())) {
            continue;
        }
        const SourceInfo& source = sourcesFound_[chosen];
        if (mode < 0 || mode >= int(source.modes.size())) {
            return QStringLiteral("camera %1: %2 offers no mode to save")
                .arg(index)
                .arg(source.source.description);
        }
        if (source.genicam) {
            lines[index] = camera::genicam::cameraDescription(
                source.genicam->id, source.modes[mode], panel.genicamLocked.values);
            continue;
        }
        lines[index] = camera::cameraconfig::cameraDescription(
            source.configuredDevice(), source.modes[mode],
            panel.locked.values.empty() ? QString() : camera::extraControls(panel.locked.values));
    }
    return camera::cameraconfig::saveCameraLines(configPath_, lines);
}

CameraPreview* CameraSetupWindow::preview(int index) const {
    return panels_.at(index)->preview;
}
QComboBox* CameraSetupWindow::sourceChoice(int index) const {
    return panels_.at(index)->source;
}
QComboBox* CameraSetupWindow::modeChoice(int index) const {
    return panels_.at(index)->mode;
}
QTreeWidget* CameraSetupWindow::controlList(int index) const {
    return panels_.at(index)->controls;
}

}  // namespace camerasetup
