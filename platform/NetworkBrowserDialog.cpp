#include "NetworkBrowserDialog.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <filesystem>
#include <system_error>

#include "MdnsSmbBrowser.h"

namespace platform {

namespace {

constexpr int kKindRole = Qt::UserRole;
constexpr int kPathRole = Qt::UserRole + 1;

// Appended to the parent's children, or put straight after `preceding` (first when it is null).
QTreeWidgetItem* makeItem(QTreeWidgetItem* parent, const BrowsedItem& item,
                          std::optional<QTreeWidgetItem*> preceding = std::nullopt) {
    auto* treeItem =
        preceding ? new QTreeWidgetItem(parent, *preceding) : new QTreeWidgetItem(parent);
    treeItem->setText(0, item.displayName);
    treeItem->setData(0, kKindRole, static_cast<int>(item.kind));
    if (item.fileSystemPath) {
        treeItem->setText(1, *item.fileSystemPath);
        treeItem->setData(0, kPathRole, *item.fileSystemPath);
    }
    return treeItem;
}

BrowsedItem browsedItemOf(const QTreeWidgetItem& treeItem) {
    BrowsedItem item;
    item.kind = static_cast<BrowsedItem::Kind>(treeItem.data(0, kKindRole).toInt());
    item.displayName = treeItem.text(0);
    const QVariant path = treeItem.data(0, kPathRole);
    if (path.isValid()) {
        item.fileSystemPath = path.toString();
    }
    return item;
}

// A new folder is made directly inside the selected one, never somewhere else.
std::optional<QString> folderNameProblem(const QString& name) {
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1String("..")) ||
        name == QLatin1String(".") || name.contains(QChar(u'\0'))) {
        return NetworkBrowserDialog::tr(R"(A folder name cannot contain "/" or "..".)");
    }
    return std::nullopt;
}

// The reason the folder could not be made, or nothing once it exists.
std::optional<QString> makeFolder(const QString& path) {
    const std::filesystem::path target(QFile::encodeName(path).toStdString());
    std::error_code error;
    if (std::filesystem::create_directory(target, error)) {
        return std::nullopt;
    }
    if (error) {
        return QString::fromLocal8Bit(error.message());
    }
    return NetworkBrowserDialog::tr("A file or folder of that name already exists.");
}

}  // namespace

BrowsedItem NetworkBrowserDialog::networkRoot() {
    return {BrowsedItem::Kind::Network, tr("Network"), std::nullopt};
}

NetworkBrowserDialog::NetworkBrowserDialog(const BrowseOptions& options,
                                           const NetworkSources& sources, QWidget* owner)
    : QDialog(owner),
      options_(options),
      neighbourhood_(NetworkNeighbourhood::fromMounts(readNetworkMounts(sources.mountTablePath))),
      instruction_(new QLabel(options.title, this)),
      tree_(new QTreeWidget(this)),
      status_(
          new QLabel(tr("Looking for computers that share files on the local network..."), this)),
      buttons_(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this)),
      mdns_(new MdnsSmbBrowser(sources.avahiProgram, sources.avahiTimeout, this)) {
    setObjectName(QStringLiteral("NetworkBrowserDialog"));
    setWindowTitle(options.title);
    setModal(true);

    instruction_->setWordWrap(true);
    tree_->setObjectName(QStringLiteral("networkTree"));
    tree_->setColumnCount(2);
    tree_->setHeaderLabels({tr("Name"), tr("Mounted at")});
    tree_->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    tree_->setSelectionMode(QAbstractItemView::SingleSelection);
    root_ = makeItem(tree_->invisibleRootItem(), networkRoot());
    for (const NetworkComputer& computer : neighbourhood_.computers()) {
        addComputer(computer);
    }
    root_->setExpanded(true);
    tree_->setCurrentItem(root_);

    status_->setObjectName(QStringLiteral("mdnsStatus"));
    buttons_->setObjectName(QStringLiteral("buttons"));
    if (options.newDialogStyle && options.newFolderButton) {
        newFolder_ = buttons_->addButton(tr("&New Folder"), QDialogButtonBox::ActionRole);
        newFolder_->setObjectName(QStringLiteral("newFolderButton"));
        connect(newFolder_, &QPushButton::clicked, this, &NetworkBrowserDialog::createFolder);
    }
    connect(buttons_, &QDialogButtonBox::accepted, this, &NetworkBrowserDialog::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &NetworkBrowserDialog::reject);
    connect(tree_, &QTreeWidget::currentItemChanged, this, &NetworkBrowserDialog::updateButtons);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(instruction_);
    layout->addWidget(tree_, 1);
    layout->addWidget(status_);
    layout->addWidget(buttons_);
    if (options.newDialogStyle) {
        resize(460, 420);
    } else {
        setFixedSize(340, 380);
    }

    connect(mdns_, &MdnsSmbBrowser::computerFound, this,
            &NetworkBrowserDialog::addAnnouncedComputer);
    connect(mdns_, &MdnsSmbBrowser::finished, status_, &QWidget::hide);
    mdns_->start();
    updateButtons();
}

NetworkBrowserDialog::~NetworkBrowserDialog() = default;

void NetworkBrowserDialog::addComputer(const NetworkComputer& computer) {
    // Computers are listed by name, whatever their letter case, also as announcements arrive.
    int index = 0;
    while (index < root_->childCount() &&
           root_->child(index)->text(0).compare(computer.name, Qt::CaseInsensitive) <= 0) {
        ++index;
    }
    QTreeWidgetItem* preceding = index > 0 ? root_->child(index - 1) : nullptr;
    QTreeWidgetItem* computerItem =
        makeItem(root_, {BrowsedItem::Kind::Computer, computer.name, std::nullopt}, preceding);
    for (const NetworkShare& share : computer.shares) {
        makeItem(computerItem, {BrowsedItem::Kind::Share, share.name, share.mountPoint});
    }
}

void NetworkBrowserDialog::addAnnouncedComputer(const QString& name) {
    if (neighbourhood_.addComputer(name)) {
        addComputer(*neighbourhood_.findComputer(name));
    }
}

std::optional<BrowsedItem> NetworkBrowserDialog::selectedItem() const {
    const QTreeWidgetItem* current = tree_->currentItem();
    if (current == nullptr) {
        return std::nullopt;
    }
    return browsedItemOf(*current);
}

bool NetworkBrowserDialog::canBeChosen(const BrowsedItem& item) const {
    if (options_.computersOnly) {
        return item.kind == BrowsedItem::Kind::Computer;
    }
    // The network itself names no place. A computer stays selectable without a file-system path:
    // the caller falls back to its display name.
    return item.kind != BrowsedItem::Kind::Network;
}

void NetworkBrowserDialog::updateButtons() {
    const std::optional<BrowsedItem> item = selectedItem();
    buttons_->button(QDialogButtonBox::Ok)->setEnabled(item && canBeChosen(*item));
    if (newFolder_ != nullptr) {
        newFolder_->setEnabled(item && item->fileSystemPath.has_value());
    }
}

void NetworkBrowserDialog::accept() {
    const std::optional<BrowsedItem> item = selectedItem();
    if (!item || !canBeChosen(*item)) {
        return;
    }
    chosen_ = item;
    QDialog::accept();
}

void NetworkBrowserDialog::createFolder() {
    QTreeWidgetItem* parentItem = tree_->currentItem();
    const std::optional<BrowsedItem> parent = selectedItem();
    if (parentItem == nullptr || !parent || !parent->fileSystemPath) {
        return;
    }
    bool entered = false;
    const QString name =
        QInputDialog::getText(this, tr("New Folder"),
                              tr("Name of the new folder in %1:").arg(*parent->fileSystemPath),
                              QLineEdit::Normal, QString(), &entered)
            .trimmed();
    if (!entered || name.isEmpty()) {
        return;
    }
    if (const auto problem = folderNameProblem(name)) {
        QMessageBox::warning(this, tr("New Folder"), *problem);
        return;
    }
    const QString path = QDir(*parent->fileSystemPath).filePath(name);
    if (const auto failure = makeFolder(path)) {
        QMessageBox::warning(this, tr("New Folder"),
                             tr("The folder %1 could not be made: %2").arg(path, *failure));
        return;
    }
    QTreeWidgetItem* folderItem = makeItem(parentItem, {BrowsedItem::Kind::Folder, name, path});
    parentItem->setExpanded(true);
    tree_->setCurrentItem(folderItem);
}

}  // namespace platform
