#include "SpoolFolder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "FileOps.h"
#include "MountTable.h"
#include "PlatformError.h"
#include "StillPairCommit.h"

namespace capture {

namespace {

const QString kClaimPrefix = QStringLiteral(".forwarding-");
const QString kDestinationPrefix = QStringLiteral("to-");
constexpr qint64 kMaxRecordBytes = qint64{64} * 1024;

bool isBelow(const QString& folder, const QString& mountPoint) {
    return folder == mountPoint ||
           folder.startsWith(mountPoint.endsWith(QLatin1Char('/')) ? mountPoint
                                                                   : mountPoint + QLatin1Char('/'));
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// "CLR_x_01.BMP" in superseded/ that already holds one becomes "CLR_x_01 (2).BMP".
QString freeNameIn(const QDir& folder, const QString& fileName) {
    if (!folder.exists(fileName)) {
        return fileName;
    }
    const QFileInfo info(fileName);
    for (int copy = 2;; ++copy) {
        QString candidate =
            QStringLiteral("%1 (%2).%3").arg(info.completeBaseName()).arg(copy).arg(info.suffix());
        if (!folder.exists(candidate)) {
            return candidate;
        }
    }
}

}  // namespace

QString defaultSpoolDir() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/SampleImageStation/spool/");
}

bool isUnreachableError(int error) {
    constexpr std::array kUnreachable{ENOENT, EIO, ENOTCONN, ESTALE, EHOSTDOWN, ETIMEDOUT};
    return std::find(kUnreachable.begin(), kUnreachable.end(), error) != kUnreachable.end();
}

bool lacksItsMount(const QString& folder, const QByteArray& fstab, const QByteArray& mounts) {
    const QString cleaned = QDir::cleanPath(folder);
    const std::vector<network::MountEntry> mounted = network::parseMountTable(mounts);
    for (const network::MountEntry& entry : network::parseMountTable(fstab)) {
        const QString point = QDir::cleanPath(entry.mountPoint);
        if (entry.device.startsWith(QLatin1Char('#')) || !point.startsWith(QLatin1Char('/')) ||
            point == QStringLiteral("/") || !isBelow(cleaned, point)) {
            continue;
        }
        const bool isMounted =
            std::any_of(mounted.begin(), mounted.end(), [&point](const network::MountEntry& m) {
                return QDir::cleanPath(m.mountPoint) == point;
            });
        if (!isMounted) {
            return true;
        }
    }
    return false;
}

std::optional<QString> unreachableReason(const QString& folder) {
    struct stat status {};
    if (::stat(QFile::encodeName(folder).constData(), &status) != 0) {
        const int error = errno;
        if (isUnreachableError(error)) {
            return QStringLiteral("%1: %2").arg(folder,
                                                QString::fromLocal8Bit(std::strerror(error)));
        }
        return std::nullopt;
    }
    if (lacksItsMount(folder, readAll(QStringLiteral("/etc/fstab")),
                      readAll(QString::fromLatin1(network::kSystemMountTable)))) {
        return QStringLiteral("%1: the share it lies on is not mounted").arg(folder);
    }
    return std::nullopt;
}

QString absoluteSaveDir(const QString& saveDir) {
    if (saveDir.isEmpty()) {
        return saveDir;
    }
    QString cleaned = QDir::cleanPath(
        QDir::isAbsolutePath(saveDir) ? saveDir : QDir::currentPath() + QLatin1Char('/') + saveDir);
    if (saveDir.endsWith(QLatin1Char('/')) && !cleaned.endsWith(QLatin1Char('/'))) {
        cleaned += QLatin1Char('/');
    }
    return cleaned;
}

SpoolFolder::SpoolFolder(QString dir, QString destination)
    : dir_(std::move(dir)), destination_(std::move(destination)) {
    if (!dir_.endsWith(QLatin1Char('/'))) {
        dir_ += QLatin1Char('/');
    }
}

SpoolFolder SpoolFolder::forDestination(const QString& root, const QString& saveDir) {
    QString destination = absoluteSaveDir(saveDir);
    const QByteArray hash =
        QCryptographicHash::hash(destination.toUtf8(), QCryptographicHash::Sha256).toHex();
    return SpoolFolder(
        SpoolFolder(root).dir() + kDestinationPrefix + QString::fromLatin1(hash.left(16)),
        std::move(destination));
}

std::vector<SpoolFolder> SpoolFolder::destinationsIn(const QString& root) {
    std::vector<SpoolFolder> folders;
    const QFileInfoList entries = QDir(root).entryInfoList({kDestinationPrefix + QLatin1Char('*')},
                                                           QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        QFile record(entry.absoluteFilePath() + QLatin1Char('/') + QLatin1String(kDestinationFile));
        QString destination = record.open(QIODevice::ReadOnly)
                                  ? QString::fromUtf8(record.read(kMaxRecordBytes))
                                  : QString();
        // Written whole with its final line break before any pair goes in.
        if (destination.size() > 1 && destination.endsWith(QLatin1Char('\n'))) {
            destination.chop(1);
            folders.emplace_back(entry.absoluteFilePath(), destination);
        }
    }
    return folders;
}

QString SpoolFolder::claimedPathOf(const QString& fileName) const {
    return dir_ + kClaimPrefix + fileName;
}

QString SpoolFolder::sampleOfKey(const QString& key) {
    return key.endsWith(QStringLiteral("_01")) ? key.chopped(3) : key;
}

QString SpoolFolder::recordPathOf(const QString& key) const {
    return dir_ + QStringLiteral("records/") + key + QStringLiteral(".json");
}

QString SpoolFolder::supersededDir() const {
    return dir_ + QLatin1String(kSupersededFolder) + QLatin1Char('/');
}

void SpoolFolder::create() const {
    if (!QDir().mkpath(dir_) ||
        !QFile::setPermissions(dir_, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        throw platform::FileAccessError(
            QStringLiteral("cannot create the folder %1 for this user").arg(dir_));
    }
    const QString record = dir_ + QLatin1String(kDestinationFile);
    if (destination_.isEmpty() || QFileInfo::exists(record)) {
        return;
    }
    // Under a temporary name until it is whole, so that a crash leaves no record cut short.
    const QByteArray temporary = QFile::encodeName(temporaryPathFor(record));
    writeNewFileSynced(temporary, destination_.toUtf8() + '\n',
                       QStringLiteral("cannot record the save folder in %1").arg(dir_));
    if (::rename(temporary.constData(), QFile::encodeName(record).constData()) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        throwFileError(QStringLiteral("cannot record the save folder in %1").arg(dir_), error);
    }
    syncFolder(QFile::encodeName(dir_));
    syncFolder(QFile::encodeName(QFileInfo(QDir::cleanPath(dir_)).absolutePath()));
}

ForwardingLock::~ForwardingLock() {
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
}

ForwardingLock SpoolFolder::lockForwarding(bool exclusive) const {
    const int descriptor =
        ::open(QFile::encodeName(dir_ + QStringLiteral(".station.lock")).constData(),
               O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ForwardingLock lock(descriptor);
    if (descriptor >= 0 && ::flock(descriptor, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        return {};
    }
    return lock;
}

void SpoolFolder::adoptFlatSpool(const QString& root) const {
    const QDir flat(root);
    bool adopted = false;
    for (const QString& name : flat.entryList(QDir::Files | QDir::Hidden)) {
        const QString plain = name.startsWith(kClaimPrefix) ? name.mid(kClaimPrefix.size()) : name;
        if (sampleKey(plain).isEmpty()) {
            continue;
        }
        if (!adopted) {
            create();
            adopted = true;
        }
        // Never over a file of the same name: that one was spooled later.
        QFile::rename(flat.filePath(name), dir_ + name);
    }
    if (adopted) {
        syncFolder(QFile::encodeName(dir_));
        syncFolder(QFile::encodeName(flat.absolutePath()));
    }
}

QString SpoolFolder::sampleKey(const QString& fileName) {
    const bool stationName =
        fileName.startsWith(QStringLiteral("CLR_")) || fileName.startsWith(QStringLiteral("BTM_"));
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    if (!stationName || dot <= 4) {
        return {};
    }
    return fileName.mid(4, dot - 4);
}

std::vector<SpoolFolder::Waiting> SpoolFolder::waiting() const {
    std::vector<Waiting> samples;
    const QFileInfoList files =
        QDir(dir_).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QFileInfo& file : files) {
        QString name = file.fileName();
        if (name.startsWith(kClaimPrefix)) {
            name.remove(0, kClaimPrefix.size());
        } else if (name.startsWith(QLatin1Char('.'))) {
            continue;  // a temporary still being written
        }
        const QString key = sampleKey(name);
        if (key.isEmpty()) {
            continue;
        }
        auto found = std::find_if(samples.begin(), samples.end(),
                                  [&key](const Waiting& sample) { return sample.key == key; });
        if (found == samples.end()) {
            samples.push_back({key, {}, file.lastModified()});
            found = samples.end() - 1;
        }
        if (!found->names.contains(name)) {
            found->names.append(name);
        }
        found->oldest = std::min(found->oldest, file.lastModified());
    }
    std::stable_sort(samples.begin(), samples.end(),
                     [](const Waiting& a, const Waiting& b) { return a.oldest < b.oldest; });
    return samples;
}

QString SpoolFolder::locate(const QString& fileName) const {
    for (const QString& path : {pathOf(fileName), claimedPathOf(fileName)}) {
        if (QFileInfo::exists(path)) {
            return path;
        }
    }
    return {};
}

QStringList SpoolFolder::setAside(const QString& key) const {
    QStringList moved;
    for (const Waiting& sample : waiting()) {
        if (sample.key != key) {
            continue;
        }
        const QDir superseded(supersededDir());
        QDir().mkpath(superseded.path());
        for (const QString& name : sample.names) {
            if (!locate(name).isEmpty() && moveInto(superseded, name)) {
                moved.append(name);
            }
        }
    }
    return moved;
}

QStringList SpoolFolder::keepDeleted(const QStringList& names) const {
    const QDir deleted(dir_ + QStringLiteral("deleted"));
    QStringList failed;
    for (const QString& name : names) {
        if (!locate(name).isEmpty() &&
            (!QDir().mkpath(deleted.path()) || !moveInto(deleted, name))) {
            failed.append(locate(name));
        }
    }
    return failed;
}

bool SpoolFolder::moveInto(const QDir& folder, const QString& fileName) const {
    bool moved = true;
    for (const QString& path : {claimedPathOf(fileName), pathOf(fileName)}) {
        if (QFileInfo::exists(path)) {
            moved = QFile::rename(path, folder.filePath(freeNameIn(folder, fileName))) && moved;
        }
    }
    return moved;
}

}  // namespace capture
