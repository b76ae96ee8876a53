// The rules the capture, display and delete share: names, command lines, messages, date text.
#include <QTest>

#include "GeneralDate.h"
#include "ImageNaming.h"

using namespace capture;

class TestImageNaming : public QObject {
    Q_OBJECT
private slots:
    void namesJoinWithoutSeparator() {
        QCOMPARE(imagePath(QStringLiteral("/data/img"), View::Color, QStringLiteral("1234"),
                           QStringLiteral("bmp")),
                 QStringLiteral("/data/imgCLR_1234_01.bmp"));
        QCOMPARE(imagePath(QString(), View::Bottom, QStringLiteral(" 12 "), QStringLiteral("JPG")),
                 QStringLiteral("BTM_ 12 _01.JPG"));
    }

    void commandLineKeepsItsPiecesAndPathsStayWhole_data() {
        QTest::addColumn<QString>("exe");
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("argv");
        const QString src = QStringLiteral("/lab images/CLR_1 2_01.BMP");
        const QString dst = QStringLiteral("/lab images/CLR_1 2_01.JPG");
        QTest::newRow("no options: two blanks")
            << QStringLiteral("convert") << QString()
            << QStringLiteral("convert ") + src + QStringLiteral("  ") + dst
            << QStringList{QStringLiteral("convert"), src, dst};
        QTest::newRow("options split like a command line")
            << QStringLiteral("convert") << QStringLiteral("-quality 80 -comment \"lab a\"")
            << QStringLiteral("convert ") + src +
                   QStringLiteral(" -quality 80 -comment \"lab a\" ") + dst
            << QStringList{QStringLiteral("convert"),
                           src,
                           QStringLiteral("-quality"),
                           QStringLiteral("80"),
                           QStringLiteral("-comment"),
                           QStringLiteral("lab a"),
                           dst};
        QTest::newRow("quoted program path with its own switch")
            << QStringLiteral("\"/opt/my tools/cjpeg\" -fast") << QString()
            << QStringLiteral("\"/opt/my tools/cjpeg\" -fast ") + src + QStringLiteral("  ") + dst
            << QStringList{QStringLiteral("/opt/my tools/cjpeg"), QStringLiteral("-fast"), src,
                           dst};
        QTest::newRow("shell characters stay plain arguments")
            << QStringLiteral("convert") << QStringLiteral("; rm -rf x")
            << QStringLiteral("convert ") + src + QStringLiteral(" ; rm -rf x ") + dst
            << QStringList{QStringLiteral("convert"),
                           src,
                           QStringLiteral(";"),
                           QStringLiteral("rm"),
                           QStringLiteral("-rf"),
                           QStringLiteral("x"),
                           dst};
    }
    void commandLineKeepsItsPiecesAndPathsStayWhole() {
        QFETCH(QString, exe);
        QFETCH(QString, options);
        QFETCH(QString, line);
        QFETCH(QStringList, argv);
        const CompressionCommand command =
            compressionCommand(exe, options, QStringLiteral("/lab images/CLR_1 2_01.BMP"),
                               QStringLiteral("/lab images/CLR_1 2_01.JPG"));
        QCOMPARE(command.commandLine, line);
        QCOMPARE(QStringList{command.program} + command.arguments, argv);
    }

    void sampleNumbersThatNameFilesSafely_data() {
        QTest::addColumn<QString>("number");
        QTest::addColumn<bool>("usable");
        QTest::newRow("digits") << QStringLiteral("12345678") << true;
        QTest::newRow("blanks and letters") << QStringLiteral(" AB-12.3") << true;
        QTest::newRow("umlaut") << QString::fromUtf8("Müller") << true;
        QTest::newRow("slash") << QStringLiteral("../etc") << false;
        QTest::newRow("dots") << QStringLiteral("1..2") << false;
        QTest::newRow("backslash") << QStringLiteral("a\\b") << false;
        QTest::newRow("quote") << QStringLiteral("a\"b") << false;
        QTest::newRow("newline") << QStringLiteral("a\nb") << false;
        QTest::newRow("nul") << QString(QChar(0)) << false;
    }
    void sampleNumbersThatNameFilesSafely() {
        QFETCH(QString, number);
        QFETCH(bool, usable);
        QCOMPARE(isUsableSampleNumber(number), usable);
        if (!usable) {
            const QString message = unusableSampleNumberMessage(number);
            QVERIFY(message.startsWith(QStringLiteral("Error:\r\n")));
            // Control characters are shown, not sent to the message box raw.
            for (const QChar ch : message) {
                QVERIFY(ch == QLatin1Char('\r') || ch == QLatin1Char('\n') ||
                        ch.category() != QChar::Other_Control);
            }
        }
    }

    void saveFolderValueThatLacksItsFinalSlash_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("isFolder");
        QTest::addColumn<bool>("lacks");
        QTest::newRow("folder") << QStringLiteral("/srv/images") << true << true;
        QTest::newRow("folder with /") << QStringLiteral("/srv/images/") << true << false;
        QTest::newRow("prefix in a folder")
            << QStringLiteral("/srv/images/station1_") << false << false;
        QTest::newRow("network host") << QStringLiteral("\\\\labhost") << false << true;
        QTest::newRow("network share, backslash at the end")
            << QStringLiteral("\\\\labhost\\images\\") << false << true;
        QTest::newRow("empty is missing, not this") << QString() << false << false;
    }
    void saveFolderValueThatLacksItsFinalSlash() {
        QFETCH(QString, value);
        QFETCH(bool, isFolder);
        QFETCH(bool, lacks);
        QStringList asked;
        QCOMPARE(saveDirLacksFinalSlash(value,
                                        [&](const QString& path) {
                                            asked.append(path);
                                            return isFolder;
                                        }),
                 lacks);
        // A value ending in / is never looked up: a stalled share would hold up the capture.
        if (value.endsWith(QLatin1Char('/'))) {
            QVERIFY(asked.isEmpty());
        }
    }

    void generalDateIsShortDateAndLongTimeWithoutZone_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("expected");
        QTest::newRow("en_US") << QStringLiteral("en_US") << QStringLiteral("12/8/26 2:05:09 PM");
        QTest::newRow("de_DE") << QStringLiteral("de_DE") << QStringLiteral("08.12.26 14:05:09");
        QTest::newRow("C") << QStringLiteral("C") << QStringLiteral("8 Dec 2026 14:05:09");
    }
    void generalDateIsShortDateAndLongTimeWithoutZone() {
        QFETCH(QString, locale);
        QFETCH(QString, expected);
        const QDateTime moment(QDate(2026, 12, 8), QTime(14, 5, 9));
        const QLocale l(locale);
        QCOMPARE(generalDateText(moment, l).replace(QChar(0x202F), QLatin1Char(' ')), expected);
        QVERIFY(!longTimeFormatWithoutZone(l).contains(QLatin1Char('t')));
    }
};

QTEST_MAIN(TestImageNaming)
#include "tst_image_naming.moc"
