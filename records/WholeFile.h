#pragma once

#include <QByteArrayView>
#include <QString>

namespace records {

// Writes the bytes under a hidden temporary name beside PATH, syncs them, gives them the name
// PATH unless a file already has it, and syncs the folder: the file is there whole or not at all.
// Returns false, leaving nothing behind, when the name is taken. Throws platform::FileAccessError
// naming the file on any other failure.
bool writeNewWholeFile(const QString& path, QByteArrayView bytes);

// Renames FROM to TO unless TO exists (also on file systems without an atomic way to ask). Returns
// false when TO is taken; throws platform::FileAccessError with the reason otherwise.
bool moveWithoutReplacing(const QString& from, const QString& to);

// The folder and its parents; throws platform::FileAccessError when it cannot be made.
void makeFolder(const QString& path);

// The names in a folder survive a power cut once it is synced.
void syncFolder(const QString& path);

}  // namespace records
