#pragma once

#include <QString>
#include <QStringList>
#include <functional>

namespace capture {

enum class View { Color, Bottom };

inline const QString kColorView = QStringLiteral("Color");
inline const QString kBottomView = QStringLiteral("Bottom");

// "CLR_" or "BTM_".
QString viewPrefix(View view);

// Prefix, the sample number exactly as given, "_01." and the extension as stored. Saving, display
// and delete all name their files through this one function.
QString imageFileName(View view, const QString& sampleNumber, const QString& extension);

// The save folder setting immediately followed by the file name: no separator is inserted.
QString imagePath(const QString& saveDir, View view, const QString& sampleNumber,
                  const QString& extension);

// One compressor start: the text shown to the operator and the program with its arguments.
struct CompressionCommand {
    QString commandLine;
    QString program;
    QStringList arguments;
};

// The command line is the program setting, a blank, the picture path, a blank, the options, a
// blank and the compressed path, nothing quoted. The program and the options are split the way a
// command line is; each path stays one argument, so blanks in a folder or a sample number cannot
// split it.
CompressionCommand compressionCommand(const QString& compressExe, const QString& options,
                                      const QString& picturePath, const QString& compressedPath);

// A sample number becomes part of file names: path separators, "..", double quotes and control
// characters are refused.
bool isUsableSampleNumber(const QString& sampleNumber);

QString unusableSampleNumberMessage(const QString& sampleNumber);

// The file names are appended to the save folder setting as they are, so a value naming a folder
// must end with '/': an existing folder, or a network folder as the folder picker gives it
// ("\\host..."), without it would put the pictures beside that folder. A file-name prefix inside
// a folder ("/srv/images/station1_") is not a folder and is fine. The predicate is asked only when
// the value does not already settle the question.
bool saveDirLacksFinalSlash(const QString& saveDir,
                            const std::function<bool(const QString&)>& isExistingFolder);

// What the operator must change, for the saving message.
QString saveDirLacksFinalSlashNote(const QString& saveDir);

// "Error:" messages about missing settings, one line per missing name, then the note if any.
QString savingSettingsMessage(const QStringList& missingNames, const QString& note = {});
QString compressionSettingsMessage();
QString displaySettingsMessage();

}  // namespace capture
