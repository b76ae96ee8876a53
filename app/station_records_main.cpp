// station-records: an auditor's check of a save folder's records, and a sample's history.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include "RecordBook.h"
#include "RecordVerifier.h"

namespace {

constexpr int kProblems = 1;
constexpr int kUsage = 2;

int verify(const QString& saveFolder, const QString& recordsFolder, QTextStream& out) {
    const records::VerifyReport report = records::verifySaveFolder({saveFolder, recordsFolder, 2});
    for (const QString& line : report.stations) {
        out << line << '\n';
    }
    for (const QString& problem : report.problems) {
        out << problem << '\n';
    }
    out << QStringLiteral("%1 samples, %2 files checked: %3\n")
               .arg(report.samples)
               .arg(report.filesChecked)
               .arg(report.ok() ? QStringLiteral("everything checks")
                                : QStringLiteral("problems found: %1").arg(report.problems.size()));
    return report.ok() ? 0 : kProblems;
}

int history(const QString& recordsFolder, const QString& sample, QTextStream& out) {
    const QStringList lines = records::sampleHistory(recordsFolder, sample);
    for (const QString& line : lines) {
        out << line << '\n';
    }
    if (lines.isEmpty()) {
        out << QStringLiteral("no record names the sample %1\n").arg(sample);
        return kProblems;
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    const QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("station-records"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Checks the records of a save folder, or prints a sample's events.\n"
                       "  verify FOLDER          chains, files and unexplained pictures\n"
                       "  history FOLDER SAMPLE  the sample's events, oldest first"));
    parser.addHelpOption();
    const QCommandLineOption recordsOption(
        QStringLiteral("records"), QStringLiteral("The records folder, if not FOLDER/records."),
        QStringLiteral("DIR"));
    parser.addOption(recordsOption);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("verify or history"));
    parser.process(app);
    const QStringList arguments = parser.positionalArguments();
    QTextStream out(stdout);
    const QString command = arguments.value(0);
    const QString folder = arguments.value(1);
    const QString recordsFolder = parser.isSet(recordsOption)
                                      ? parser.value(recordsOption)
                                      : records::defaultRecordsFolder(folder);
    if (command == QLatin1String("verify") && arguments.size() == 2) {
        return verify(folder, recordsFolder, out);
    }
    if (command == QLatin1String("history") && arguments.size() == 3) {
        return history(recordsFolder, arguments[2], out);
    }
    QTextStream(stderr) << parser.helpText();
    return kUsage;
}
