#pragma once

#include <QString>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>

#include "MdnsSmbBrowser.h"
#include "MessageBoxes.h"
#include "MountTable.h"
#include "NetworkBrowserDialog.h"
#include "ShellApi.h"

namespace network {

// The shell's folder browser for this machine: the network tree of NetworkBrowserDialog. Every item
// list it hands out stays registered until it is released, so a double release is refused and a
// leak shows in liveHandleCount().
class QtShellApi final : public ShellApi {
public:
    static constexpr std::chrono::milliseconds kDefaultAvahiTimeout{4000};

    explicit QtShellApi(QString mountTablePath = QString::fromLatin1(kSystemMountTable),
                        QString avahiProgram = QString::fromLatin1(kAvahiBrowseProgram),
                        std::chrono::milliseconds avahiTimeout = kDefaultAvahiTimeout,
                        FolderReader readFolder = readSubfolders);

    HRESULT SHGetSpecialFolderLocation(QWidget* owner, int folder, ItemList& list) override;
    ItemList SHBrowseForFolderA(BROWSEINFOA& info) override;
    bool SHGetPathFromIDListA(ItemList list, std::span<char> path) override;
    void CoTaskMemFree(ItemList list) override;
    int lstrlenW(QStringView text) override;

    std::size_t liveHandleCount() const { return live_.size(); }

private:
    ItemList issue(BrowsedItem item);
    const BrowsedItem& liveItem(ItemList list, const char* operation) const;

    NetworkSources sources_;
    platform::QtMessageBoxes messages_;
    std::map<std::uint64_t, BrowsedItem> live_;
    std::uint64_t nextId_ = 1;
};

// Copies the text in the 8-bit code page into the buffer with its NUL, cut at a character
// boundary when it is too long. False when it had to be cut.
bool copyToBuffer(const QString& text, std::span<char> buffer);

}  // namespace network
