#pragma once

#include <QDateTime>
#include <QFuture>
#include <QHash>
#include <QPixmap>
#include <QPointer>
#include <QStringList>
#include <QWidget>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "ImageNaming.h"
#include "RecordBook.h"
#include "SoftwareSettings.h"
#include "SpoolForwarder.h"
#include "StationState.h"
#include "StillMetadata.h"
#include "StillPairCommit.h"

class QEventLoop;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QLoggingCategory;
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
class SpoolForwarder;

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
    static constexpr qint16 kMaxCapturedLines = StationState::kMaxCapturedLines;

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

    // Where pairs wait while the save folder cannot take them; null without a save folder.
    SpoolForwarder* spoolForwarder() const { return forwarder_; }

private:
    StationState state_;  // before the names below, which refer into it

public:
    // Fields shared by the routines; the station's own state under the names it has always had.
    settings::SoftwareSettings SoftwareSettings;
    QStringList DefaultSettingLines;
    qint16 ColorCameraIndex = 1;
    qint16 BottomCameraIndex = 0;
    QString& CurrentView = state_.CurrentView;
    QString& SampleNumber = state_.SampleNumber;
    const QStringList& CapturedSamples = state_.capturedSamples();
    const qint16& CapturedCount = state_.capturedCount();

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
    void buildLiveColumn();
    void buildListAndPanel();
    void buildBottomRow();
    void connectButtons();
    QString setting(const QString& name) const;

    // The widgets show the state: the sample label, the panel's caption and the list's lines.
    void drawSampleInView();
    void drawPanelCaption();
    void drawCapturedLine(qsizetype line);

    // What IT reads beside a failure the operator is shown.
    struct FailureContext {
        QString sample;
        QString camera;
        QString folder;
        QString reason;
    };
    struct Failure {
        QString text;
        FailureContext context;
    };
    // Shown to the operator and logged, under station.capture unless another area is named.
    void showFailure(const Failure& failure, const QLoggingCategory& category);
    void showFailure(const Failure& failure);

    // The save folder and the two extensions a capture needs.
    struct SavingSettings {
        QString saveDir;
        QString savedExt;
        QString compressedExt;
    };
    // The current view's camera takes the first still, the other camera the second.
    struct CameraOrder {
        qint16 first;
        qint16 other;
        View firstView;
        View otherView;
    };
    // Two stills on their way from temporary files to their final names.
    // The metadata is gathered at each still; the writes add each picture's digest.
    struct StillPair {
        StillPairPaths paths;
        std::array<QFuture<void>, 2> writes;
        std::array<camera::StillWrite, 2> stills;
        std::array<records::AcquisitionMetadata, 2> pictures;
        QUuid captureId = QUuid::createUuid();
    };
    struct StillFailure {
        qint16 camera;
        QString reason;
    };
    enum class WaitEnd { Done, TimedOut, Closing };
    // How a pair's way into the save folder ended.
    struct PairEnd {
        enum Kind { Saved, Unreachable, Failed, Closing } kind = Saved;
        QString reason;
        bool setAside = false;  // an older spooled pair of the sample was set aside
    };
    // How a spooled pair ended: kept, not kept, or taken but the live view did not come back.
    struct SpoolEnd {
        std::optional<QString> problem;
        std::optional<Failure> viewLost;
    };
    // Where the pair of a capture went: into the save folder, or kept on this PC.
    struct StoreEnd {
        bool kept = false;
        std::optional<Failure> failure;
    };

    // "camera 0 (bottom)": how messages and the log name a camera.
    QString cameraName(qint16 index) const;
    // The steps of a capture.
    CameraOrder cameraOrder() const;
    std::optional<SavingSettings> checkSavingSettings();
    static StillPair stillPairAt(const std::array<QString, 2>& finals);
    std::optional<Failure> takeSamplePair(StillPair& pair, const CameraOrder& cameras);
    // The first still from the selected camera, the other camera selected, the second still.
    std::optional<StillFailure> takeStills(StillPair& pair, const CameraOrder& cameras);
    // The live picture back to the current view's camera; tried twice.
    std::optional<Failure> reselectView(qint16 camera);
    StoreEnd storeStillPair(const StillPair& pair, const SavingSettings& saving,
                            const CameraOrder& cameras);
    bool startCompressors(const SavingSettings& saving, bool kept);
    bool startCompressor(View view, const QString& pairDir, const SavingSettings& saving,
                         const QString& spoolKey);

    // Empty when the camera delivers pictures, otherwise why it does not.
    std::optional<QString> selectCamera(qint16 index);
    // Starts still 0 or 1 of the pair from the selected camera and reads the camera's description
    // right after it; why the camera gave none when it refused at once.
    std::optional<QString> takeStill(StillPair& pair, int still, View view, qint16 camera);
    // Waits for both writes, then renames both.
    PairEnd finishStillPair(const StillPair& pair);
    // A pair's commit into the save folder, under way off the window's thread, and the probe of
    // whether the folder can be reached at all, asked beside it.
    struct SaveFolderCommit {
        QFuture<void> probe;
        QFuture<void> commit;
        std::shared_ptr<std::optional<QString>> outOfReach =
            std::make_shared<std::optional<QString>>();
        std::shared_ptr<std::atomic<bool>> abandoned = std::make_shared<std::atomic<bool>>(false);
        std::shared_ptr<std::atomic<bool>> setAside = std::make_shared<std::atomic<bool>>(false);
    };
    SaveFolderCommit startSaveFolderCommit(const StillPair& pair, const QString& folder);
    // This station's record book for the pairs of a save folder.
    std::shared_ptr<records::RecordBook> recordBookFor(const QString& saveFolder);
    // Whether Redo and Delete keep the pictures they replace or remove (the default).
    bool keepsOriginals() const;
    // After Delete: the sample's record says its pictures are gone, where they were kept and which
    // copies stay.
    void removeSpooledPictures(const QString& sampleNumber, const QString& savedExt,
                               QStringList& failures);
    void recordDeletion(const QString& folder, const QString& sampleNumber,
                        std::vector<records::KeptFile> kept, bool originalsKept);
    // Unreachable when the folder is out of reach, else Failed with the problem.
    PairEnd failureIn(const QString& folder, const QString& problem);
    void discardStillPair(const StillPair& pair);
    // Takes the pair again into the spool.
    SpoolEnd spoolStillPair(const std::array<QString, 2>& names, const CameraOrder& cameras);
    std::optional<QString> commitSpooledPair(const StillPair& pair, const QString& key);
    void startSpool();
    // Records each pair the forwarder takes into a save folder, as this station's settings say.
    ForwardRecorder forwardRecorder() const;
    // Lets the forwarder take a spooled sample once none of its compressors is running.
    void releaseSpooled(const QString& key);
    static std::optional<QString> errorOfWork(QFuture<void> work);
    QString spoolNote() const;
    void showStatus(const QString& text);
    // Waits for file work while the window keeps painting, at most as long as the given time.
    WaitEnd awaitFileWork(const QList<QFuture<void>>& work, std::chrono::milliseconds longest);
    void loadSampleImages(const QString& sampleNumber);
    void reloadDisplayedImages();
    void compressionEnded(const platform::ProcessEnd& end);

    StationServices services_;
    QPointer<workorder::Frm_Wo> frmWo_;
    std::unique_ptr<CompressedImageWatcher> imageWatcher_;
    bool listFullReported_ = false;
    bool programEnded_ = false;
    QEventLoop* fileWait_ = nullptr;
    quint64 thumbnailLoad_ = 0;  // the newest load of the panel; older ones are dropped

    // Compressors still running, by their process id: the picture and the capture they belong to,
    // where the compressor writes and the copy's final name.
    struct PendingCompression {
        QString sample;
        QString pictureName;
        quint64 capture = 0;
        QString temporary;
        QString target;
        QString spoolKey;  // set while the compressor writes into the spool
        // The picture the copy is made from, whose provenance the copy carries; none for a pair
        // kept on this PC.
        std::optional<records::AcquisitionMetadata> original;
    };
    // The pictures of the pair just saved, by view, with their digests.
    std::map<View, records::AcquisitionMetadata> savedPictures_;
    void rememberSavedPictures(const StillPair& pair, const CameraOrder& cameras);
    void reportCompressionFailure(const PendingCompression& compression, const QString& reason);
    // Finishes or undoes, off the window's thread, what a crash left in the save folder.
    void recoverSaveFolder();
    QHash<qint64, PendingCompression> compressions_;
    quint64 captureSerial_ = 0;

    SpoolForwarder* forwarder_ = nullptr;
    std::chrono::milliseconds spoolAfter_{3000};
    QString statusText_;
    QString captureNote_;  // for the list line of the capture that ends
};

}  // namespace capture
