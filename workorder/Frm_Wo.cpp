#include "Frm_Wo.h"

#include <QFont>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>

#include "MessageBoxes.h"
#include "Twips.h"

namespace workorder {

using platform::twipsRect;
using platform::twipsToPixels;

namespace {

QPushButton* makeButton(const QString& caption, const QRect& geometry, QWidget* parent) {
    auto* button = new QPushButton(caption, parent);
    button->setGeometry(geometry);
    // No default button: Enter has no dialog-wide meaning.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

}  // namespace

Frm_Wo::Frm_Wo(platform::MessageBoxes& messages, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      Label1(new QLabel(QStringLiteral("Scan BarCode"), this)),
      txt_Sample(new QLineEdit(this)),
      cmd_Ok(makeButton(QStringLiteral("&OK"), twipsRect(120, 840, 1095, 350), this)),
      cmd_Cancel(makeButton(QStringLiteral("&Cancel"), twipsRect(1320, 840, 1095, 350), this)),
      cmd_Exit(makeButton(QStringLiteral("E&xit"), twipsRect(2880, 840, 1095, 350), this)),
      messages_(messages) {
    setObjectName(QStringLiteral("Frm_Wo"));
    setWindowTitle(QStringLiteral("Scan Wo"));
    setFixedSize(twipsToPixels(4080), twipsToPixels(1320));
    setModal(true);

    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(twipsRect(120, 120, 1455, 255));
    Label1->setFocusPolicy(Qt::NoFocus);

    txt_Sample->setObjectName(QStringLiteral("txt_Sample"));
    txt_Sample->setGeometry(twipsRect(120, 390, 2295, 345));
    // No length limit here: an over-long scan must arrive whole so that it can be refused whole
    // when it is accepted, instead of being cut to a plausible number of another sample.
    QFont sampleFont(QStringLiteral("@Arial Unicode MS"));
    sampleFont.setPointSizeF(9.75);
    txt_Sample->setFont(sampleFont);

    cmd_Ok->setObjectName(QStringLiteral("cmd_Ok"));
    cmd_Cancel->setObjectName(QStringLiteral("cmd_Cancel"));
    cmd_Exit->setObjectName(QStringLiteral("cmd_Exit"));

    setTabOrder(cmd_Ok, cmd_Cancel);
    setTabOrder(cmd_Cancel, cmd_Exit);
    setTabOrder(cmd_Exit, txt_Sample);

    connect(cmd_Ok, &QPushButton::clicked, this, &Frm_Wo::cmd_Ok_Click);
    connect(cmd_Cancel, &QPushButton::clicked, this, &Frm_Wo::cmd_Cancel_Click);
    connect(cmd_Exit, &QPushButton::clicked, this, &Frm_Wo::cmd_Exit_Click);
    // Scanners end each code with Enter: in the field it means OK (Return and keypad Enter).
    connect(txt_Sample, &QLineEdit::returnPressed, cmd_Ok, &QPushButton::click);
    cmd_Ok->installEventFilter(this);
    txt_Sample->installEventFilter(this);
    design_.record(*this);
}

void Frm_Wo::cmd_Ok_Click() {
    hide();
}

void Frm_Wo::cmd_Cancel_Click() {
    txt_Sample->clear();
    hide();
}

void Frm_Wo::cmd_Exit_Click() {
    ExitSoftware = true;
    cmd_Cancel_Click();
}

void Frm_Wo::reject() {
    cmd_Cancel_Click();
}

void Frm_Wo::setVisible(bool visible) {
    // Sized and placed before its window appears: a kiosk compositor keeps a shown window's size.
    if (visible && !isVisible()) {
        design_.apply(platform::DialogScale::of(parentWidget()).factor);
        const bool placed = platform::placeDialog(*this);
        // Back at the design size it opens centred over its owner again, as it did before.
        if (!placed && placedOverScale_) {
            setAttribute(Qt::WA_Moved, false);
        }
        placedOverScale_ = placed;
    }
    QDialog::setVisible(visible);
}

void Frm_Wo::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // A barcode scanner types as soon as the dialog appears, so the field takes the focus each
    // time.
    txt_Sample->setFocus(Qt::OtherFocusReason);
}

void Frm_Wo::keyPressEvent(QKeyEvent* event) {
    // Escape and Enter have no dialog-wide meaning; Enter in the field is OK (see returnPressed).
    if (event->key() == Qt::Key_Escape || event->key() == Qt::Key_Return ||
        event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

bool Frm_Wo::eventFilter(QObject* watched, QEvent* event) {
    if (watched == txt_Sample && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        // Only the first press of a held Enter ends a scan; its repeats would accept the field
        // again, empty, each time the dialog opens.
        if (key->isAutoRepeat() && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) {
            return true;
        }
    }
    if (watched == cmd_Ok && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const QString text = key->text();
        // Tab moves the focus before any key press reaches the button.
        const bool navigation = key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab;
        if (!navigation && !text.isEmpty() && !key->modifiers().testFlag(Qt::AltModifier)) {
            cmd_Ok_KeyPress(text.at(0).unicode());
        }
    }
    return QDialog::eventFilter(watched, event);
}

void Frm_Wo::cmd_Ok_KeyPress(int keyAscii) {
    messages_.show(QString::number(keyAscii));
}

}  // namespace workorder
