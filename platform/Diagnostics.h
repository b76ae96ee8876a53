#pragma once

#include <QByteArray>
#include <QLoggingCategory>
#include <QString>
#include <functional>
#include <initializer_list>
#include <utility>
#include <vector>

// What IT reads when a station misbehaves: one category per area, each event with its context as
// fields (SAMPLE=, CAMERA=, FOLDER=, REASON=, ...). The operator's screen shows nothing of it.
namespace platform {

Q_DECLARE_LOGGING_CATEGORY(lcCapture)   // station.capture: stills, pairs, messages shown
Q_DECLARE_LOGGING_CATEGORY(lcSpool)     // station.spool: pairs kept on this PC and forwarded
Q_DECLARE_LOGGING_CATEGORY(lcCamera)    // station.camera: cameras lost, back, failing
Q_DECLARE_LOGGING_CATEGORY(lcCompress)  // station.compress: the compression program
Q_DECLARE_LOGGING_CATEGORY(lcRecovery)  // station.recovery: what a crash left, repaired at start
Q_DECLARE_LOGGING_CATEGORY(lcSettings)  // station.settings: the settings file

// The journal's identifier: `journalctl --user -t sample-image-station`.
inline constexpr auto kJournalIdentifier = "sample-image-station";

struct DiagnosticField {
    QByteArray name;  // upper case, as the journal wants it: SAMPLE, FOLDER, ...
    QString value;
};

struct DiagnosticEvent {
    QByteArray category;
    QtMsgType type = QtWarningMsg;
    QString message;
    std::vector<DiagnosticField> fields;

    // "message (SAMPLE=..., FOLDER=...)", the standard error form.
    QString text() const;
    // The value of a field, empty when it has none.
    QString field(const QByteArray& name) const;
};

using DiagnosticSink = std::function<void(const DiagnosticEvent&)>;

// Records an event when its category is enabled for its type. Empty field values are left out.
// Safe from any thread.
void diagnose(const QLoggingCategory& category, QtMsgType type, const QString& message,
              std::initializer_list<DiagnosticField> fields = {});
// The same, for a category named by its function: diagnose(lcSpool, ...).
inline void diagnose(const QLoggingCategory& (*category)(), QtMsgType type, const QString& message,
                     std::initializer_list<DiagnosticField> fields = {}) {
    diagnose(category(), type, message, fields);
}

// Where events go: the systemd journal when this session has one, else standard error.
DiagnosticSink systemDiagnosticSink();

// Replaces where events go (tests record them); returns the sink it replaced.
DiagnosticSink setDiagnosticSink(DiagnosticSink sink);

// Records the events diagnosed while it lives, from any thread; the sink before it comes back at
// its end.
class DiagnosticRecorder {
public:
    DiagnosticRecorder();
    ~DiagnosticRecorder();
    DiagnosticRecorder(const DiagnosticRecorder&) = delete;
    DiagnosticRecorder& operator=(const DiagnosticRecorder&) = delete;

    std::vector<DiagnosticEvent> events() const;
    // The events of one category whose message or fields contain the text.
    std::vector<DiagnosticEvent> matching(const QByteArray& category, const QString& text) const;

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    DiagnosticSink previous_;
};

}  // namespace platform
