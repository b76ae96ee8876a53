#include "MessageBoxes.h"

#include <QApplication>
#include <QMessageBox>

namespace platform {

namespace {

QWidget* ownerWindow() {
    if (QWidget* modal = QApplication::activeModalWidget()) {
        return modal;
    }
    return QApplication::activeWindow();
}

}  // namespace

void QtMessageBoxes::show(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), text,
                    QMessageBox::Ok, ownerWindow());
    box.exec();
}

bool QtMessageBoxes::ask(const QString& text, const QString& title) {
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Yes | QMessageBox::No,
                    ownerWindow());
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

}  // namespace platform
