#include "GuardedApplication.h"

#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "Diagnostics.h"

namespace platform {

GuardedApplication::GuardedApplication(int& argc, char** argv)
    : QApplication(argc, argv), reporter_(&GuardedApplication::reportAndExit) {}

bool GuardedApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        reportFatal(QString::fromUtf8(error.what()));
    } catch (...) {
        reportFatal(QStringLiteral("An unknown error ended the program."));
    }
    return false;
}

int GuardedApplication::runGuarded(const std::function<int()>& body) {
    try {
        return body();
    } catch (const std::exception& error) {
        reportAndExit(QString::fromUtf8(error.what()));
    } catch (...) {
        reportAndExit(QStringLiteral("An unknown error ended the program."));
    }
    return EXIT_FAILURE;
}

void GuardedApplication::reportAndExit(const QString& text) {
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
    diagnose(lcCapture(), QtCriticalMsg, QStringLiteral("the program ended on a failure"),
             {{"REASON", text}});
    QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(), text,
                    QMessageBox::Ok);
    box.exec();
    // Leave at once: unwinding through nested event loops would resume handlers whose state the
    // failure has already broken. Detached compressors keep running.
    std::_Exit(EXIT_FAILURE);
}

}  // namespace platform
