#pragma once

#include <QByteArray>
#include <QString>

// The file calls that the pair commit and the spool share: a failure thrown with its reason, a
// folder synced after renames in it, a small file written whole before anything relies on it.
namespace capture {

// Throws platform::FileAccessError "WHAT: <the system's text for ERROR>".
[[noreturn]] void throwFileError(const QString& what, int error);

// The renames in a folder survive a power cut only once the folder is synced.
void syncFolder(const QByteArray& folder);

// Creates PATH (never over an existing file), writes BYTES and syncs them; on failure removes it
// and throws platform::FileAccessError "WHAT: reason".
void writeNewFileSynced(const QByteArray& path, const QByteArray& bytes, const QString& what);

}  // namespace capture
