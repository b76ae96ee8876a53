#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <cstdint>
#include <span>

#include "PlatformError.h"

class QWidget;

namespace network {

// The shell's folder browser, reached through its five entry points. The record and the flags keep
// the shape and the values the folder picker was designed around, so that its rules can be checked
// against a recording implementation.

using HRESULT = std::int32_t;
constexpr HRESULT S_OK = 0;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005U);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057U);

constexpr int CSIDL_NETWORK = 0x0012;

// Buffers that the browser writes into hold this many characters, the terminating NUL included.
constexpr int MAX_PATH = 260;

constexpr std::uint32_t BIF_RETURNONLYFSDIRS = 0x0001;
constexpr std::uint32_t BIF_NEWDIALOGSTYLE = 0x0040;
constexpr std::uint32_t BIF_NONEWFOLDERBUTTON = 0x0200;
constexpr std::uint32_t BIF_BROWSEFORCOMPUTER = 0x1000;

// An item list handed out by the shell: opaque, and released exactly once with CoTaskMemFree.
class ItemList {
public:
    constexpr ItemList() = default;
    constexpr explicit ItemList(std::uint64_t id) : id_(id) {}

    constexpr std::uint64_t id() const { return id_; }
    constexpr bool isNull() const { return id_ == 0; }

    friend constexpr bool operator==(ItemList, ItemList) = default;

private:
    std::uint64_t id_ = 0;
};

// Never set by the folder picker; kept so that "every other field is zero" can be checked.
using BFFCALLBACK = int (*)(QWidget* window, unsigned message, std::intptr_t param,
                            std::intptr_t data);

// The browse record. The strings are in the system's 8-bit code page, as the ANSI entry point
// expects. The display-name buffer is a view of the caller's storage, so the browser knows its size
// and cannot write past it.
struct BROWSEINFOA {
    QWidget* hwndOwner = nullptr;
    ItemList pidlRoot;
    std::span<char> pszDisplayName;
    QByteArray lpszTitle;
    std::uint32_t ulFlags = 0;
    BFFCALLBACK lpfn = nullptr;
    std::intptr_t lParam = 0;
    int iImage = 0;
};

// A misuse of the shell: an item list released twice, or one that was never handed out.
class ShellError : public platform::PlatformError {
public:
    using platform::PlatformError::PlatformError;
};

class ShellApi {
public:
    virtual ~ShellApi() = default;

    // S_OK and the folder's item list in `list`, or a failure code and a null list.
    virtual HRESULT SHGetSpecialFolderLocation(QWidget* owner, int folder, ItemList& list) = 0;
    // Shows the modal browser. The chosen item's list, or a null list when the operator cancels;
    // the chosen item's display name is written, NUL-terminated, into info.pszDisplayName.
    virtual ItemList SHBrowseForFolderA(BROWSEINFOA& info) = 0;
    // True, with the NUL-terminated path in `path`, when the item has a file-system path.
    virtual bool SHGetPathFromIDListA(ItemList list, std::span<char> path) = 0;
    // Releasing a null list does nothing; releasing an unknown one throws ShellError.
    virtual void CoTaskMemFree(ItemList list) = 0;
    // The number of characters before the first NUL; the whole length when there is none.
    virtual int lstrlenW(QStringView text) = 0;
};

// What lstrlenW counts, for every implementation.
int lengthBeforeNul(QStringView text);

}  // namespace network
