#include "QtShellApi.h"

#include <algorithm>
#include <utility>

namespace network {

namespace {

bool isUtf8Continuation(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0U) == 0x80U;
}

}  // namespace

bool copyToBuffer(const QString& text, std::span<char> buffer) {
    if (buffer.empty()) {
        return text.isEmpty();
    }
    const QByteArray bytes = text.toLocal8Bit();
    const auto room = static_cast<qsizetype>(buffer.size() - 1);
    qsizetype length = std::min(bytes.size(), room);
    // Cutting inside a multi-byte character would leave half of it behind.
    while (length > 0 && length < bytes.size() && isUtf8Continuation(bytes.at(length))) {
        --length;
    }
    std::copy_n(bytes.constData(), length, buffer.begin());
    buffer[static_cast<std::size_t>(length)] = '\0';
    return length == bytes.size();
}

QtShellApi::QtShellApi(QString mountTablePath, QString avahiProgram,
                       std::chrono::milliseconds avahiTimeout, FolderReader readFolder)
    : sources_{std::move(mountTablePath), std::move(avahiProgram), avahiTimeout,
               std::move(readFolder)} {}

HRESULT QtShellApi::SHGetSpecialFolderLocation(QWidget* /*owner*/, int folder, ItemList& list) {
    list = ItemList();
    if (folder != CSIDL_NETWORK) {
        return E_INVALIDARG;
    }
    list = issue(NetworkBrowserDialog::networkRoot());
    return S_OK;
}

ItemList QtShellApi::SHBrowseForFolderA(BROWSEINFOA& info) {
    if (!info.pidlRoot.isNull() &&
        liveItem(info.pidlRoot, "SHBrowseForFolderA").kind != BrowsedItem::Kind::Network) {
        throw ShellError(QStringLiteral("SHBrowseForFolderA: only the network can be browsed"));
    }
    BrowseOptions options;
    options.title = QString::fromLocal8Bit(info.lpszTitle);
    options.computersOnly = (info.ulFlags & BIF_BROWSEFORCOMPUTER) != 0;
    options.newDialogStyle = (info.ulFlags & BIF_NEWDIALOGSTYLE) != 0;
    options.newFolderButton = (info.ulFlags & BIF_NONEWFOLDERBUTTON) == 0;

    NetworkBrowserDialog dialog(options, sources_, messages_, info.hwndOwner);
    if (dialog.exec() != QDialog::Accepted) {
        return {};
    }
    const std::optional<BrowsedItem> chosen = dialog.chosenItem();
    if (!chosen) {
        return {};
    }
    copyToBuffer(chosen->displayName, info.pszDisplayName);
    info.iImage = 0;
    return issue(*chosen);
}

bool QtShellApi::SHGetPathFromIDListA(ItemList list, std::span<char> path) {
    const BrowsedItem& item = liveItem(list, "SHGetPathFromIDListA");
    // A path that does not fit is no path: a shortened one would name another folder.
    return item.fileSystemPath && copyToBuffer(*item.fileSystemPath, path);
}

void QtShellApi::CoTaskMemFree(ItemList list) {
    if (list.isNull()) {
        return;
    }
    if (live_.erase(list.id()) == 0) {
        throw ShellError(
            QStringLiteral("CoTaskMemFree: item list %1 is not held (released twice, or never "
                           "handed out)")
                .arg(list.id()));
    }
}

int QtShellApi::lstrlenW(QStringView text) {
    return lengthBeforeNul(text);
}

ItemList QtShellApi::issue(BrowsedItem item) {
    const std::uint64_t id = nextId_++;
    live_.emplace(id, std::move(item));
    return ItemList(id);
}

const BrowsedItem& QtShellApi::liveItem(ItemList list, const char* operation) const {
    const auto found = live_.find(list.id());
    if (found == live_.end()) {
        throw ShellError(QStringLiteral("%1: item list %2 is not held")
                             .arg(QLatin1String(operation))
                             .arg(list.id()));
    }
    return found->second;
}

}  // namespace network
