#include "RecordJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include "PlatformError.h"

namespace records {

namespace {

const QString kFormat = QStringLiteral("sample-image-station record 1");

QString hex(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex());
}
QByteArray unhex(const QJsonValue& value) {
    return QByteArray::fromHex(value.toString().toLatin1());
}
QUuid idOf(const QJsonValue& value) {
    return QUuid::fromString(value.toString());
}
QString idOrEmpty(const QUuid& id) {
    return id.isNull() ? QString() : idText(id);
}

[[noreturn]] void throwMalformed(const QString& what) {
    throw platform::FileAccessError(QStringLiteral("malformed record: %1").arg(what));
}

QJsonArray filesJson(const std::vector<RecordedFile>& files) {
    QJsonArray array;
    for (const RecordedFile& file : files) {
        QJsonObject json{{QStringLiteral("name"), file.name},
                         {QStringLiteral("sha256"), hex(file.sha256)},
                         {QStringLiteral("id"), idOrEmpty(file.id)}};
        if (!file.derivedFrom.isNull()) {
            json.insert(QStringLiteral("derivedFrom"), idText(file.derivedFrom));
        }
        array.append(json);
    }
    return array;
}

QJsonArray keptJson(const std::vector<KeptFile>& kept) {
    QJsonArray array;
    for (const KeptFile& file : kept) {
        array.append(QJsonObject{{QStringLiteral("name"), file.name},
                                 {QStringLiteral("keptAs"), file.keptAs},
                                 {QStringLiteral("sha256"), hex(file.sha256)}});
    }
    return array;
}

// A file name must stay inside the save folder: a record edited to name /etc/passwd or ../x
// is malformed, not a file to hash.
QString relativeName(const QJsonValue& value) {
    const QString name = value.toString();
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) ||
        name.split(QLatin1Char('/')).contains(QStringLiteral(".."))) {
        throwMalformed(QStringLiteral("the file name \"%1\" leaves the save folder").arg(name));
    }
    return name;
}

std::vector<RecordedFile> filesOf(const QJsonArray& array) {
    std::vector<RecordedFile> files;
    for (const QJsonValue value : array) {
        const QJsonObject json = value.toObject();
        files.push_back({relativeName(json.value(QStringLiteral("name"))),
                         unhex(json.value(QStringLiteral("sha256"))),
                         idOf(json.value(QStringLiteral("id"))),
                         idOf(json.value(QStringLiteral("derivedFrom")))});
    }
    return files;
}

std::vector<KeptFile> keptOf(const QJsonArray& array) {
    std::vector<KeptFile> kept;
    for (const QJsonValue value : array) {
        const QJsonObject json = value.toObject();
        kept.push_back({relativeName(json.value(QStringLiteral("name"))),
                        relativeName(json.value(QStringLiteral("keptAs"))),
                        unhex(json.value(QStringLiteral("sha256")))});
    }
    return kept;
}

}  // namespace

QString stationFolderName(const QString& station) {
    static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9._-]"));
    QString name = QString(station).replace(unsafe, QStringLiteral("_"));
    if (name.isEmpty() || name.startsWith(QLatin1Char('.'))) {
        name.prepend(QLatin1Char('_'));
    }
    return name;
}

QString recordFileName(qint64 sequence, RecordEventKind kind, const QString& sample) {
    return QStringLiteral("%1-%2-%3.json")
        .arg(sequence, 8, 10, QLatin1Char('0'))
        .arg(eventName(kind), stationFolderName(sample));
}

std::optional<qint64> sequenceOfRecordFileName(const QString& fileName) {
    static const QRegularExpression pattern(QStringLiteral("^([0-9]{1,18})-[^/]*\\.json$"));
    const QRegularExpressionMatch match = pattern.match(fileName);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    return match.captured(1).toLongLong();
}

QByteArray recordBytes(const Record& record) {
    const RecordEvent& event = record.event;
    QJsonArray pictures;
    for (const AcquisitionMetadata& picture : event.pictures) {
        pictures.append(toJson(picture));
    }
    QJsonObject json{{QStringLiteral("format"), kFormat},
                     {QStringLiteral("event"), eventName(event.kind)},
                     {QStringLiteral("station"), record.station},
                     {QStringLiteral("sequence"), record.sequence},
                     {QStringLiteral("sample"), event.sample},
                     {QStringLiteral("time"), utcText(event.time)},
                     {QStringLiteral("localTime"), localText(event.time)},
                     {QStringLiteral("user"), event.user},
                     {QStringLiteral("files"), filesJson(event.files)},
                     {QStringLiteral("pictures"), pictures},
                     {QStringLiteral("kept"), keptJson(event.kept)},
                     {QStringLiteral("originalsKept"), event.originalsKept}};
    if (!event.supersedes.isNull()) {
        json.insert(QStringLiteral("supersedes"), idText(event.supersedes));
    }
    if (!record.previousSha256.isEmpty()) {
        json.insert(QStringLiteral("previousSha256"), hex(record.previousSha256));
    }
    return QJsonDocument(json).toJson(QJsonDocument::Indented);
}

Record recordOfBytes(const QByteArray& bytes) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    const QJsonObject json = document.object();
    if (error.error != QJsonParseError::NoError ||
        json.value(QStringLiteral("format")) != kFormat) {
        throwMalformed(error.error != QJsonParseError::NoError ? error.errorString()
                                                               : QStringLiteral("no record"));
    }
    const std::optional<RecordEventKind> kind =
        eventNamed(json.value(QStringLiteral("event")).toString());
    const QDateTime time = QDateTime::fromString(json.value(QStringLiteral("localTime")).toString(),
                                                 Qt::ISODateWithMs);
    if (!kind || !time.isValid()) {
        throwMalformed(QStringLiteral("no event or time"));
    }
    Record record;
    RecordEvent& event = record.event;
    event.kind = *kind;
    event.sample = json.value(QStringLiteral("sample")).toString();
    event.time = time;
    event.user = json.value(QStringLiteral("user")).toString();
    event.files = filesOf(json.value(QStringLiteral("files")).toArray());
    for (const QJsonValue picture : json.value(QStringLiteral("pictures")).toArray()) {
        event.pictures.push_back(metadataFromJson(picture.toObject()));
    }
    event.supersedes = idOf(json.value(QStringLiteral("supersedes")));
    event.kept = keptOf(json.value(QStringLiteral("kept")).toArray());
    event.originalsKept = json.value(QStringLiteral("originalsKept")).toBool(true);
    record.station = json.value(QStringLiteral("station")).toString();
    record.sequence = json.value(QStringLiteral("sequence")).toInteger();
    record.previousSha256 = unhex(json.value(QStringLiteral("previousSha256")));
    return record;
}

}  // namespace records
