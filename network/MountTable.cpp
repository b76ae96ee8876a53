#include "MountTable.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QUrl>

namespace network {

namespace {

bool isOctalDigit(char c) {
    return c >= '0' && c <= '7';
}

QStringView afterPrefix(QStringView text, QStringView prefix) {
    return text.startsWith(prefix) ? text.sliced(prefix.size()) : QStringView();
}

// //host/share or //host/share/sub/folder; the share keeps any sub-folder.
std::optional<NetworkMount> smbMount(const MountEntry& entry) {
    QString device = entry.device;
    if (device.startsWith(QLatin1String("\\\\"))) {
        device.replace(QLatin1Char('\\'), QLatin1Char('/'));
    }
    const QStringView rest = afterPrefix(device, u"//");
    const qsizetype slash = rest.indexOf(QLatin1Char('/'));
    if (slash <= 0) {
        return std::nullopt;
    }
    QStringView share = rest.sliced(slash + 1);
    while (share.endsWith(QLatin1Char('/'))) {
        share.chop(1);
    }
    if (share.isEmpty()) {
        return std::nullopt;
    }
    return NetworkMount{rest.first(slash).toString(), share.toString(), entry.mountPoint};
}

struct HostAndPath {
    QStringView host;
    QStringView path;
};

// host:path, or [v6 address]:path.
std::optional<HostAndPath> splitAtHostColon(QStringView device) {
    qsizetype colon = -1;
    QStringView host;
    if (device.startsWith(QLatin1Char('['))) {
        const qsizetype close = device.indexOf(QLatin1Char(']'));
        if (close < 0 || close + 1 >= device.size() || device.at(close + 1) != QLatin1Char(':')) {
            return std::nullopt;
        }
        host = device.sliced(1, close - 1);
        colon = close + 1;
    } else {
        colon = device.indexOf(QLatin1Char(':'));
        if (colon < 0) {
            return std::nullopt;
        }
        host = device.first(colon);
    }
    if (host.isEmpty()) {
        return std::nullopt;
    }
    return HostAndPath{host, device.sliced(colon + 1)};
}

// host:/export, or [v6 address]:/export.
std::optional<NetworkMount> nfsMount(const MountEntry& entry) {
    const auto parts = splitAtHostColon(entry.device);
    if (!parts || !parts->path.startsWith(QLatin1Char('/'))) {
        return std::nullopt;
    }
    return NetworkMount{parts->host.toString(), parts->path.toString(), entry.mountPoint};
}

// [user@]host:path; an empty path is the remote user's home folder.
std::optional<NetworkMount> sshfsMount(const MountEntry& entry) {
    QStringView device = entry.device;
    const qsizetype at = device.indexOf(QLatin1Char('@'));
    const qsizetype firstColon = device.indexOf(QLatin1Char(':'));
    if (at >= 0 && at < firstColon) {
        device = device.sliced(at + 1);
    }
    const auto parts = splitAtHostColon(device);
    if (!parts) {
        return std::nullopt;
    }
    const QString path = parts->path.isEmpty() ? QStringLiteral("~") : parts->path.toString();
    return NetworkMount{parts->host.toString(), path, entry.mountPoint};
}

bool isWebUrl(QStringView device) {
    return device.startsWith(QLatin1String("http://"), Qt::CaseInsensitive) ||
           device.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
}

// http[s]://host[:port]/path; the path is shown decoded, "/" for the server's root.
std::optional<NetworkMount> davfsMount(const MountEntry& entry) {
    if (!isWebUrl(entry.device)) {
        return std::nullopt;
    }
    const QUrl url(entry.device, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()) {
        return std::nullopt;
    }
    QString path = url.path(QUrl::FullyDecoded);
    while (path.size() > 1 && path.endsWith(QLatin1Char('/'))) {
        path.chop(1);
    }
    return NetworkMount{url.host(), path.isEmpty() ? QStringLiteral("/") : path, entry.mountPoint};
}

// davfs2 mounts through FUSE; depending on its version the table names the type davfs or fuse.
bool isDavfsType(const QString& type, const QString& device) {
    return type == QLatin1String("davfs") || type == QLatin1String("fuse.davfs") ||
           (type == QLatin1String("fuse") && isWebUrl(device));
}

void appendGvfsShares(const QString& gvfsFolder, std::vector<NetworkMount>& mounts) {
    // The GVfs daemon answers this listing from its own table of mounts, without the network.
    const QDir folder(gvfsFolder);
    const QStringList names =
        folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    for (const QString& name : names) {
        if (auto share = gvfsSmbShare(name)) {
            share->mountPoint = folder.filePath(name);
            mounts.push_back(std::move(*share));
        }
    }
}

}  // namespace

QString unescapeMountField(QByteArrayView field) {
    QByteArray bytes;
    bytes.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        const char c = field.at(i);
        if (c == '\\' && i + 3 < field.size() && isOctalDigit(field.at(i + 1)) &&
            isOctalDigit(field.at(i + 2)) && isOctalDigit(field.at(i + 3))) {
            const int value = (field.at(i + 1) - '0') * 64 + (field.at(i + 2) - '0') * 8 +
                              (field.at(i + 3) - '0');
            bytes.append(static_cast<char>(value));
            i += 3;
        } else {
            bytes.append(c);
        }
    }
    return QString::fromUtf8(bytes);
}

std::vector<MountEntry> parseMountTable(QByteArrayView text) {
    std::vector<MountEntry> entries;
    const QList<QByteArray> lines = text.toByteArray().split('\n');
    for (const QByteArray& line : lines) {
        QList<QByteArray> fields;
        for (const QByteArray& field : line.split(' ')) {
            if (!field.isEmpty()) {
                fields.append(field);
            }
        }
        if (fields.size() < 3) {
            continue;
        }
        entries.push_back({unescapeMountField(fields.at(0)), unescapeMountField(fields.at(1)),
                           unescapeMountField(fields.at(2))});
    }
    return entries;
}

std::optional<NetworkMount> networkMount(const MountEntry& entry) {
    const QString& type = entry.fileSystemType;
    if (entry.mountPoint.isEmpty()) {
        return std::nullopt;
    }
    if (type == QLatin1String("cifs") || type == QLatin1String("smb3")) {
        return smbMount(entry);
    }
    if (type == QLatin1String("nfs") || type == QLatin1String("nfs4")) {
        return nfsMount(entry);
    }
    if (type == QLatin1String("fuse.sshfs")) {
        return sshfsMount(entry);
    }
    if (isDavfsType(type, entry.device)) {
        return davfsMount(entry);
    }
    return std::nullopt;
}

std::optional<NetworkMount> gvfsSmbShare(QStringView folderName) {
    const QStringView keys = afterPrefix(folderName, u"smb-share:");
    NetworkMount share;
    for (const QStringView pair : keys.split(QLatin1Char(','))) {
        const qsizetype equals = pair.indexOf(QLatin1Char('='));
        if (equals <= 0) {
            continue;
        }
        const QStringView key = pair.first(equals);
        const QString value =
            QString::fromUtf8(QByteArray::fromPercentEncoding(pair.sliced(equals + 1).toUtf8()));
        if (key == u"server") {
            share.computer = value;
        } else if (key == u"share") {
            share.share = value;
        }
    }
    if (share.computer.isEmpty() || share.share.isEmpty()) {
        return std::nullopt;
    }
    return share;
}

std::vector<NetworkMount> readNetworkMounts(const QString& mountTablePath) {
    QFile file(mountTablePath);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    // The kernel's table reports a size of 0, so read until the end rather than by size.
    const QByteArray text = file.readAll();
    const std::vector<MountEntry> entries = parseMountTable(text);
    std::vector<NetworkMount> mounts;
    for (const MountEntry& entry : entries) {
        if (auto mount = networkMount(entry)) {
            mounts.push_back(std::move(*mount));
        }
    }
    for (const MountEntry& entry : entries) {
        if (entry.fileSystemType == QLatin1String(kGvfsFileSystemType)) {
            appendGvfsShares(entry.mountPoint, mounts);
        }
    }
    return mounts;
}

}  // namespace network
