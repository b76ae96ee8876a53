#pragma once

#include "CameraSources.h"
#include "V4l2Controls.h"

#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <vector>

class QComboBox;
class QLabel;
class QTreeWidget;
class QTimer;

namespace camerasetup {

class CameraPreview;

// Opens the controls of a device node; replaced in tests.
using ControlsOpener =
    std::function<std::unique_ptr<camera::CameraControls>(const QString& node, QString* error)>;

// The installer's window: the machine's sources, the configured cameras and their state, the
// choice of source and mode for the bottom (0) and the colour (1) camera with live previews,
// their controls with Lock, and Save into the configuration file.
class CameraSetupWindow : public QWidget {
    Q_OBJECT

public:
    CameraSetupWindow(QString configPath, std::vector<SourceInfo> sources, ControlsOpener opener,
                      QWidget* parent = nullptr);
    ~CameraSetupWindow() override;

    // Writes the chosen cameras; empty on success, else what failed where.
    std::optional<QString> save();
    // Looks for GenICam cameras off the window's thread and lists them once they have answered.
    void findGenicamCameras();
    // Lists more sources and offers them in both panels.
    void addSources(std::vector<SourceInfo> sources);

    QTreeWidget* sourceList() const { return sources_; }
    QTreeWidget* configuredList() const { return configured_; }
    CameraPreview* preview(int index) const;
    QComboBox* sourceChoice(int index) const;
    QComboBox* modeChoice(int index) const;
    QTreeWidget* controlList(int index) const;
    void lock(int index);
    QLabel* status() const { return status_; }

private:
    struct Panel;
    void fillSources(std::size_t from);
    void lockGenicam(Panel& panel, const SourceInfo& source);
    void fillConfigured();
    void refreshStates();
    void sourceChosen(int index);
    void showPreview(int index);
    QWidget* makePanel(int index, const QString& title);

    const QString configPath_;
    std::vector<SourceInfo> sourcesFound_;
    const ControlsOpener opener_;
    QTreeWidget* sources_ = nullptr;
    QTreeWidget* configured_ = nullptr;
    QLabel* status_ = nullptr;
    QTimer* refresh_ = nullptr;
    bool previewsStarted_ = false;
    std::map<int, std::unique_ptr<camera::CameraPipeline>> configuredCameras_;
    std::vector<std::unique_ptr<Panel>> panels_;
};

}  // namespace camerasetup
