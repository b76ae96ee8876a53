#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>
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

// The local folder where a pair waits, under its final names, while the save folder cannot take
// it. A pair being forwarded is first renamed to a hidden claimed name, so that a newer capture of
// the same sample spooled meanwhile cannot be mistaken for it.
class SpoolFolder {
public:
    static constexpr auto kSupersededFolder = "superseded";

    explicit SpoolFolder(QString dir);  // a final '/' is added when missing

    const QString& dir() const { return dir_; }
    QString pathOf(const QString& fileName) const { return dir_ + fileName; }
    QString claimedPathOf(const QString& fileName) const;
    QString supersededDir() const;

    // Creates the folder for this user only; throws platform::FileAccessError.
    void create() const;

    // "CLR_12345678_01.BMP" -> "12345678_01": the files of one sample share it. Empty for a name
    // the station does not make.
    static QString sampleKey(const QString& fileName);

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

private:
    QString dir_;
};

}  // namespace capture
