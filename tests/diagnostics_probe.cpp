// Sends one diagnostic event the way the station does, for the journal check.
#include <QCoreApplication>

#include "Diagnostics.h"

int main(int argc, char** argv) {
    const QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 3) {
        return 2;
    }
    platform::diagnose(platform::lcCapture, QtWarningMsg, arguments.at(1),
                       {{"SAMPLE", arguments.at(2)}, {"FOLDER", QString()}});
    return 0;
}
