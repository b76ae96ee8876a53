#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <stdexcept>

#include "SoftwareSettings.h"

namespace settings {

// The settings file cannot be read or created; the text names the path and the reason.
class SettingsFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline const QString kSettingsFileName = QStringLiteral("settings.txt");
inline const QString kNormalType = QStringLiteral("NORMAL");

// The absolute current directory, the native separator and "settings.txt". Throws
// SettingsFileError when the current directory cannot be determined (it has been removed).
QString settingsFilePath();

// UTF-8 when the bytes are valid UTF-8 (a leading byte-order mark is dropped), else Windows-1252.
QString decodeSettingsText(const QByteArray& bytes);

// Lines ending in CR LF, LF or CR; the terminators are not part of the lines.
QStringList splitSettingsLines(const QString& text);

// Empties the table and fills it from the file at the path, creating the file from the default
// lines when it is missing; then adds each default setting the file does not define.
void loadSoftwareSettings(SoftwareSettings& table, const QStringList& defaultLines,
                          const QString& path);

// Writes the default lines, each ending in CR LF, when no file exists at the path.
void createSettingFile(const QStringList& defaultLines, const QString& path);

}  // namespace settings
