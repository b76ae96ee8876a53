#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace capture {

// What the station knows apart from its widgets: the sample it works on, the live view, the sample
// on display and the captured-samples list with the notes of each line. The window's routines read
// and change it; the window draws its widgets from it.
class StationState {
public:
    static constexpr qint16 kMaxCapturedLines = 32767;

    QString SampleNumber;  // the current sample as typed; empty while the station waits
    QString CurrentView;   // "Color" or "Bottom": the live view, whose picture is taken first
    QString sampleInView;  // the accepted number the sample label shows; empty while waiting
    std::optional<QString> displayedSample;  // the sample whose images the panel shows

    // The sample of each list line, position for position, and how many lines there are.
    const QStringList& capturedSamples() const { return capturedSamples_; }
    const qint16& capturedCount() const { return capturedCount_; }

    void clearCaptured();
    // Appends a line for the sample, made by the capture that `mark` names. At the limit the
    // oldest line makes room first; true when it did.
    bool addCaptured(const QString& sample, const QString& takenAt, quint64 mark);
    // A note of the capture that ends, shown after its date (where its pair waits).
    void setCaptureNote(qsizetype line, const QString& note);
    // Notes a picture whose compressor failed on its capture's line; that line, unless it is gone.
    std::optional<qsizetype> noteNotCompressed(quint64 mark, const QString& picture,
                                               const QString& reason);

    QString lineText(qsizetype line) const;
    bool lineHasFailure(qsizetype line) const { return !lines_.at(line).notCompressed.isEmpty(); }

private:
    // Pictures that failed alike share one note, so that a line stays short.
    struct CompressionNote {
        QStringList pictures;
        QString reason;
    };
    struct LineNotes {
        QString takenAt;
        quint64 mark = 0;
        QString captureNote;
        QList<CompressionNote> notCompressed;
    };

    QStringList capturedSamples_;
    qint16 capturedCount_ = 0;
    QList<LineNotes> lines_;  // position for position with capturedSamples_
};

}  // namespace capture
