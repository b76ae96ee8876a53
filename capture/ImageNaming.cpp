#include "ImageNaming.h"

#include <QProcess>
#include <algorithm>

#include "OperatorMessage.h"

namespace capture {

namespace {

const QString kPleaseMakeSure = QStringLiteral(
    "Please make sure there are entries and values in the settings file for the following:");

}  // namespace

QString viewPrefix(View view) {
    return view == View::Color ? QStringLiteral("CLR_") : QStringLiteral("BTM_");
}

QString imageFileName(View view, const QString& sampleNumber, const QString& extension) {
    return viewPrefix(view) + sampleNumber + QStringLiteral("_01.") + extension;
}

QString imagePath(const QString& saveDir, View view, const QString& sampleNumber,
                  const QString& extension) {
    return saveDir + imageFileName(view, sampleNumber, extension);
}

CompressionCommand compressionCommand(const QString& compressExe, const QString& options,
                                      const QString& picturePath, const QString& compressedPath) {
    CompressionCommand command;
    const QString blank = QStringLiteral(" ");
    command.commandLine =
        compressExe + blank + picturePath + blank + options + blank + compressedPath;
    QStringList programWords = QProcess::splitCommand(compressExe);
    if (!programWords.isEmpty()) {
        command.program = programWords.takeFirst();
    }
    command.arguments = programWords;
    command.arguments.append(picturePath);
    command.arguments.append(QProcess::splitCommand(options));
    command.arguments.append(compressedPath);
    return command;
}

bool isUsableSampleNumber(const QString& sampleNumber) {
    if (sampleNumber.contains(QStringLiteral(".."))) {
        return false;
    }
    return std::none_of(sampleNumber.cbegin(), sampleNumber.cend(), [](QChar ch) {
        return ch == QLatin1Char('/') || ch == QLatin1Char('\\') || ch == QLatin1Char('"') ||
               ch.category() == QChar::Other_Control;
    });
}

QString unusableSampleNumberMessage(const QString& sampleNumber) {
    return platform::errorMessage(
        {QStringLiteral("The sample number cannot be used in a file name:"), QString(),
         platform::visibleCharacters(sampleNumber), QString(),
         QStringLiteral("It must not contain / or \\, two dots, a double quote or a control "
                        "character. Please scan the sample again.")});
}

bool saveDirLacksFinalSlash(const QString& saveDir,
                            const std::function<bool(const QString&)>& isExistingFolder) {
    if (saveDir.isEmpty() || saveDir.endsWith(QLatin1Char('/'))) {
        return false;
    }
    return saveDir.startsWith(QStringLiteral("\\\\")) || isExistingFolder(saveDir);
}

QString saveDirLacksFinalSlashNote(const QString& saveDir) {
    return QStringLiteral(
               "IMAGE_SAVE_DIR names the folder \"%1\": it needs a final / so that the "
               "pictures are saved inside it.")
        .arg(saveDir);
}

QString savingSettingsMessage(const QStringList& missingNames, const QString& note) {
    QStringList lines{QStringLiteral("Cannot save images because there are settings missing.  ") +
                          kPleaseMakeSure,
                      QString()};
    for (const QString& name : missingNames) {
        lines.append(QStringLiteral(" - ") + name);
    }
    if (!note.isEmpty()) {
        lines << QString() << note;
    }
    return platform::errorMessage(lines);
}

QString compressionSettingsMessage() {
    return platform::errorMessage(
        {QStringLiteral("Cannot compress the images because there are settings missing.  ") +
             kPleaseMakeSure,
         QString(), QStringLiteral(" - COMPRESS_EXE "), QStringLiteral(" - FILE_EXT_COMPRESSED")});
}

QString displaySettingsMessage() {
    return platform::errorMessage(
        {QStringLiteral("Cannot display images because there are settings missing.  ") +
             kPleaseMakeSure,
         QString(), QStringLiteral(" - FILE_EXT_COMPRESSED ")});
}

}  // namespace capture
