#include "SettingsFile.h"

#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace settings {

namespace {

constexpr QChar kSeparator = QLatin1Char(';');

SettingsFileError fileError(const QString& action, const QString& path, const QString& reason) {
    return SettingsFileError{QStringLiteral("Cannot %1 the settings file %2: %3")
                                 .arg(action, path, reason)
                                 .toStdString()};
}

// Windows-1252 differs from Latin-1 only in 0x80..0x9F; the five unused codes stay as Latin-1.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

QString decodeWindows1252(const QByteArray& bytes) {
    QString text(bytes.size(), Qt::Uninitialized);
    QChar* out = text.data();
    for (const char byte : bytes) {
        const auto code = static_cast<unsigned char>(byte);
        *out++ = (code >= 0x80 && code <= 0x9F) ? QChar(kCp1252High[code - 0x80]) : QChar(code);
    }
    return text;
}

QByteArray encodeWindows1252(const QString& text) {
    QByteArray bytes;
    bytes.reserve(text.size());
    for (const QChar ch : text) {
        const char16_t code = ch.unicode();
        if (code < 0x80 || (code >= 0xA0 && code <= 0xFF)) {
            bytes.append(static_cast<char>(code));
            continue;
        }
        const auto* found = std::find(kCp1252High.begin(), kCp1252High.end(), code);
        bytes.append(found != kCp1252High.end()
                         ? static_cast<char>(0x80 + (found - kCp1252High.begin()))
                         : '?');
    }
    return bytes;
}

QByteArray readSettingsBytes(const QString& path) {
    if (QFileInfo(path).isDir()) {
        throw fileError(QStringLiteral("read"), path, QStringLiteral("it is a folder"));
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw fileError(QStringLiteral("read"), path, file.errorString());
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        throw fileError(QStringLiteral("read"), path, file.errorString());
    }
    return bytes;
}

// Runs one step of the load. Once the load is tolerant a failing step is abandoned and the load
// goes on; before that the failure ends the load.
template <typename Step>
void runStep(bool tolerant, Step&& step) {
    if (!tolerant) {
        step();
        return;
    }
    try {
        step();
    } catch (const std::exception&) {  // NOLINT(bugprone-empty-catch): skipping is the rule here
    }
}

// Adds a record under the name, then stores each field through a fresh lookup, so that when the
// add fails because the name is present, the later line's fields land in the existing record.
void storeSetting(SoftwareSettings& table, const QString& name, const QString& value,
                  const QString& description, bool tolerant) {
    runStep(tolerant, [&] { table.add(std::make_shared<Settings>(), name); });
    runStep(tolerant, [&] { table.item(name)->setSetting(name); });
    runStep(tolerant, [&] { table.item(name)->setValueValue(value); });
    runStep(tolerant, [&] { table.item(name)->setDescription(description); });
    runStep(tolerant, [&] { table.item(name)->setType_(kNormalType); });
}

}  // namespace

QString settingsFilePath() {
    // Asked directly: Qt gives an empty path when the working folder has been removed, and the
    // settings file would then be looked for, or created, at the file-system root.
    const std::unique_ptr<char, decltype(&std::free)> folder(::getcwd(nullptr, 0), &std::free);
    if (folder == nullptr) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        throw SettingsFileError{
            QStringLiteral("Cannot find the settings file: the working folder cannot be "
                           "determined (%1). Start the station from an existing folder.")
                .arg(reason)
                .toStdString()};
    }
    return QDir::toNativeSeparators(QFile::decodeName(folder.get())) + QDir::separator() +
           kSettingsFileName;
}

QString decodeSettingsText(const QByteArray& bytes) {
    // The decoder keeps the mark, so that exactly one is dropped below (a second one is text).
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = utf8.decode(bytes);
    if (utf8.hasError()) {
        return decodeWindows1252(bytes);
    }
    if (text.startsWith(QChar(0xFEFF))) {
        text.remove(0, 1);
    }
    return text;
}

QStringList splitSettingsLines(const QString& text) {
    QStringList lines;
    qsizetype start = 0;
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        const QChar ch = text.at(i);
        if (ch != QLatin1Char('\r') && ch != QLatin1Char('\n')) {
            continue;
        }
        lines.append(text.mid(start, i - start));
        if (ch == QLatin1Char('\r') && i + 1 < size && text.at(i + 1) == QLatin1Char('\n')) {
            ++i;
        }
        start = i + 1;
    }
    if (start < size) {
        lines.append(text.mid(start));
    }
    return lines;
}

void loadSoftwareSettings(SoftwareSettings& table, const QStringList& defaultLines,
                          const QString& path) {
    // Same result as removing position 1 until empty, without re-indexing after every removal
    // (quadratic for a table that already holds many records).
    table.clear();

    bool tolerant = false;
    if (!QFileInfo::exists(path)) {
        createSettingFile(defaultLines, path);
    } else {
        const QStringList lines = splitSettingsLines(decodeSettingsText(readSettingsBytes(path)));
        for (const QString& line : lines) {
            // Lines without a separator, empty lines included, define nothing.
            const qsizetype separators = line.count(kSeparator);
            if (separators == 0) {
                continue;
            }
            // Counted first: splitting a long run of separators costs far more memory than the
            // line itself, and only lines with exactly two separators define a setting.
            if (separators == 2) {
                const QStringList fields = line.split(kSeparator, Qt::KeepEmptyParts);
                storeSetting(table, fields[0], fields[1], fields[2], tolerant);
            }
            tolerant = true;
        }
    }

    for (const QString& defaultLine : defaultLines) {
        const QStringList fields = defaultLine.split(kSeparator, Qt::KeepEmptyParts);
        const QString name = fields.value(0);
        // Names compare regardless of case, so a default written in lower case keeps its value.
        bool present = false;
        for (int position = 1; position <= table.count() && !present; ++position) {
            present = table.item(position)->setting().compare(name, Qt::CaseInsensitive) == 0;
        }
        if (!present) {
            storeSetting(table, name, fields.value(1), fields.value(2), tolerant);
        }
    }
}

void createSettingFile(const QStringList& defaultLines, const QString& path) {
    if (QFileInfo::exists(path)) {
        return;
    }
    QByteArray content;
    for (const QString& line : defaultLines) {
        content += encodeWindows1252(line);
        content += "\r\n";
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        throw fileError(QStringLiteral("create"), path, file.errorString());
    }
    if (file.write(content) != content.size() || !file.commit()) {
        throw fileError(QStringLiteral("create"), path, file.errorString());
    }
}

}  // namespace settings
