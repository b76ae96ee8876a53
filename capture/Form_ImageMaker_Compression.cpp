// The compressor's end: a whole compressed copy put in place, or the failure noted on the sample.
#include <QFile>
#include <QFileInfo>
#include <QListWidget>
#include <QUuid>
#include <exception>
#include <optional>

#include "DetachedWork.h"
#include "Diagnostics.h"
#include "EmbeddedProvenance.h"
#include "Form_ImageMaker.h"
#include "PlatformError.h"
#include "ProcessStarter.h"
#include "StillPairCommit.h"

namespace capture {

// A compressor that failed leaves no compressed copy: the operator is told on the sample's line
// and in the status line, without a message box that would take the scan dialog's focus.
void Form_ImageMaker::compressionEnded(const platform::ProcessEnd& end) {
    if (!compressions_.contains(end.id)) {
        return;
    }
    const PendingCompression compression = compressions_.take(end.id);
    if (!end.succeeded()) {
        platform::runDetached([temporary = compression.temporary] { QFile::remove(temporary); });
        reportCompressionFailure(compression, end.describe());
        if (!compression.spoolKey.isEmpty()) {
            releaseSpooled(compression.spoolKey);
        }
        return;
    }
    // Off the window's thread: the save folder may be a share that stalls.
    platform::runDetachedThen(
        this,
        [compression]() -> std::optional<QString> {
            // Named as the operator can act on it, not by the hidden name nothing was written to.
            if (!QFileInfo::exists(compression.temporary)) {
                return QStringLiteral("the compression program wrote no copy");
            }
            // The copy says which picture it was made from before it takes its name. One that
            // cannot carry it is still placed, as the operator and the lab expect, and noted: the
            // records then show it as a copy nobody vouches for.
            std::optional<QString> unprovenanced;
            if (compression.original) {
                try {
                    records::embedProvenance(compression.temporary, *compression.original,
                                             QUuid::createUuid());
                } catch (const std::exception& error) {
                    unprovenanced = QStringLiteral("the copy carries no provenance: %1")
                                        .arg(platform::reasonOf(error));
                }
            }
            try {
                placeWholeFile(compression.temporary, compression.target);
            } catch (const std::exception& error) {
                return QString::fromUtf8(error.what());
            }
            return unprovenanced;
        },
        [this, compression](const std::optional<QString>& problem) {
            if (problem) {
                reportCompressionFailure(compression, *problem);
            }
            // A kept pair goes on with its copies in place.
            if (!compression.spoolKey.isEmpty()) {
                releaseSpooled(compression.spoolKey);
            }
        });
}

void Form_ImageMaker::reportCompressionFailure(const PendingCompression& compression,
                                               const QString& reason) {
    platform::diagnose(platform::lcCompress(), QtWarningMsg,
                       QStringLiteral("%1 not compressed").arg(compression.pictureName),
                       {{"SAMPLE", compression.sample},
                        {"FOLDER", QFileInfo(compression.target).path()},
                        {"REASON", reason}});
    showStatus(compression.pictureName + QStringLiteral(" not compressed: ") + reason);
    if (const std::optional<qsizetype> line =
            state_.noteNotCompressed(compression.capture, compression.pictureName, reason)) {
        drawCapturedLine(*line);
    }
}

}  // namespace capture
