#pragma once

#include <QDialog>

#include "DialogScale.h"
#include "WorkOrderNumber.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace platform {
class MessageBoxes;
}

namespace workorder {

// The scan dialog: the operator scans or types the next sample number, cancels, or exits.
// It only hides when closed; the main window then reads txt_Sample and ExitSoftware.
class Frm_Wo : public QDialog {
    Q_OBJECT
public:
    static constexpr int kMaxSampleLength = kMaxWorkOrderLength;

    explicit Frm_Wo(platform::MessageBoxes& messages, QWidget* owner = nullptr);

    bool ExitSoftware = false;

    QLabel* Label1;
    QLineEdit* txt_Sample;
    QPushButton* cmd_Ok;
    QPushButton* cmd_Cancel;
    QPushButton* cmd_Exit;

    void cmd_Ok_Click();
    void cmd_Cancel_Click();
    void cmd_Exit_Click();

    // Closing through the frame, or anything else that rejects the dialog, acts as Cancel.
    void reject() override;
    // Opening, it takes the scale of the window it is over (see platform::DialogScale).
    void setVisible(bool visible) override;

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void cmd_Ok_KeyPress(int keyAscii);

    platform::MessageBoxes& messages_;
    platform::FixedDesign design_;
    bool placedOverScale_ = false;
};

}  // namespace workorder
