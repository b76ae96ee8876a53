#include "Form_GetDirectory.h"

#include <QCheckBox>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <cstdint>
#include <optional>
#include <utility>

#include "ShellApi.h"
#include "Twips.h"

namespace folderpicker {

using platform::twipsRect;
using platform::twipsToPixels;

namespace {

const QString kUncPrefix = QStringLiteral("\\\\");

// Owns one item list from the shell. The normal path releases it explicitly, in the order the
// browse needs and with any failure reported; the destructor only covers an early exit by an
// exception, where a second failure cannot be reported anyway.
class OwnedItemList {
public:
    OwnedItemList(network::ShellApi& shell, network::ItemList list) : shell_(shell), list_(list) {}
    ~OwnedItemList() {
        if (!list_.isNull()) {
            try {
                shell_.CoTaskMemFree(list_);
            } catch (...) {  // NOLINT(bugprone-empty-catch): already unwinding from a failure
            }
        }
    }
    OwnedItemList(const OwnedItemList&) = delete;
    OwnedItemList& operator=(const OwnedItemList&) = delete;

    network::ItemList get() const { return list_; }
    void release() { shell_.CoTaskMemFree(std::exchange(list_, network::ItemList())); }

private:
    network::ShellApi& shell_;
    network::ItemList list_;
};

// The network root, or nothing when the shell cannot give it. A list handed out together with a
// failure code is still released.
std::optional<network::ItemList> networkRoot(network::ShellApi& shell, QWidget* owner) {
    network::ItemList root;
    const network::HRESULT result =
        shell.SHGetSpecialFolderLocation(owner, network::CSIDL_NETWORK, root);
    if (result != network::S_OK) {
        shell.CoTaskMemFree(root);
        return std::nullopt;
    }
    return root;
}

std::uint32_t browseFlags(std::uint32_t base, bool useNewStyle, bool hideNewFolderButton) {
    std::uint32_t flags = base;
    if (useNewStyle) {
        flags |= network::BIF_NEWDIALOGSTYLE;
    }
    if (hideNewFolderButton) {
        flags |= network::BIF_NONEWFOLDERBUTTON;
    }
    return flags;
}

QByteArray blankBuffer() {
    return {network::MAX_PATH, ' '};
}

std::span<char> spanOf(QByteArray& buffer) {
    return {buffer.data(), static_cast<std::size_t>(buffer.size())};
}

// The strings go to the shell in the 8-bit code page; every field not set here stays zero.
network::BROWSEINFOA browseRecord(QWidget* owner, network::ItemList root, QByteArray& displayName,
                                  const QString& title, std::uint32_t flags) {
    network::BROWSEINFOA info;
    info.hwndOwner = owner;
    info.pidlRoot = root;
    info.pszDisplayName = spanOf(displayName);
    info.lpszTitle = title.toLocal8Bit();
    info.ulFlags = flags;
    return info;
}

// Greyed counts as clear.
bool isTicked(const QCheckBox* box) {
    return box->checkState() == Qt::Checked;
}

QPushButton* makeButton(const QRect& geometry, QWidget* parent) {
    auto* button = new QPushButton(parent);
    button->setGeometry(geometry);
    // Enter in a text box must not start a browse.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

}  // namespace

Form_GetDirectory::Form_GetDirectory(network::ShellApi& shell, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      Label1(new QLabel(QStringLiteral("save directory:"), this)),
      Text1(new QLineEdit(this)),
      Label2(new QLabel(QStringLiteral(":"), this)),
      Text2(new QLineEdit(this)),
      Check1(new QCheckBox(this)),
      Check2(new QCheckBox(this)),
      Command2(makeButton(twipsRect(3330, 1560, 2115, 375), this)),
      Command1(makeButton(twipsRect(5490, 1560, 2115, 375), this)),
      shell_(shell) {
    setObjectName(QStringLiteral("Form_GetDirectory"));
    setWindowTitle(QStringLiteral("BrowseDialog for WorkStations"));
    setFixedSize(twipsToPixels(7815), twipsToPixels(2160));
    // The layout was drawn for a small, narrow sans-serif face; in the desktop's usual font the
    // button captions would be cut off.
    QFont formFont(QStringLiteral("MS Sans Serif"));
    formFont.setStyleHint(QFont::SansSerif);
    formFont.setPointSizeF(8.25);
    formFont.setStretch(QFont::SemiCondensed);
    setFont(formFont);

    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(twipsRect(105, 270, 1545, 375));
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(twipsRect(2640, 240, 4965, 345));
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setGeometry(twipsRect(105, 630, 2475, 375));
    Text2->setObjectName(QStringLiteral("Text2"));
    Text2->setGeometry(twipsRect(2640, 630, 4965, 345));
    Check1->setObjectName(QStringLiteral("Check1"));
    Check1->setGeometry(twipsRect(150, 1290, 2775, 285));
    Check2->setObjectName(QStringLiteral("Check2"));
    Check2->setGeometry(twipsRect(150, 1650, 2775, 285));
    Command2->setObjectName(QStringLiteral("Command2"));
    Command1->setObjectName(QStringLiteral("Command1"));

    // Labels take no focus, so the chain holds the six controls that can.
    setTabOrder(Command1, Command2);
    setTabOrder(Command2, Text1);
    setTabOrder(Text1, Check1);
    setTabOrder(Check1, Text2);
    setTabOrder(Text2, Check2);

    connect(Command1, &QPushButton::clicked, this, &Form_GetDirectory::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Form_GetDirectory::Command2_Click);

    Form_Load();
}

void Form_GetDirectory::Form_Load() {
    Command1->setText(QStringLiteral("Get Network Workstation"));
    Command2->setText(QStringLiteral("Get Network Share"));
    Check1->setText(QStringLiteral("Use New UI"));
    Check2->setText(QStringLiteral("No 'New Folder' Button"));
    Text1->clear();
    Text2->clear();
}

void Form_GetDirectory::Command1_Click() {
    const bool useNewStyle = isTicked(Check1);
    const bool hideNewFolderButton = isTicked(Check2);
    Text1->setText(Browse_Network_Computer(this, useNewStyle, hideNewFolderButton));
}

void Form_GetDirectory::Command2_Click() {
    const bool useNewStyle = isTicked(Check1);
    const bool hideNewFolderButton = isTicked(Check2);
    Text2->setText(Browse_Network_Share(this, useNewStyle, hideNewFolderButton));
}

QString Form_GetDirectory::Browse_Network_Computer(QWidget* owner, bool useNewStyle,
                                                   bool hideNewFolderButton) {
    return browse(owner, QStringLiteral("Select a network computer."),
                  browseFlags(network::BIF_BROWSEFORCOMPUTER, useNewStyle, hideNewFolderButton),
                  [this](const network::ItemList&, const QByteArray& displayName) {
                      return kUncPrefix + Trim_At_Nul(QString::fromLocal8Bit(displayName));
                  });
}

QString Form_GetDirectory::Browse_Network_Share(QWidget* owner, bool useNewStyle,
                                                bool hideNewFolderButton) {
    return browse(owner, QStringLiteral("Select a network computer or share."),
                  browseFlags(network::BIF_RETURNONLYFSDIRS, useNewStyle, hideNewFolderButton),
                  [this](const network::ItemList& chosen, const QByteArray& displayName) {
                      QByteArray path = blankBuffer();
                      if (shell_.SHGetPathFromIDListA(chosen, spanOf(path))) {
                          return Trim_At_Nul(QString::fromLocal8Bit(path));
                      }
                      // A computer has no file-system path.
                      return kUncPrefix + Trim_At_Nul(QString::fromLocal8Bit(displayName));
                  });
}

QString Form_GetDirectory::browse(QWidget* owner, const QString& title, std::uint32_t flags,
                                  const ResultOfChoice& resultOf) {
    QString result;
    const std::optional<network::ItemList> rootList = networkRoot(shell_, owner);
    if (!rootList) {
        return result;
    }
    OwnedItemList root(shell_, *rootList);

    QByteArray displayName = blankBuffer();
    network::BROWSEINFOA info = browseRecord(owner, root.get(), displayName, title, flags);

    OwnedItemList chosen(shell_, shell_.SHBrowseForFolderA(info));
    if (!chosen.get().isNull()) {
        result = resultOf(chosen.get(), displayName);
        chosen.release();
    }
    root.release();
    return result;
}

QString Form_GetDirectory::Trim_At_Nul(const QString& text) {
    return text.left(shell_.lstrlenW(text));
}

}  // namespace folderpicker
