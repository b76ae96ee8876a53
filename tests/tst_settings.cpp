// The settings record and table, and loading and creating the settings file on real files.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "SettingNames.h"
#include "SettingsFile.h"
#include "SoftwareSettings.h"

using settings::Settings;
using settings::SoftwareSettings;

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

// "NAME=VALUE" for each record, in table order.
QStringList contents(const SoftwareSettings& table) {
    QStringList lines;
    for (int position = 1; position <= table.count(); ++position) {
        const auto record = table.item(position);
        lines.append(record->setting() + QLatin1Char('=') + record->value().toString());
    }
    return lines;
}

const QByteArray kDefaultFile =
    "COMPRESS_EXE;;The name of the compression software including its path and file extension\r\n"
    "COMPRESS_COMMAND_LINE_OPTIONS;;Compression software command line switches and/or options for "
    "converting\r\n"
    "FILE_EXT_COMPRESSED;JPG;File extension of the file after compression\r\n"
    "FILE_EXT_SAVED;BMP;File extension of the saved image file\r\n"
    "IMAGE_SAVE_DIR;;Directory where the files are saved\r\n";

const QStringList kDefaultsOnly{
    QStringLiteral("COMPRESS_EXE="), QStringLiteral("COMPRESS_COMMAND_LINE_OPTIONS="),
    QStringLiteral("FILE_EXT_COMPRESSED=JPG"), QStringLiteral("FILE_EXT_SAVED=BMP"),
    QStringLiteral("IMAGE_SAVE_DIR=")};

}  // namespace

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void recordKeepsEachFieldAndTaggedValue() {
        Settings record;
        record.setSetting(QStringLiteral("A"));
        record.setDescription(QStringLiteral("d"));
        record.setType_(QStringLiteral("NORMAL"));
        QVERIFY(record.value().isEmpty());
        record.setValueValue(QStringLiteral("v"));
        QCOMPARE(record.value().toString(), QStringLiteral("v"));
        auto object = std::make_shared<QObject>();
        record.setValueObject(object);
        QVERIFY(record.value().isObject());
        QCOMPARE(record.value().toString(), QString());
        record.setFormObjObject(object);
        QCOMPARE(object.use_count(), 3);
        QCOMPARE(record.setting(), QStringLiteral("A"));
        QCOMPARE(record.description(), QStringLiteral("d"));
        QCOMPARE(record.type_(), QStringLiteral("NORMAL"));
    }

    void tableKeysIgnoreCaseAndPositionsFollowAdds() {
        SoftwareSettings table;
        table.add(std::make_shared<Settings>(), QStringLiteral("Alpha"));
        table.add(std::make_shared<Settings>(), QStringLiteral("beta"));
        table.add(std::make_shared<Settings>(), QStringLiteral("GAMMA"));
        QCOMPARE(table.item(QStringLiteral("ALPHA")), table.item(1));
        QCOMPARE(table.item(QStringLiteral("Gamma")), table.item(3));
        QVERIFY_THROWS_EXCEPTION(settings::SettingsTableError,
                                 table.add(std::make_shared<Settings>(), QStringLiteral("BETA")));
        QVERIFY_THROWS_EXCEPTION(settings::SettingsTableError, table.item(QStringLiteral("delta")));
        QVERIFY_THROWS_EXCEPTION(settings::SettingsTableError, table.item(0));
        QVERIFY_THROWS_EXCEPTION(settings::SettingsTableError, table.item(4));
        QVERIFY_THROWS_EXCEPTION(settings::SettingsTableError, table.remove(4));
        const auto gamma = table.item(3);
        table.remove(1);
        QCOMPARE(table.count(), 2);
        QCOMPARE(table.item(2), gamma);
        QCOMPARE(table.item(QStringLiteral("gamma")), gamma);
        QVERIFY(!table.contains(QStringLiteral("alpha")));
        table.clear();
        QCOMPARE(table.count(), 0);
    }

    void missingFileIsCreatedWithTheFiveLines() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("settings.txt"));
        SoftwareSettings table;
        settings::loadSoftwareSettings(table, settings::defaultSettingLines(), path);
        QCOMPARE(readAll(path), kDefaultFile);
        QCOMPARE(contents(table), kDefaultsOnly);
        for (int position = 1; position <= table.count(); ++position) {
            QCOMPARE(table.item(position)->type_(), QStringLiteral("NORMAL"));
        }
        QCOMPARE(table.item(QStringLiteral("FILE_EXT_SAVED"))->description(),
                 QStringLiteral("File extension of the saved image file"));
    }

    void fileContentsLoad_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("empty file") << QByteArray() << kDefaultsOnly;
        QTest::newRow("one line, defaults after it")
            << QByteArray("FILE_EXT_SAVED;PNG;x\r\n")
            << QStringList{QStringLiteral("FILE_EXT_SAVED=PNG"), QStringLiteral("COMPRESS_EXE="),
                           QStringLiteral("COMPRESS_COMMAND_LINE_OPTIONS="),
                           QStringLiteral("FILE_EXT_COMPRESSED=JPG"),
                           QStringLiteral("IMAGE_SAVE_DIR=")};
        QTest::newRow("empty first line is skipped")
            << QByteArray("\r\nFILE_EXT_SAVED;TIF;x\r\n")
            << QStringList{QStringLiteral("FILE_EXT_SAVED=TIF"), QStringLiteral("COMPRESS_EXE="),
                           QStringLiteral("COMPRESS_COMMAND_LINE_OPTIONS="),
                           QStringLiteral("FILE_EXT_COMPRESSED=JPG"),
                           QStringLiteral("IMAGE_SAVE_DIR=")};
        QTest::newRow("wrong separator counts and text are ignored")
            << QByteArray("free text\r\nIMAGE_SAVE_DIR;/a/;has;semicolon\r\nONE;sep\r\n\r\n")
            << kDefaultsOnly;
        QTest::newRow("last line wins at the first position")
            << QByteArray("X;A;first\r\nFILE_EXT_SAVED;BMP;y\r\nx;B;second\r\n")
            << QStringList{QStringLiteral("x=B"),
                           QStringLiteral("FILE_EXT_SAVED=BMP"),
                           QStringLiteral("COMPRESS_EXE="),
                           QStringLiteral("COMPRESS_COMMAND_LINE_OPTIONS="),
                           QStringLiteral("FILE_EXT_COMPRESSED=JPG"),
                           QStringLiteral("IMAGE_SAVE_DIR=")};
        QTest::newRow("lower-case default keeps the file's value")
            << QByteArray("image_save_dir;/data/;x\n")
            << QStringList{QStringLiteral("image_save_dir=/data/"), QStringLiteral("COMPRESS_EXE="),
                           QStringLiteral("COMPRESS_COMMAND_LINE_OPTIONS="),
                           QStringLiteral("FILE_EXT_COMPRESSED=JPG"),
                           QStringLiteral("FILE_EXT_SAVED=BMP")};
        QTest::newRow("blank before the separator is part of the name")
            << QByteArray("IMAGE_SAVE_DIR ;/d/;x\r")
            << QStringList{QStringLiteral("IMAGE_SAVE_DIR =/d/"),
                           QStringLiteral("COMPRESS_EXE="),
                           QStringLiteral("COMPRESS_COMMAND_LINE_OPTIONS="),
                           QStringLiteral("FILE_EXT_COMPRESSED=JPG"),
                           QStringLiteral("FILE_EXT_SAVED=BMP"),
                           QStringLiteral("IMAGE_SAVE_DIR=")};
        QTest::newRow("created file with every value filled in")
            << QByteArray(kDefaultFile)
                   .replace("COMPRESS_EXE;;", "COMPRESS_EXE;/usr/bin/convert;")
                   .replace("OPTIONS;;", "OPTIONS;-quality 85;")
                   .replace("COMPRESSED;JPG;", "COMPRESSED;jpeg;")
                   .replace("SAVED;BMP;", "SAVED;PNG;")
                   .replace("IMAGE_SAVE_DIR;;", "IMAGE_SAVE_DIR;/srv/images/;")
            << QStringList{QStringLiteral("COMPRESS_EXE=/usr/bin/convert"),
                           QStringLiteral("COMPRESS_COMMAND_LINE_OPTIONS=-quality 85"),
                           QStringLiteral("FILE_EXT_COMPRESSED=jpeg"),
                           QStringLiteral("FILE_EXT_SAVED=PNG"),
                           QStringLiteral("IMAGE_SAVE_DIR=/srv/images/")};
        QTest::newRow("LF and CR line ends, no end at the last line")
            << QByteArray("A;1;x\nB;2;x\rC;3;x")
            << QStringList{QStringLiteral("A=1"), QStringLiteral("B=2"), QStringLiteral("C=3")} +
                   kDefaultsOnly;
        QTest::newRow("Windows-1252 bytes")
            << QByteArray("IMAGE_SAVE_DIR;/Proben \x80 M\xfcller/;x\r\n")
            << QStringList{QString::fromUtf8("IMAGE_SAVE_DIR=/Proben € Müller/"),
                           QStringLiteral("COMPRESS_EXE="),
                           QStringLiteral("COMPRESS_COMMAND_LINE_OPTIONS="),
                           QStringLiteral("FILE_EXT_COMPRESSED=JPG"),
                           QStringLiteral("FILE_EXT_SAVED=BMP")};
        QTest::newRow("UTF-8 with byte-order mark")
            << QByteArray("\xef\xbb\xbfIMAGE_SAVE_DIR;/M\xc3\xbcller/;x\r\n")
            << QStringList{
                   QString::fromUtf8("IMAGE_SAVE_DIR=/Müller/"), QStringLiteral("COMPRESS_EXE="),
                   QStringLiteral("COMPRESS_COMMAND_LINE_OPTIONS="),
                   QStringLiteral("FILE_EXT_COMPRESSED=JPG"), QStringLiteral("FILE_EXT_SAVED=BMP")};
    }
    void fileContentsLoad() {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, expected);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("settings.txt"));
        writeBytes(path, bytes);
        SoftwareSettings table;
        table.add(std::make_shared<Settings>(), QStringLiteral("LEFT_OVER"));
        settings::loadSoftwareSettings(table, settings::defaultSettingLines(), path);
        QCOMPARE(contents(table), expected);
        // The file is never rewritten, and defaults are never appended to it.
        QCOMPARE(readAll(path), bytes);
    }

    void lastLineAlsoReplacesDescriptionAndName() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("settings.txt"));
        writeBytes(path, "KEY;A;first\r\nkey;B;second\r\n");
        SoftwareSettings table;
        settings::loadSoftwareSettings(table, {}, path);
        QCOMPARE(table.count(), 1);
        QCOMPARE(table.item(1)->setting(), QStringLiteral("key"));
        QCOMPARE(table.item(1)->description(), QStringLiteral("second"));
    }

    void unreadableFileIsReportedWithPathAndReason() {
        QTemporaryDir dir;
        const QString folderPath = dir.filePath(QStringLiteral("settings.txt"));
        QVERIFY(QDir().mkpath(folderPath));
        SoftwareSettings table;
        try {
            settings::loadSoftwareSettings(table, settings::defaultSettingLines(), folderPath);
            QFAIL("a folder was read as settings");
        } catch (const settings::SettingsFileError& error) {
            QCOMPARE(
                QString::fromUtf8(error.what()),
                QStringLiteral("Cannot read the settings file %1: it is a folder").arg(folderPath));
        }
        const QString inMissingFolder = dir.filePath(QStringLiteral("gone/settings.txt"));
        try {
            settings::loadSoftwareSettings(table, settings::defaultSettingLines(), inMissingFolder);
            QFAIL("a file was created in a missing folder");
        } catch (const settings::SettingsFileError& error) {
            QVERIFY(QString::fromUtf8(error.what())
                        .startsWith(QStringLiteral("Cannot create the settings file %1: ")
                                        .arg(inMissingFolder)));
        }
    }

    void createLeavesAnExistingFileAlone() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("settings.txt"));
        writeBytes(path, "MINE;1;x\r\n");
        settings::createSettingFile(settings::defaultSettingLines(), path);
        QCOMPARE(readAll(path), QByteArray("MINE;1;x\r\n"));
    }

    void pathIsTheCurrentFolderAndTheFileName() {
        QTemporaryDir dir;
        const QString previous = QDir::currentPath();
        QDir::setCurrent(dir.path());
        const QString path = settings::settingsFilePath();
        QCOMPARE(path, QDir(dir.path()).canonicalPath() + QStringLiteral("/settings.txt"));
        // A removed working folder is reported, not replaced by the file-system root.
        QVERIFY(dir.remove());
        QVERIFY_THROWS_EXCEPTION(settings::SettingsFileError, settings::settingsFilePath());
        QDir::setCurrent(previous);
    }
};

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"
