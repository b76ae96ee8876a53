#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringView>
#include <optional>
#include <vector>

namespace network {

// One line of the kernel's mount table, with its octal escapes (\040 for a blank) undone.
struct MountEntry {
    QString device;
    QString mountPoint;
    QString fileSystemType;

    friend bool operator==(const MountEntry&, const MountEntry&) = default;
};

// A share of another computer that is mounted here.
struct NetworkMount {
    QString computer;
    QString share;
    QString mountPoint;

    friend bool operator==(const NetworkMount&, const NetworkMount&) = default;
};

inline constexpr auto kSystemMountTable = "/proc/self/mounts";

// The table as the kernel writes it: UTF-8, one mount a line, fields separated by blanks. Lines
// with fewer than three fields are skipped.
std::vector<MountEntry> parseMountTable(QByteArrayView text);

// Undoes the kernel's \ooo escapes; a backslash not followed by three octal digits stays as it is.
QString unescapeMountField(QByteArrayView field);

// SMB (cifs, smb3: //host/share), NFS (nfs, nfs4: host:/export), SSH (fuse.sshfs:
// [user@]host:path) and WebDAV (davfs: http[s]://host/path) mounts; nothing for local file systems
// or for a device that names no computer and share.
std::optional<NetworkMount> networkMount(const MountEntry& entry);

// The file system under which GVfs shows the shares a desktop user opened in the file manager.
inline constexpr auto kGvfsFileSystemType = "fuse.gvfsd-fuse";

// The computer and share of a GVfs SMB folder name, "smb-share:server=HOST,share=NAME" with any
// further keys in any order and %XX escapes undone; the mount point stays empty. Nothing for
// other GVfs folders.
std::optional<NetworkMount> gvfsSmbShare(QStringView folderName);

// The network mounts listed in a mount table file, then the SMB shares inside each GVfs folder it
// lists; none when the file cannot be read.
std::vector<NetworkMount> readNetworkMounts(const QString& mountTablePath);

}  // namespace network
