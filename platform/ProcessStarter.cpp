#include "ProcessStarter.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <algorithm>
#include <cstring>

#include "PlatformError.h"

namespace platform {

QString ProcessEnd::describe() const {
    if (signal != 0) {
        const char* name = ::strsignal(signal);
        return QStringLiteral("killed by signal %1 (%2)")
            .arg(signal)
            .arg(name != nullptr ? QString::fromLocal8Bit(name) : QStringLiteral("unknown"));
    }
    return QStringLiteral("exit status %1").arg(exitStatus);
}

DetachedProcessStarter::DetachedProcessStarter() {
    reaper_.setInterval(kReapIntervalMs);
    QObject::connect(&reaper_, &QTimer::timeout, [this] { reapFinishedChildren(); });
}

// Started programs are reaped without waiting, so none stays behind as a zombie and the window
// never blocks on a running one.
void DetachedProcessStarter::reapFinishedChildren() {
    std::vector<ProcessEnd> ended;
    children_.erase(std::remove_if(children_.begin(), children_.end(),
                                   [&ended](pid_t child) {
                                       int status = 0;
                                       const pid_t reaped = ::waitpid(child, &status, WNOHANG);
                                       if (reaped == child) {
                                           ProcessEnd end;
                                           end.id = child;
                                           end.exitStatus =
                                               WIFEXITED(status) ? WEXITSTATUS(status) : 0;
                                           end.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
                                           ended.push_back(end);
                                       }
                                       // -1: no longer our child to wait for; nothing to report.
                                       return reaped != 0;
                                   }),
                    children_.end());
    if (children_.empty()) {
        reaper_.stop();
    }
    // Reported after the list is settled: a handler may start the next program.
    for (const ProcessEnd& end : ended) {
        reportFinished(end);
    }
}

DetachedProcessStarter::~DetachedProcessStarter() = default;

// posix_spawn starts the program without copying the station's memory, which a fork of a
// process with running camera pipelines would; stdin, stdout and stderr go to /dev/null.
pid_t DetachedProcessStarter::spawnDetached(const QString& program, const QStringList& arguments) {
    std::vector<QByteArray> words;
    words.reserve(static_cast<std::size_t>(arguments.size()) + 1);
    words.push_back(QFile::encodeName(program));
    for (const QString& argument : arguments) {
        words.push_back(argument.toLocal8Bit());
    }
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (QByteArray& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null",
                                         fd == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    }
    // Descriptors the station's libraries open without close-on-exec (GStreamer's socket pairs,
    // camera devices) must not stay open in a program that outlives the station.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group: a Ctrl+C in the station's terminal does not reach the compressor.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);

    pid_t child = 0;
    const int error =
        posix_spawn(&child, argv.front(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw ProcessStartError(QStringLiteral("\"%1\" could not be started: %2")
                                    .arg(program, QString::fromLocal8Bit(std::strerror(error))));
    }
    children_.push_back(child);
    if (!reaper_.isActive()) {
        reaper_.start();
    }
    return child;
}

qint64 DetachedProcessStarter::start(const QString& program, const QStringList& arguments) {
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
        throw ProcessStartError(
            QStringLiteral("\"%1\" is not an executable program").arg(resolved));
    }
    return spawnDetached(resolved, arguments);
}

}  // namespace platform
