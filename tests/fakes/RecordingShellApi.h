#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <vector>

#include "ShellApi.h"

// A shell that shows no browser: it answers as told and records every call, what it was given,
// and which item lists are still held.
class RecordingShellApi final : public network::ShellApi {
public:
    // What the browser saw when it was called.
    struct BrowseCall {
        QWidget* owner = nullptr;
        network::ItemList root;
        QByteArray displayNameBuffer;
        QByteArray title;
        std::uint32_t flags = 0;
        network::BFFCALLBACK callback = nullptr;
        std::intptr_t lParam = 0;
        int image = 0;
    };
    // The operator's pick: the bytes written into the display-name buffer (a NUL follows when there
    // is room) and, for an item with a file-system path, the bytes written into the path buffer.
    struct Choice {
        QByteArray displayName;
        std::optional<QByteArray> path;
    };

    // How the next calls answer.
    network::HRESULT rootResult = network::S_OK;
    bool rootListDespiteFailure = false;
    std::optional<Choice> choice;  // none: the operator cancels
    bool browserFails = false;

    // What happened.
    QStringList calls;
    std::vector<int> foldersAsked;
    std::vector<QWidget*> rootOwners;
    std::vector<BrowseCall> browses;
    std::vector<network::ItemList> pathQueries;
    std::vector<QByteArray> pathBuffers;
    std::vector<network::ItemList> released;
    std::vector<network::ItemList> handedOut;
    int lengthQueries = 0;

    network::ItemList lastHandedOut() const {
        return handedOut.empty() ? network::ItemList() : handedOut.back();
    }
    std::size_t heldCount() const { return held_.size(); }

    network::HRESULT SHGetSpecialFolderLocation(QWidget* owner, int folder,
                                                network::ItemList& list) override {
        calls << QStringLiteral("SHGetSpecialFolderLocation");
        foldersAsked.push_back(folder);
        rootOwners.push_back(owner);
        list = (rootResult == network::S_OK || rootListDespiteFailure) ? handOut()
                                                                       : network::ItemList();
        return rootResult;
    }

    network::ItemList SHBrowseForFolderA(network::BROWSEINFOA& info) override {
        calls << QStringLiteral("SHBrowseForFolderA");
        browses.push_back({info.hwndOwner, info.pidlRoot,
                           QByteArray(info.pszDisplayName.data(),
                                      static_cast<qsizetype>(info.pszDisplayName.size())),
                           info.lpszTitle, info.ulFlags, info.lpfn, info.lParam, info.iImage});
        if (browserFails) {
            throw network::ShellError(QStringLiteral("the browser could not be shown"));
        }
        if (!choice) {
            return {};
        }
        write(choice->displayName, info.pszDisplayName);
        return handOut();
    }

    bool SHGetPathFromIDListA(network::ItemList list, std::span<char> path) override {
        calls << QStringLiteral("SHGetPathFromIDListA");
        pathQueries.push_back(list);
        pathBuffers.emplace_back(path.data(), static_cast<qsizetype>(path.size()));
        if (!choice || !choice->path) {
            return false;
        }
        write(*choice->path, path);
        return true;
    }

    void CoTaskMemFree(network::ItemList list) override {
        calls << QStringLiteral("CoTaskMemFree(%1)").arg(list.id());
        if (list.isNull()) {
            return;
        }
        released.push_back(list);
        if (held_.erase(list.id()) == 0) {
            throw std::logic_error("an item list was released that is not held");
        }
    }

    int lstrlenW(QStringView text) override {
        ++lengthQueries;
        return network::lengthBeforeNul(text);
    }

private:
    network::ItemList handOut() {
        const network::ItemList list(nextId_++);
        held_.insert(list.id());
        handedOut.push_back(list);
        return list;
    }

    static void write(const QByteArray& bytes, std::span<char> buffer) {
        const auto count = std::min(static_cast<std::size_t>(bytes.size()), buffer.size());
        std::copy_n(bytes.constData(), count, buffer.begin());
        if (count < buffer.size()) {
            buffer[count] = '\0';
        }
    }

    std::uint64_t nextId_ = 1;
    std::set<std::uint64_t> held_;
};
