#pragma once

#include <QDialog>
#include <QString>
#include <chrono>
#include <functional>
#include <optional>
#include <vector>

#include "FolderAccess.h"
#include "NetworkNeighbourhood.h"

class QDialogButtonBox;
class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace platform {
class MessageBoxes;
}

namespace network {

class MdnsSmbBrowser;

// An item of the network tree as the shell reports it: what the browser displays, and the
// file-system path of a share or folder (a computer and the network itself have none).
struct BrowsedItem {
    enum class Kind { Network, Computer, Share, Folder };

    Kind kind = Kind::Network;
    QString displayName;
    std::optional<QString> fileSystemPath;

    friend bool operator==(const BrowsedItem&, const BrowsedItem&) = default;
};

// Where the computers, shares and folders come from.
struct NetworkSources {
    QString mountTablePath;
    QString avahiProgram;
    std::chrono::milliseconds avahiTimeout;
    FolderReader readFolder = readSubfolders;
};

struct BrowseOptions {
    QString title;
    bool computersOnly = false;
    bool newDialogStyle = false;
    bool newFolderButton = false;
};

// The modal folder browser: "Network", the computers under it, their shares under each and the
// folders inside a share, read when it is opened.
class NetworkBrowserDialog : public QDialog {
    Q_OBJECT
public:
    NetworkBrowserDialog(const BrowseOptions& options, const NetworkSources& sources,
                         platform::MessageBoxes& messages, QWidget* owner);
    ~NetworkBrowserDialog() override;

    NetworkBrowserDialog(const NetworkBrowserDialog&) = delete;
    NetworkBrowserDialog& operator=(const NetworkBrowserDialog&) = delete;

    // The item selected when the operator pressed OK.
    std::optional<BrowsedItem> chosenItem() const { return chosen_; }

    static BrowsedItem networkRoot();

    void accept() override;

private:
    void addComputer(const NetworkComputer& computer);
    void addAnnouncedComputer(const QString& name);
    QTreeWidgetItem* addFolderItem(QTreeWidgetItem* parent, const BrowsedItem& item);
    void readFolderOf(QTreeWidgetItem* item);
    void showFolders(QTreeWidgetItem* item, const FolderListing& listing);
    void updateStatus();
    void updateButtons();
    void createFolder();
    void showCreatedFolder(QTreeWidgetItem* parentItem, const QString& path,
                           const std::optional<QString>& failure);
    std::optional<BrowsedItem> selectedItem() const;
    bool canBeChosen(const BrowsedItem& item) const;

    BrowseOptions options_;
    platform::MessageBoxes& messages_;
    NetworkNeighbourhood neighbourhood_;
    QLabel* instruction_;
    QTreeWidget* tree_;
    QTreeWidgetItem* root_ = nullptr;
    QLabel* status_;
    QPushButton* newFolder_ = nullptr;
    QDialogButtonBox* buttons_;
    MdnsSmbBrowser* mdns_;
    FolderReader readFolder_;
    std::optional<BrowsedItem> chosen_;
};

}  // namespace network
