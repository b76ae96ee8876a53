#pragma once

#include <cstdint>
#include <functional>

#include <QDialog>
#include <QString>

#include "ShellApi.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace network {
class ShellApi;
}

namespace folderpicker {

// Browses the network for a computer or a shared folder and shows the answer in one of its two
// text boxes; nothing else is done with it.
class Form_GetDirectory : public QDialog {
    Q_OBJECT
public:
    explicit Form_GetDirectory(network::ShellApi& shell, QWidget* owner = nullptr);

    QLabel* Label1;
    QLineEdit* Text1;
    QLabel* Label2;
    QLineEdit* Text2;
    QCheckBox* Check1;
    QCheckBox* Check2;
    QPushButton* Command2;
    QPushButton* Command1;

    void Command1_Click();
    void Command2_Click();

    // "\\" and the chosen computer's display name; empty when cancelled or the network is missing.
    QString Browse_Network_Computer(QWidget* owner, bool useNewStyle, bool hideNewFolderButton);
    // The chosen item's file-system path, else "\\" and its display name; empty as above.
    QString Browse_Network_Share(QWidget* owner, bool useNewStyle, bool hideNewFolderButton);
    // The text up to its first NUL character.
    QString Trim_At_Nul(const QString& text);

private:
    // What a browse gives for the chosen item list and its display name.
    using ResultOfChoice = std::function<QString(const network::ItemList&, const QByteArray&)>;

    void Form_Load();
    // One browse of the network: the root item list, the record, the browser, both releases.
    QString browse(QWidget* owner, const QString& title, std::uint32_t flags,
                   const ResultOfChoice& resultOf);

    network::ShellApi& shell_;
};

}  // namespace folderpicker
