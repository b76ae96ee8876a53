#pragma once

#include <QString>
#include <QStringList>

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

// "Error:" messages about missing settings, one line per missing name.
QString savingSettingsMessage(const QStringList& missingNames);
QString compressionSettingsMessage();
QString displaySettingsMessage();

}  // namespace capture
