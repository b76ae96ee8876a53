#pragma once

#include <QString>
#include <QStringList>

namespace settings {

inline const QString kCompressExe = QStringLiteral("COMPRESS_EXE");
inline const QString kCompressCommandLineOptions = QStringLiteral("COMPRESS_COMMAND_LINE_OPTIONS");
inline const QString kFileExtCompressed = QStringLiteral("FILE_EXT_COMPRESSED");
inline const QString kFileExtSaved = QStringLiteral("FILE_EXT_SAVED");
inline const QString kImageSaveDir = QStringLiteral("IMAGE_SAVE_DIR");
// Optional lines, never written into a new file: where pairs wait while the save folder cannot
// take them, and how long a capture waits for the save folder before it keeps the pair there.
inline const QString kSpoolDir = QStringLiteral("SPOOL_DIR");
inline const QString kSpoolAfterSeconds = QStringLiteral("SPOOL_AFTER_SECONDS");
// Optional: the folder of the capture records, when not records/ inside the save folder.
inline const QString kRecordsDir = QStringLiteral("RECORDS_DIR");
// Optional: "no" (or "0", "false", "off") lets Redo overwrite the earlier pair and Delete remove
// the pictures, instead of keeping them in superseded/ and deleted/ of the save folder.
inline const QString kKeepReplacedPictures = QStringLiteral("KEEP_REPLACED_PICTURES");

// The five lines a new settings file is made of, in their index order 0..4. They are also the
// defaults for settings the file does not define.
inline QStringList defaultSettingLines() {
    return {
        QStringLiteral("COMPRESS_EXE;;The name of the compression software including its path and "
                       "file extension"),
        QStringLiteral("COMPRESS_COMMAND_LINE_OPTIONS;;Compression software command line switches "
                       "and/or options for converting"),
        QStringLiteral("FILE_EXT_COMPRESSED;JPG;File extension of the file after compression"),
        QStringLiteral("FILE_EXT_SAVED;BMP;File extension of the saved image file"),
        QStringLiteral("IMAGE_SAVE_DIR;;Directory where the files are saved"),
    };
}

}  // namespace settings
