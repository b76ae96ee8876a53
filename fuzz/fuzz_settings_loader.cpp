// libFuzzer target: arbitrary bytes as the settings file, checked against a reference parser.
#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "SettingNames.h"
#include "SettingsFile.h"
#include "SoftwareSettings.h"

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "settings fuzz invariant violated: %s\n", what);
        std::abort();
    }
}

struct Expected {
    QString name;
    QString value;
    QString description;
};

// Written without the loader's helpers so that a fault in them cannot hide in the expectation.
QStringList referenceLines(const QString& text) {
    QStringList lines;
    QString current;
    bool pending = false;  // characters seen since the last terminator
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar ch = text[i];
        if (ch == u'\r' || ch == u'\n') {
            lines.append(current);
            current.clear();
            pending = false;
            if (ch == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
                ++i;
            }
            continue;
        }
        current.append(ch);
        pending = true;
    }
    if (pending) {
        lines.append(current);
    }
    return lines;
}

// Table order: first appearance of each name (regardless of case), last line's fields; then the
// defaults the file does not define, in their order.
std::vector<Expected> referenceTable(const QString& text, const QStringList& defaultLines) {
    std::vector<Expected> table;
    QHash<QString, std::size_t> positionOf;
    auto put = [&](const QString& name, const QString& value, const QString& description) {
        const QString key = name.toCaseFolded();
        const auto found = positionOf.constFind(key);
        if (found == positionOf.constEnd()) {
            positionOf.insert(key, table.size());
            table.push_back({name, value, description});
        } else {
            table[*found] = {name, value, description};
        }
    };
    for (const QString& line : referenceLines(text)) {
        std::vector<qsizetype> cuts;
        for (qsizetype i = 0; i < line.size() && cuts.size() < 3; ++i) {
            if (line[i] == u';') {
                cuts.push_back(i);
            }
        }
        if (cuts.size() != 2) {
            continue;
        }
        put(line.left(cuts[0]), line.mid(cuts[0] + 1, cuts[1] - cuts[0] - 1),
            line.mid(cuts[1] + 1));
    }
    for (const QString& defaultLine : defaultLines) {
        const QStringList fields = defaultLine.split(u';');
        if (!positionOf.contains(fields[0].toCaseFolded())) {
            put(fields[0], fields[1], fields[2]);
        }
    }
    return table;
}

void checkDecodeAndSplit(const QByteArray& bytes) {
    const QString text = settings::decodeSettingsText(bytes);
    const QByteArray bom("\xef\xbb\xbf");
    const QByteArray withoutBom = bytes.startsWith(bom) ? bytes.mid(bom.size()) : bytes;
    // Either the UTF-8 reading (round-trips exactly) or one character per byte.
    check(text.toUtf8() == withoutBom || text.size() == bytes.size(), "decoded text size");

    const QStringList lines = settings::splitSettingsLines(text);
    for (const QString& line : lines) {
        check(!line.contains(u'\r') && !line.contains(u'\n'), "line holds a terminator");
    }
    check(lines == referenceLines(text), "lines differ from the reference split");
}

const QString& settingsPath() {
    // One folder for the whole run; its destructor at exit removes it.
    static const QTemporaryDir folder;
    static const QString path = folder.filePath(QStringLiteral("settings.txt"));
    check(folder.isValid(), "temporary folder");
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    checkDecodeAndSplit(bytes);

    const QString& path = settingsPath();
    {
        QFile file(path);
        check(file.open(QIODevice::WriteOnly | QIODevice::Truncate), "open for writing");
        check(file.write(bytes) == bytes.size(), "write");
    }

    static const QStringList defaultLines = settings::defaultSettingLines();
    settings::SoftwareSettings table;
    settings::loadSoftwareSettings(table, defaultLines, path);

    {
        QFile file(path);
        check(file.open(QIODevice::ReadOnly), "open for reading");
        check(file.readAll() == bytes, "the load changed the file");
    }

    for (const QString& name :
         {settings::kCompressExe, settings::kCompressCommandLineOptions,
          settings::kFileExtCompressed, settings::kFileExtSaved, settings::kImageSaveDir}) {
        check(table.contains(name.toLower()), "default name missing");
        check(table.item(name) == table.item(name.toLower()), "lookup ignores case");
    }

    const std::vector<Expected> expected =
        referenceTable(settings::decodeSettingsText(bytes), defaultLines);
    check(table.count() == static_cast<int>(expected.size()), "record count");
    for (int position = 1; position <= table.count(); ++position) {
        const auto record = table.item(position);
        const Expected& want = expected[static_cast<std::size_t>(position - 1)];
        check(record->setting() == want.name, "name at its position");
        check(record->value().isString(), "value is a string");
        check(record->value().toString() == want.value, "value is the last line's");
        check(record->description() == want.description, "description is the last line's");
        check(record->type_() == settings::kNormalType, "type tag");
        check(table.item(want.name) == record, "lookup by name finds the record");
    }
    return 0;
}
