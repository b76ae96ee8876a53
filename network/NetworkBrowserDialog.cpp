#include "NetworkBrowserDialog.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFont>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <exception>
#include <system_error>

#include "DetachedWork.h"
#include "MdnsSmbBrowser.h"
#include "MessageBoxes.h"

namespace network {

namespace {

constexpr int kKindRole = Qt::UserRole;
constexpr int kPathRole = Qt::UserRole + 1;
// Set on the lines that only say something ("Reading...", an error): they name no place.
constexpr int kNoteRole = Qt::UserRole + 2;
constexpr int kReadStateRole = Qt::UserRole + 3;

// Whether a share's or folder's contents are in the tree. A failed read goes back to NotRead, so
// that opening the item again tries once more.
enum class ReadState { NotRead, Reading, Read };

ReadState readStateOf(const QTreeWidgetItem& item) {
    return static_cast<ReadState>(item.data(0, kReadStateRole).toInt());
}

void setReadState(QTreeWidgetItem& item, ReadState state) {
    item.setData(0, kReadStateRole, static_cast<int>(state));
}

bool isNote(const QTreeWidgetItem& item) {
    return item.data(0, kNoteRole).toBool();
}

void addNote(QTreeWidgetItem* parent, const QString& text) {
    auto* note = new QTreeWidgetItem(parent);
    note->setText(0, text);
    note->setData(0, kNoteRole, true);
    note->setFlags(Qt::ItemIsEnabled);
    QFont font = note->font(0);
    font.setItalic(true);
    note->setFont(0, font);
}

void removeNotes(QTreeWidgetItem* parent) {
    for (int i = parent->childCount() - 1; i >= 0; --i) {
        if (isNote(*parent->child(i))) {
            delete parent->takeChild(i);
        }
    }
}

QTreeWidgetItem* childWithPath(const QTreeWidgetItem& parent, const QString& path) {
    for (int i = 0; i < parent.childCount(); ++i) {
        if (parent.child(i)->data(0, kPathRole).toString() == path) {
            return parent.child(i);
        }
    }
    return nullptr;
}

FolderListing readSafely(const FolderReader& read, const QString& path) {
    try {
        return read(path);
    } catch (const std::exception& error) {
        return {{}, QString::fromLocal8Bit(error.what())};
    } catch (...) {
        return {{}, NetworkBrowserDialog::tr("unknown failure")};
    }
}

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

}  // namespace

BrowsedItem NetworkBrowserDialog::networkRoot() {
    return {BrowsedItem::Kind::Network, tr("Network"), std::nullopt};
}

NetworkBrowserDialog::NetworkBrowserDialog(const BrowseOptions& options,
                                           const NetworkSources& sources,
                                           platform::MessageBoxes& messages, QWidget* owner)
    : QDialog(owner),
      options_(options),
      messages_(messages),
      neighbourhood_(NetworkNeighbourhood::fromMounts(readNetworkMounts(sources.mountTablePath))),
      instruction_(new QLabel(options.title, this)),
      tree_(new QTreeWidget(this)),
      status_(
          new QLabel(tr("Looking for computers that share files on the local network..."), this)),
      buttons_(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this)),
      mdns_(new MdnsSmbBrowser(sources.avahiProgram, sources.avahiTimeout, this)),
      readFolder_(sources.readFolder ? sources.readFolder : FolderReader(readSubfolders)) {
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
    status_->setWordWrap(true);
    buttons_->setObjectName(QStringLiteral("buttons"));
    if (options.newDialogStyle && options.newFolderButton) {
        newFolder_ = buttons_->addButton(tr("&New Folder"), QDialogButtonBox::ActionRole);
        newFolder_->setObjectName(QStringLiteral("newFolderButton"));
        connect(newFolder_, &QPushButton::clicked, this, &NetworkBrowserDialog::createFolder);
    }
    connect(buttons_, &QDialogButtonBox::accepted, this, &NetworkBrowserDialog::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &NetworkBrowserDialog::reject);
    connect(tree_, &QTreeWidget::currentItemChanged, this, &NetworkBrowserDialog::updateButtons);
    connect(tree_, &QTreeWidget::itemExpanded, this, &NetworkBrowserDialog::readFolderOf);

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
    connect(mdns_, &MdnsSmbBrowser::finished, this, &NetworkBrowserDialog::updateStatus);
    mdns_->start();
    updateStatus();
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
        addFolderItem(computerItem, {BrowsedItem::Kind::Share, share.name, share.mountPoint});
    }
}

void NetworkBrowserDialog::addAnnouncedComputer(const QString& name) {
    if (neighbourhood_.addComputer(name)) {
        addComputer(*neighbourhood_.findComputer(name));
        updateStatus();
    }
}

QTreeWidgetItem* NetworkBrowserDialog::addFolderItem(QTreeWidgetItem* parent,
                                                     const BrowsedItem& item) {
    QTreeWidgetItem* treeItem = makeItem(parent, item);
    // A computer browse stops at the computers; elsewhere any folder may hold more.
    if (!options_.computersOnly) {
        treeItem->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
    }
    return treeItem;
}

void NetworkBrowserDialog::readFolderOf(QTreeWidgetItem* item) {
    const BrowsedItem browsed = browsedItemOf(*item);
    const bool holdsFolders =
        browsed.kind == BrowsedItem::Kind::Share || browsed.kind == BrowsedItem::Kind::Folder;
    if (options_.computersOnly || !holdsFolders || !browsed.fileSystemPath || isNote(*item) ||
        readStateOf(*item) != ReadState::NotRead) {
        return;
    }
    removeNotes(item);
    setReadState(*item, ReadState::Reading);
    addNote(item, tr("Reading..."));

    // The read is not waited for: a server that does not answer must not hold the dialog, not
    // even while it closes.
    try {
        platform::runDetachedThen(
            this,
            [read = readFolder_, path = *browsed.fileSystemPath] { return readSafely(read, path); },
            [this, item](const FolderListing& listing) { showFolders(item, listing); });
    } catch (const std::system_error& error) {
        showFolders(item, {{}, QString::fromLocal8Bit(error.what())});
    }
}

void NetworkBrowserDialog::showFolders(QTreeWidgetItem* item, const FolderListing& listing) {
    if (readStateOf(*item) != ReadState::Reading) {
        return;
    }
    removeNotes(item);
    if (listing.error) {
        setReadState(*item, ReadState::NotRead);
        addNote(item, tr("Cannot be read: %1").arg(*listing.error));
        return;
    }
    setReadState(*item, ReadState::Read);
    const QDir folder(browsedItemOf(*item).fileSystemPath.value_or(QString()));
    for (const QString& name : listing.folders) {
        const QString path = folder.filePath(name);
        // A folder made with New Folder while the read was under way is already there.
        if (childWithPath(*item, path) == nullptr) {
            addFolderItem(item, {BrowsedItem::Kind::Folder, name, path});
        }
    }
    if (item->childCount() == 0) {
        item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
    }
}

void NetworkBrowserDialog::updateStatus() {
    const bool searching = !mdns_->isFinished();
    const QString looking = tr("Looking for computers that share files on the local network...");
    if (root_->childCount() > 0) {
        status_->setText(looking);
        status_->setVisible(searching);
        return;
    }
    const QString noShare = tr("No network share is mounted on this machine.");
    QString why;
    switch (mdns_->outcome()) {
        case MdnsSmbBrowser::Outcome::Searching:
            why = looking;
            break;
        case MdnsSmbBrowser::Outcome::Searched:
            why = tr("No computer on the local network announces SMB file sharing.");
            break;
        case MdnsSmbBrowser::Outcome::ProgramMissing:
            why =
                tr("Computers that announce SMB file sharing are listed once avahi-browse "
                   "(package avahi-utils) is installed.");
            break;
        case MdnsSmbBrowser::Outcome::Failed:
            why =
                tr("avahi-browse could not look for computers that announce SMB file sharing; "
                   "is avahi-daemon running?");
            break;
    }
    status_->setText(noShare + QLatin1Char(' ') + why);
    status_->show();
}

std::optional<BrowsedItem> NetworkBrowserDialog::selectedItem() const {
    const QTreeWidgetItem* current = tree_->currentItem();
    if (current == nullptr || isNote(*current)) {
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
        messages_.show(*problem);
        return;
    }
    // Made off the dialog's thread: the share may be one that stalls.
    const QString path = QDir(*parent->fileSystemPath).filePath(name);
    try {
        platform::runDetachedThen(
            this, [path] { return makeFolder(path); },
            [this, parentItem, path](const std::optional<QString>& failure) {
                showCreatedFolder(parentItem, path, failure);
            });
    } catch (const std::system_error& error) {
        showCreatedFolder(parentItem, path, QString::fromLocal8Bit(error.what()));
    }
}

void NetworkBrowserDialog::showCreatedFolder(QTreeWidgetItem* parentItem, const QString& path,
                                             const std::optional<QString>& failure) {
    if (failure) {
        messages_.show(tr("The folder %1 could not be made: %2").arg(path, *failure));
        return;
    }
    // A read of the parent that ended meanwhile may have listed it already.
    QTreeWidgetItem* folderItem = childWithPath(*parentItem, path);
    if (folderItem == nullptr) {
        folderItem =
            addFolderItem(parentItem, {BrowsedItem::Kind::Folder, QDir(path).dirName(), path});
    }
    parentItem->setExpanded(true);
    tree_->setCurrentItem(folderItem);
}

}  // namespace network
