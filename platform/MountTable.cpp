#include "MountTable.h"

#include <QFile>
#include <QList>

namespace platform {

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

// host:/export, or [v6 address]:/export.
std::optional<NetworkMount> nfsMount(const MountEntry& entry) {
    const QStringView device = entry.device;
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
    const QStringView exportPath = device.sliced(colon + 1);
    if (host.isEmpty() || !exportPath.startsWith(QLatin1Char('/'))) {
        return std::nullopt;
    }
    return NetworkMount{host.toString(), exportPath.toString(), entry.mountPoint};
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
    return std::nullopt;
}

std::vector<NetworkMount> readNetworkMounts(const QString& mountTablePath) {
    QFile file(mountTablePath);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    // The kernel's table reports a size of 0, so read until the end rather than by size.
    const QByteArray text = file.readAll();
    std::vector<NetworkMount> mounts;
    for (const MountEntry& entry : parseMountTable(text)) {
        if (auto mount = networkMount(entry)) {
            mounts.push_back(std::move(*mount));
        }
    }
    return mounts;
}

}  // namespace platform
