// The network folder picker: lets the lab's IT person find the path of a computer or share to put
// into IMAGE_SAVE_DIR. Closing its window ends it.
#include <QCommandLineParser>
#include <QStyleFactory>

#include "Form_GetDirectory.h"
#include "GuardedApplication.h"
#include "MountTable.h"
#include "QtShellApi.h"

int main(int argc, char** argv) {
    platform::GuardedApplication app(argc, argv);
    // The name titles the message boxes; a display name would be appended to the window title.
    QApplication::setApplicationName(QStringLiteral("Network Folder Picker"));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Browse the network for a computer or a shared folder."));
    parser.addHelpOption();
    const QCommandLineOption mountsOption(
        QStringLiteral("mounts"),
        QStringLiteral("Read the mounted shares from FILE instead of %1 (for demonstrations).")
            .arg(QLatin1String(network::kSystemMountTable)),
        QStringLiteral("FILE"), QString::fromLatin1(network::kSystemMountTable));
    parser.addOption(mountsOption);
    parser.process(app);

    return platform::GuardedApplication::runGuarded([&] {
        network::QtShellApi shell(parser.value(mountsOption));
        folderpicker::Form_GetDirectory dialog(shell);
        dialog.show();
        return QApplication::exec();
    });
}
