#include "StationState.h"

#include <algorithm>

namespace capture {

namespace {

const QString kCapturedAt = QStringLiteral(" captured at.... ");

}  // namespace

void StationState::clearCaptured() {
    capturedSamples_.clear();
    lines_.clear();
    capturedCount_ = 0;
}

bool StationState::addCaptured(const QString& sample, const QString& takenAt, quint64 mark) {
    const bool full = capturedCount_ == kMaxCapturedLines;
    if (full) {
        // The count cannot grow further: the list, the array and the count stay in step.
        capturedSamples_.removeFirst();
        lines_.removeFirst();
        capturedCount_ = static_cast<qint16>(capturedCount_ - 1);
    }
    capturedSamples_.append(sample);
    lines_.append({takenAt, mark, {}, {}});
    capturedCount_ = static_cast<qint16>(capturedCount_ + 1);
    return full;
}

void StationState::setCaptureNote(qsizetype line, const QString& note) {
    lines_[line].captureNote = note;
}

std::optional<qsizetype> StationState::noteNotCompressed(quint64 mark, const QString& picture,
                                                         const QString& reason) {
    for (qsizetype line = lines_.size() - 1; line >= 0; --line) {
        if (lines_.at(line).mark != mark) {
            continue;
        }
        QList<CompressionNote>& notes = lines_[line].notCompressed;
        const auto alike = std::find_if(notes.begin(), notes.end(), [&reason](const auto& note) {
            return note.reason == reason;
        });
        if (alike != notes.end()) {
            alike->pictures.append(picture);
        } else {
            notes.append({{picture}, reason});
        }
        return line;
    }
    return std::nullopt;
}

QString StationState::lineText(qsizetype line) const {
    const LineNotes& notes = lines_.at(line);
    QString text = capturedSamples_.at(line) + kCapturedAt + notes.takenAt + notes.captureNote;
    for (const CompressionNote& note : notes.notCompressed) {
        text += QStringLiteral("  (") + note.pictures.join(QStringLiteral(" and ")) +
                QStringLiteral(" not compressed: ") + note.reason + QLatin1Char(')');
    }
    return text;
}

}  // namespace capture
