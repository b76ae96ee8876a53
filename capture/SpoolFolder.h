#pragma once

#include <QDateTime>
#include <QDir>
#include <QString>
#include <QStringList>
#include <optional>
#include <utility>
#include <vector>

namespace capture {

// SampleImageStation/spool/ in the user's data folder ($XDG_DATA_HOME, else ~/.local/share).
QString defaultSpoolDir();

// The errors of a save folder that is out of reach rather than refusing: a share that went away,
// a server that stopped answering, a folder that vanished with its mount.
bool isUnreachableError(int error);

// True when the folder lies below a mount point that the fstab text names (other than "/") and
// that the mount table text does not list: the share is gone, and writing would fill the empty
// folder it leaves on the local disk.
bool lacksItsMount(const QString& folder, const QByteArray& fstab, const QByteArray& mounts);

// Why the save folder cannot be reached, or nothing when it can (or refuses for another reason).
// Blocks as long as the folder does: call it off the window's thread.
std::optional<QString> unreachableReason(const QString& folder);

// The save folder setting as an absolute path, relative ones to the working folder (each station
// has its own); a final file-name prefix is kept.
QString absoluteSaveDir(const QString& saveDir);

// A lock on a spool folder's forwarding, held while it lives (an open file with flock).
class ForwardingLock {
public:
    ForwardingLock() = default;
    explicit ForwardingLock(int descriptor) : descriptor_(descriptor) {}
    ~ForwardingLock();
    ForwardingLock(ForwardingLock&& other) noexcept
        : descriptor_(std::exchange(other.descriptor_, -1)) {}
    ForwardingLock& operator=(ForwardingLock&& other) noexcept {
        std::swap(descriptor_, other.descriptor_);
        return *this;
    }
    ForwardingLock(const ForwardingLock&) = delete;
    ForwardingLock& operator=(const ForwardingLock&) = delete;

    bool held() const { return descriptor_ >= 0; }

private:
    int descriptor_ = -1;
};

// The local folder where a pair waits, under its final names, while the save folder cannot take
// it. A pair being forwarded is first renamed to a hidden claimed name, so that a newer capture of
// the same sample spooled meanwhile cannot be mistaken for it.
//
// The spool holds one such folder per save folder (its destination), so that a pair goes only
// where it was taken for, whichever station set-up runs when that folder is back.
class SpoolFolder {
public:
    static constexpr auto kSupersededFolder = "superseded";
    static constexpr auto kDestinationFile = "destination.txt";

    // A final '/' is added when missing. DESTINATION: the save folder its pairs go to, recorded in
    // it by create().
    explicit SpoolFolder(QString dir, QString destination = {});

    // The destination folder of SAVE_DIR inside the spool ROOT: named after its absolute path.
    static SpoolFolder forDestination(const QString& root, const QString& saveDir);
    // The destination folders of ROOT that record their save folder.
    static std::vector<SpoolFolder> destinationsIn(const QString& root);

    const QString& dir() const { return dir_; }
    const QString& destination() const { return destination_; }
    QString pathOf(const QString& fileName) const { return dir_ + fileName; }
    QString claimedPathOf(const QString& fileName) const;
    QString supersededDir() const;
    // Where the record of a sample's pair waits with it (a folder that waiting() does not list).
    QString recordPathOf(const QString& key) const;

    // Creates the folder for this user only, and records its destination when it has one (synced:
    // a pair without it could not go anywhere); throws platform::FileAccessError.
    void create() const;

    // Every running station whose save folder this is holds it shared, so that no other station
    // forwards its pairs meanwhile: only it knows which of them its compressors still write and
    // which its direct captures set aside. Another station forwards them only holding it
    // exclusively. Not held when another station holds it otherwise.
    ForwardingLock lockForwarding(bool exclusive) const;

    // Moves the station's files waiting directly in ROOT (a spool kept before there were
    // destination folders) into this folder; a crash's leftovers there must be recovered first.
    void adoptFlatSpool(const QString& root) const;

    // "CLR_12345678_01.BMP" -> "12345678_01": the files of one sample share it. Empty for a name
    // the station does not make.
    static QString sampleKey(const QString& fileName);
    // "12345678_01" -> "12345678", as the operator scanned it.
    static QString sampleOfKey(const QString& key);

    // One sample's waiting files (plain and claimed names, as plain names), oldest first.
    struct Waiting {
        QString key;
        QStringList names;
        QDateTime oldest;
    };
    std::vector<Waiting> waiting() const;

    // The waiting copy of a file: its plain path, else its claimed path, else empty.
    QString locate(const QString& fileName) const;

    // Moves every waiting file of the sample into superseded/, never over an earlier one there;
    // the names moved.
    QStringList setAside(const QString& key) const;
    // Moves the waiting files of these names into deleted/, never over an earlier one there: a
    // sample deleted before it reached the save folder is kept as it would be there. The names
    // that could not be moved.
    QStringList keepDeleted(const QStringList& names) const;

private:
    // Moves FILE_NAME's waiting copies into FOLDER; false when one could not be moved.
    bool moveInto(const QDir& folder, const QString& fileName) const;

    QString dir_;
    QString destination_;
};

}  // namespace capture
