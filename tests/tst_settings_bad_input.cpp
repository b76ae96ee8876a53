// The settings loader on hostile files: binary bytes, huge lines, many lines, byte-order marks,
// mixed line ends, NUL characters and the two accepted encodings.
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include "SettingNames.h"
#include "SettingsFile.h"
#include "SoftwareSettings.h"

#include <array>

using settings::SoftwareSettings;

namespace {

constexpr qsizetype kTenMegabytes = 10 * 1024 * 1024;
constexpr int kManyLines = 100000;

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// The literal's bytes, NULs included, without the terminating one.
template <std::size_t N>
QByteArray bytesOf(const char (&literal)[N]) {
    return QByteArray(literal, N - 1);
}

bool writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// "NAME=VALUE" for each record, in table order.
QStringList contents(const SoftwareSettings& table) {
    QStringList lines;
    lines.reserve(table.count());
    for (int position = 1; position <= table.count(); ++position) {
        const auto record = table.item(position);
        lines.append(record->setting() + QLatin1Char('=') + record->value().toString());
    }
    return lines;
}

const QStringList kDefaultsOnly{
    QStringLiteral("COMPRESS_EXE="), QStringLiteral("COMPRESS_COMMAND_LINE_OPTIONS="),
    QStringLiteral("FILE_EXT_COMPRESSED=JPG"), QStringLiteral("FILE_EXT_SAVED=BMP"),
    QStringLiteral("IMAGE_SAVE_DIR=")};

// The defaults that follow the file's records when the file defines only IMAGE_SAVE_DIR.
const QStringList kDefaultsWithoutImageSaveDir = kDefaultsOnly.mid(0, 4);

QByteArray randomBytes(quint32 seed, qsizetype size, bool withSeparators) {
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& byte : bytes) {
        byte = static_cast<char>(generator.bounded(256));
        if (!withSeparators && byte == ';') {
            byte = '\0';
        }
    }
    return bytes;
}

}  // namespace

class TestSettingsBadInput : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString path_;

    // Writes the bytes as the settings file and loads it into the table.
    bool load(const QByteArray& bytes, SoftwareSettings& table) {
        if (!writeBytes(path_, bytes)) {
            return false;
        }
        settings::loadSoftwareSettings(table, settings::defaultSettingLines(), path_);
        return true;
    }

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        path_ = dir_.filePath(QStringLiteral("settings.txt"));
    }

    void binaryContentLeavesTheDefaults_data() {
        QTest::addColumn<quint32>("seed");
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("withSeparators");
        QTest::newRow("4 KB, no separators") << 1u << 4096 << false;
        QTest::newRow("1 MB, no separators") << 2u << 1024 * 1024 << false;
        QTest::newRow("4 KB, all byte values") << 3u << 4096 << true;
        QTest::newRow("1 MB, all byte values") << 4u << 1024 * 1024 << true;
    }
    void binaryContentLeavesTheDefaults() {
        QFETCH(quint32, seed);
        QFETCH(int, size);
        QFETCH(bool, withSeparators);
        const QByteArray bytes = randomBytes(seed, size, withSeparators);
        QVERIFY(bytes.contains('\0'));
        SoftwareSettings table;
        QVERIFY(writeBytes(path_, bytes));
        QVERIFY_THROWS_NO_EXCEPTION(
            settings::loadSoftwareSettings(table, settings::defaultSettingLines(), path_));
        QCOMPARE(readAll(path_), bytes);
        if (!withSeparators) {
            QCOMPARE(contents(table), kDefaultsOnly);
            return;
        }
        // Random lines may define settings of their own; the defaults are there all the same.
        QVERIFY(table.count() >= 5);
        for (const QString& line : settings::defaultSettingLines()) {
            QVERIFY2(table.contains(line.section(QLatin1Char(';'), 0, 0)), qPrintable(line));
        }
        for (int position = 1; position <= table.count(); ++position) {
            QCOMPARE(table.item(position)->type_(), settings::kNormalType);
        }
    }

    void tenMegabyteLine_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("expected");
        const QByteArray huge(kTenMegabytes, 'v');
        const QString hugeText(kTenMegabytes, QLatin1Char('v'));
        const QByteArray next("\r\nFILE_EXT_SAVED;PNG;after\r\n");
        QStringList afterDefaults = kDefaultsOnly;
        afterDefaults.removeAt(3);
        QTest::newRow("no separator")
            << huge + next << QStringList{QStringLiteral("FILE_EXT_SAVED=PNG")} + afterDefaults;
        QTest::newRow("two separators, huge value")
            << "IMAGE_SAVE_DIR;" + huge + ";d" + next
            << QStringList{QStringLiteral("IMAGE_SAVE_DIR=") + hugeText,
                           QStringLiteral("FILE_EXT_SAVED=PNG")} +
                   afterDefaults.mid(0, 3);
        QTest::newRow("two separators, huge name")
            << huge + ";1;d" + next
            << QStringList{hugeText + QStringLiteral("=1"), QStringLiteral("FILE_EXT_SAVED=PNG")} +
                   afterDefaults;
        QTest::newRow("three separators")
            << "IMAGE_SAVE_DIR;" + huge + ";d;e" + next
            << QStringList{QStringLiteral("FILE_EXT_SAVED=PNG")} + afterDefaults;
        QTest::newRow("nothing but separators")
            << QByteArray(kTenMegabytes, ';') + next
            << QStringList{QStringLiteral("FILE_EXT_SAVED=PNG")} + afterDefaults;
    }
    void tenMegabyteLine() {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, expected);
        SoftwareSettings table;
        QVERIFY(load(bytes, table));
        QCOMPARE(contents(table), expected);
        QCOMPARE(readAll(path_).size(), bytes.size());
    }

    void hundredThousandNamesLoadInOrder() {
        QByteArray bytes;
        QStringList expected;
        for (int i = 0; i < kManyLines; ++i) {
            const QByteArray number = QByteArray::number(i);
            bytes += "SAMPLE_" + number + ";value " + number + ";description\r\n";
            expected.append(QStringLiteral("SAMPLE_%1=value %1").arg(i));
        }
        SoftwareSettings table;
        QVERIFY(load(bytes, table));
        QCOMPARE(contents(table), expected + kDefaultsOnly);
        QCOMPARE(table.item(QStringLiteral("sample_99999"))->description(),
                 QStringLiteral("description"));

        // A second load empties the full table first and keeps nothing of it.
        const auto firstRecord = table.item(1);
        QVERIFY(load("FILE_EXT_SAVED;PNG;x\r\n", table));
        QCOMPARE(contents(table), QStringList{QStringLiteral("FILE_EXT_SAVED=PNG")} +
                                      kDefaultsOnly.mid(0, 3) + kDefaultsOnly.mid(4));
        QVERIFY(!table.contains(QStringLiteral("SAMPLE_0")));
        QCOMPARE(firstRecord->value().toString(), QStringLiteral("value 0"));
    }

    void nameRepeatedOnAHundredThousandLinesKeepsPositionOne() {
        const std::array<QByteArray, 3> spellings{"REPEATED", "repeated", "Repeated"};
        QByteArray bytes;
        for (int i = 0; i < kManyLines; ++i) {
            const QByteArray number = QByteArray::number(i);
            bytes +=
                spellings[static_cast<std::size_t>(i % 3)] + ";v" + number + ";d" + number + "\n";
            if (i == 0) {
                bytes += "SECOND;2;x\n";
            }
        }
        SoftwareSettings table;
        QVERIFY(load(bytes, table));
        const QString last = QString::number(kManyLines - 1);
        QCOMPARE(contents(table),
                 QStringList({QString::fromLatin1(
                                  spellings[static_cast<std::size_t>((kManyLines - 1) % 3)]) +
                                  QStringLiteral("=v") + last,
                              QStringLiteral("SECOND=2")}) +
                     kDefaultsOnly);
        QCOMPARE(table.item(1)->description(), QStringLiteral("d") + last);
    }

    void oddButValidFiles_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("byte-order mark alone") << QByteArray("\xef\xbb\xbf") << kDefaultsOnly;
        QTest::newRow("byte-order mark, UTF-8 in name, value and description")
            << QByteArray(
                   "\xef\xbb\xbfPR\xc3\x9c"
                   "FER;\xc2\xb5m \xe2\x82\xac;\xc3\xa9t\xc3\xa9\r\n")
            << QStringList{QString::fromUtf8("PRÜFER=µm €")} + kDefaultsOnly;
        QTest::newRow("second byte-order mark belongs to the name")
            << QByteArray(
                   "\xef\xbb\xbf\xef\xbb\xbf"
                   "A;1;x\r\n")
            << QStringList{QString(QChar(0xFEFF)) + QStringLiteral("A=1")} + kDefaultsOnly;
        QTest::newRow("CR LF, LF, CR, LF CR and CR CR LF in one file")
            << QByteArray("A;1;x\r\nB;2;x\nC;3;x\rD;4;x\n\rE;5;x\r\r\nF;6;x")
            << QStringList{QStringLiteral("A=1"), QStringLiteral("B=2"), QStringLiteral("C=3"),
                           QStringLiteral("D=4"), QStringLiteral("E=5"), QStringLiteral("F=6")} +
                   kDefaultsOnly;
        QTest::newRow("lone CR at the end")
            << QByteArray("IMAGE_SAVE_DIR;/data/;x\r")
            << QStringList{QStringLiteral("IMAGE_SAVE_DIR=/data/")} + kDefaultsWithoutImageSaveDir;
        QTest::newRow("NUL bytes inside a value")
            << bytesOf("IMAGE_SAVE_DIR;/a\0b\0/;x\r\n")
            << QStringList{QStringLiteral("IMAGE_SAVE_DIR=/a") + QChar(0) + QStringLiteral("b") +
                           QChar(0) + QStringLiteral("/")} +
                   kDefaultsWithoutImageSaveDir;
        QTest::newRow("NUL bytes inside a Windows-1252 value")
            << bytesOf("IMAGE_SAVE_DIR;\xfc\0\x80;x\r\n")
            << QStringList{QStringLiteral("IMAGE_SAVE_DIR=") + QChar(0xFC) + QChar(0) +
                           QChar(0x20AC)} +
                   kDefaultsWithoutImageSaveDir;
        QTest::newRow("NUL byte as a whole line")
            << bytesOf("\0\r\nA;1;x\r\n") << QStringList{QStringLiteral("A=1")} + kDefaultsOnly;
    }
    void oddButValidFiles() {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, expected);
        SoftwareSettings table;
        QVERIFY(load(bytes, table));
        QCOMPARE(contents(table), expected);
        QCOMPARE(readAll(path_), bytes);
    }

    void imageSaveDirIsTheSameInBothEncodings_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("UTF-8") << QByteArray(
            "IMAGE_SAVE_DIR; /mnt/Proben Labor/M\xc3\xbcller J\xc3\xbcrgen \xe2\x80\x93 "
            "\xe2\x82\xac \xc3\xa9t\xc3\xa9/ ;x\r\n");
        QTest::newRow("UTF-8 with byte-order mark") << QByteArray(
            "\xef\xbb\xbfIMAGE_SAVE_DIR; /mnt/Proben Labor/M\xc3\xbcller J\xc3\xbcrgen "
            "\xe2\x80\x93 "
            "\xe2\x82\xac \xc3\xa9t\xc3\xa9/ ;x\r\n");
        QTest::newRow("Windows-1252") << QByteArray(
            "IMAGE_SAVE_DIR; /mnt/Proben Labor/M\xfcller J\xfcrgen \x96 \x80 \xe9t\xe9/ ;x\r\n");
    }
    void imageSaveDirIsTheSameInBothEncodings() {
        QFETCH(QByteArray, bytes);
        SoftwareSettings table;
        QVERIFY(load(bytes, table));
        // Blanks at both ends stay: the value is used exactly as written.
        QCOMPARE(table.valueOf(settings::kImageSaveDir),
                 QString::fromUtf8(" /mnt/Proben Labor/Müller Jürgen – € été/ "));
        QCOMPARE(table.item(1)->setting(), settings::kImageSaveDir);
        QCOMPARE(table.count(), 5);
    }
};

QTEST_MAIN(TestSettingsBadInput)
#include "tst_settings_bad_input.moc"
