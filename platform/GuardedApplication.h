#pragma once

#include <QApplication>
#include <functional>

namespace platform {

// Keeps exceptions from crossing Qt's event loop: an exception that escapes an event handler is
// reported and ends the program with a non-zero exit status.
class GuardedApplication : public QApplication {
    Q_OBJECT
public:
    using FatalReporter = std::function<void(const QString& text)>;

    GuardedApplication(int& argc, char** argv);

    // Replaces the default report (a message box, then exit status 1); tests record instead.
    void setFatalReporter(FatalReporter reporter) { reporter_ = std::move(reporter); }
    void reportFatal(const QString& text) const { reporter_(text); }

    bool notify(QObject* receiver, QEvent* event) override;

    // The default report: stderr, a message box with the text, then exit status 1.
    static void reportAndExit(const QString& text);

    // Runs a program's body outside the event loop's guard (start-up, the loop itself) and
    // reports an exception that escapes it the same way.
    static int runGuarded(const std::function<int()>& body);

private:
    FatalReporter reporter_;
};

}  // namespace platform
