#include "ProcessStarter.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include "PlatformError.h"

namespace platform {

void DetachedProcessStarter::start(const QString& program, const QStringList& arguments) {
    if (program.isEmpty()) {
        throw ProcessStartError(QStringLiteral("no program is named"));
    }
    // startDetached gives no reason for a failure, so find the common ones first.
    const bool hasPath = program.contains(QLatin1Char('/'));
    const QString resolved = hasPath ? program : QStandardPaths::findExecutable(program);
    if (resolved.isEmpty() || !QFileInfo::exists(resolved)) {
        throw ProcessStartError(QStringLiteral("the program \"%1\" was not found").arg(program));
    }
    const QFileInfo info(resolved);
    if (info.isDir() || !info.isExecutable()) {
        throw ProcessStartError(QStringLiteral("\"%1\" is not an executable program").arg(resolved));
    }
    QProcess process;
    process.setProgram(resolved);
    process.setArguments(arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    if (!process.startDetached()) {
        throw ProcessStartError(QStringLiteral("\"%1\" could not be started: %2")
                                    .arg(resolved, process.errorString()));
    }
}

}  // namespace platform
