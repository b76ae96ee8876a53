#pragma once

#include <QDateTime>
#include <QFuture>
#include <QHash>
#include <QPixmap>
#include <QPointer>
#include <QStringList>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <optional>

#include "SoftwareSettings.h"

class QEventLoop;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace platform {
class FileSystem;
class KeySender;
class MessageBoxes;
class ProcessStarter;
struct ProcessEnd;
}  // namespace platform

namespace camera {
class CameraControl;
}

namespace workorder {
class Frm_Wo;
}

namespace capture {

class CompressedImageWatcher;

// The platform services the main window reaches; they must outlive the window.
struct StationServices {
    platform::MessageBoxes& messages;
    platform::ProcessStarter& processes;
    platform::KeySender& keys;
    platform::FileSystem& files;
    std::function<QDateTime()> clock = [] { return QDateTime::currentDateTime(); };
};

// The station's main window: live picture, capture, the captured-samples list and the image panel.
// Its routines are public so that tests can drive each one on the real window.
class Form_ImageMaker : public QWidget {
    Q_OBJECT
public:
    static constexpr qint16 kMaxCapturedLines = 32767;

    Form_ImageMaker(std::unique_ptr<camera::CameraControl> video, StationServices services,
                    QWidget* parent = nullptr);
    ~Form_ImageMaker() override;

    // Start-up: settings, cameras, colours and captions, then the first work-order request. Runs
    // before the window is shown; throws when the settings file cannot be read or created.
    void Form_Load();

    // True once the program was asked to end (Close, the frame, or Exit in the scan dialog).
    bool programEnded() const { return programEnded_; }

    void Load_Software_settings();
    void Create_Setting_File();

    void Connect_Cameras();
    void Refresh_Capture_State();
    void Accept_Sample_Number();
    bool Save_Sample_Images();
    void Add_Captured_Sample();
    void Show_Sample_Images(const QString& sampleNumber);

    void cmd_wo_Click();
    void cmd_Close_Click();
    void cmd_capture_Click();
    void cmd_View_Click();
    void cmd_Redo_Click();
    void cmd_Delete_Click();
    void lst_Captured_DblClick();

    // The scan dialog, created on first use and kept hidden between uses.
    workorder::Frm_Wo& frmWo();

    // Fields shared by the routines.
    settings::SoftwareSettings SoftwareSettings;
    QStringList DefaultSettingLines;
    qint16 ColorCameraIndex = 1;
    qint16 BottomCameraIndex = 0;
    QString CurrentView;
    QString SampleNumber;
    QStringList CapturedSamples;
    qint16 CapturedCount = 0;

    // Controls.
    QLabel* lbl_view;
    camera::CameraControl* VideoPortal1;
    QLabel* lbl_labnumber;
    QPushButton* cmd_wo;
    QPushButton* cmd_View;
    QPushButton* cmd_capture;
    QLabel* lbl_Status;
    QLabel* lbl_ImagesCaptured;
    QListWidget* lst_Captured;
    QLabel* lbl_Pictures;
    QLabel* img_bttm;
    QLabel* img_color;
    QPushButton* cmd_Redo;
    QPushButton* cmd_Delete;
    QLineEdit* TXT_CMDLINE;
    QPushButton* cmd_Close;
    // Picture stores for the view button; never shown.
    QPixmap img_bttn_color;
    QPixmap img_bttn_bottom;
    QPixmap img_bttn_capture;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildLayout();
    QString setting(const QString& name) const;
    // Two stills on their way from temporary files to their final names.
    struct StillPair {
        std::array<QString, 2> temporaries;
        std::array<QString, 2> finals;
        std::array<QFuture<void>, 2> writes;
    };
    enum class WaitEnd { Done, TimedOut, Closing };

    // Empty when the camera delivers pictures, otherwise why it does not.
    std::optional<QString> selectCamera(qint16 index);
    QFuture<void> takeStill(const QString& path);
    // Waits for both writes, then renames both; the reason when the pair was not saved.
    std::optional<QString> finishStillPair(const StillPair& pair);
    void discardStillPair(const StillPair& pair);
    // Waits for file work while the window keeps painting, at most as long as a save folder may
    // take to answer.
    WaitEnd awaitFileWork(const QList<QFuture<void>>& work);
    void loadSampleImages(const QString& sampleNumber);
    void reloadDisplayedImages();
    void compressionEnded(const platform::ProcessEnd& end);

    StationServices services_;
    QPointer<workorder::Frm_Wo> frmWo_;
    std::unique_ptr<CompressedImageWatcher> imageWatcher_;
    QString displayedSample_;
    bool displayingSample_ = false;
    bool listFullReported_ = false;
    bool programEnded_ = false;
    QEventLoop* fileWait_ = nullptr;
    quint64 thumbnailLoad_ = 0;  // the newest load of the panel; older ones are dropped

    // Compressors still running, by their process id: the picture and the capture they belong to.
    struct PendingCompression {
        QString pictureName;
        quint64 capture = 0;
    };
    QHash<qint64, PendingCompression> compressions_;
    quint64 captureSerial_ = 0;
};

}  // namespace capture
