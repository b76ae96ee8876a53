#include "Diagnostics.h"

#include <sys/stat.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <QFileInfo>
#include <cstdio>
#include <mutex>
#include <string>

Q_LOGGING_CATEGORY(platform::lcCapture, "station.capture")
Q_LOGGING_CATEGORY(platform::lcSpool, "station.spool")
Q_LOGGING_CATEGORY(platform::lcCamera, "station.camera")
Q_LOGGING_CATEGORY(platform::lcCompress, "station.compress")
Q_LOGGING_CATEGORY(platform::lcRecovery, "station.recovery")
Q_LOGGING_CATEGORY(platform::lcSettings, "station.settings")

namespace platform {

namespace {

std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

DiagnosticSink& currentSink() {
    static DiagnosticSink sink = systemDiagnosticSink();
    return sink;
}

int journalPriority(QtMsgType type) {
    switch (type) {
        case QtDebugMsg:
            return 7;  // LOG_DEBUG
        case QtInfoMsg:
            return 6;  // LOG_INFO
        case QtWarningMsg:
            return 4;  // LOG_WARNING
        case QtCriticalMsg:
            return 3;  // LOG_ERR
        case QtFatalMsg:
            return 2;  // LOG_CRIT
    }
    return 4;
}

const char* typeName(QtMsgType type) {
    switch (type) {
        case QtDebugMsg:
            return "debug";
        case QtInfoMsg:
            return "info";
        case QtWarningMsg:
            return "warning";
        case QtCriticalMsg:
            return "error";
        case QtFatalMsg:
            return "fatal";
    }
    return "warning";
}

// The session has a journal when its socket exists (also for a kiosk session started by a
// display manager: journald's socket is system-wide and splits by user).
bool hasJournal() {
    struct stat info {};
    return ::stat("/run/systemd/journal/socket", &info) == 0 && S_ISSOCK(info.st_mode);
}

void toJournal(const DiagnosticEvent& event) {
    std::vector<std::string> fields;
    fields.push_back("MESSAGE=" + event.message.toStdString());
    fields.push_back("PRIORITY=" + std::to_string(journalPriority(event.type)));
    fields.push_back(std::string("SYSLOG_IDENTIFIER=") + kJournalIdentifier);
    fields.push_back("STATION_CATEGORY=" + event.category.toStdString());
    for (const DiagnosticField& field : event.fields) {
        fields.push_back(field.name.toStdString() + '=' + field.value.toStdString());
    }
    std::vector<iovec> vectors;
    vectors.reserve(fields.size());
    for (std::string& field : fields) {
        vectors.push_back({field.data(), field.size()});
    }
    if (sd_journal_sendv(vectors.data(), static_cast<int>(vectors.size())) < 0) {
        // A journal that refuses (full, restarting) must not lose the event.
        std::fprintf(stderr, "%s: %s\n", event.category.constData(),
                     event.text().toLocal8Bit().constData());
    }
}

void toStandardError(const DiagnosticEvent& event) {
    std::fprintf(stderr, "%s[%s] %s: %s\n", kJournalIdentifier, typeName(event.type),
                 event.category.constData(), event.text().toLocal8Bit().constData());
}

}  // namespace

QString DiagnosticEvent::text() const {
    QStringList parts;
    for (const DiagnosticField& field : fields) {
        parts.append(QString::fromLatin1(field.name) + QLatin1Char('=') + field.value);
    }
    return parts.isEmpty() ? message
                           : message + QStringLiteral(" (") + parts.join(QStringLiteral(", ")) +
                                 QLatin1Char(')');
}

QString DiagnosticEvent::field(const QByteArray& name) const {
    for (const DiagnosticField& candidate : fields) {
        if (candidate.name == name) {
            return candidate.value;
        }
    }
    return {};
}

void diagnose(const QLoggingCategory& category, QtMsgType type, const QString& message,
              std::initializer_list<DiagnosticField> fields) {
    if (!category.isEnabled(type)) {
        return;
    }
    DiagnosticEvent event{QByteArray(category.categoryName()), type, message, {}};
    for (const DiagnosticField& field : fields) {
        if (!field.value.isEmpty()) {
            event.fields.push_back(field);
        }
    }
    DiagnosticSink sink;
    {
        const std::lock_guard lock(sinkMutex());
        sink = currentSink();
    }
    if (sink) {
        sink(event);
    }
}

DiagnosticSink systemDiagnosticSink() {
    return hasJournal() ? DiagnosticSink(&toJournal) : DiagnosticSink(&toStandardError);
}

DiagnosticSink setDiagnosticSink(DiagnosticSink sink) {
    const std::lock_guard lock(sinkMutex());
    std::swap(currentSink(), sink);
    return sink;
}

struct DiagnosticRecorder::Shared {
    mutable std::mutex mutex;
    std::vector<DiagnosticEvent> events;
};

DiagnosticRecorder::DiagnosticRecorder() : shared_(std::make_shared<Shared>()) {
    previous_ = setDiagnosticSink([shared = shared_](const DiagnosticEvent& event) {
        const std::lock_guard lock(shared->mutex);
        shared->events.push_back(event);
    });
}

DiagnosticRecorder::~DiagnosticRecorder() {
    setDiagnosticSink(std::move(previous_));
}

std::vector<DiagnosticEvent> DiagnosticRecorder::events() const {
    const std::lock_guard lock(shared_->mutex);
    return shared_->events;
}

std::vector<DiagnosticEvent> DiagnosticRecorder::matching(const QByteArray& category,
                                                          const QString& text) const {
    std::vector<DiagnosticEvent> found;
    for (const DiagnosticEvent& event : events()) {
        if (event.category == category && event.text().contains(text)) {
            found.push_back(event);
        }
    }
    return found;
}

}  // namespace platform
