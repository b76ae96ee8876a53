#include "CameraConfig.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <array>
#include <functional>
#include <numeric>

namespace camera::cameraconfig {

namespace {

const QString kSoftwarePrefix = QStringLiteral("Software\\");
const QString kCameraKeyPrefix = QStringLiteral("camera");
const QString kSerialPrefix = QStringLiteral("usb:");

QStringView withoutLeadingZeros(QStringView digits) {
    qsizetype first = 0;
    while (first + 1 < digits.size() && digits[first] == QLatin1Char('0')) {
        ++first;
    }
    return digits.sliced(first);
}

qsizetype digitRunEnd(QStringView text, qsizetype from) {
    while (from < text.size() && text[from].isDigit()) {
        ++from;
    }
    return from;
}

// Compares digit runs by value so that device numbers sort as an operator expects.
bool naturalLess(QStringView a, QStringView b) {
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            const qsizetype endA = digitRunEnd(a, i);
            const qsizetype endB = digitRunEnd(b, j);
            const QStringView numberA = withoutLeadingZeros(a.sliced(i, endA - i));
            const QStringView numberB = withoutLeadingZeros(b.sliced(j, endB - j));
            if (numberA.size() != numberB.size()) {
                return numberA.size() < numberB.size();
            }
            if (numberA != numberB) {
                return numberA < numberB;
            }
            i = endA;
            j = endB;
            continue;
        }
        if (a[i] != b[j]) {
            return a[i] < b[j];
        }
        ++i;
        ++j;
    }
    return (a.size() - i) < (b.size() - j);
}

}  // namespace

std::optional<QString> configPathForKey(const QString& softwareKey, const QString& xdgConfigHome,
                                        const QString& homeDir) {
    const qsizetype prefixAt = softwareKey.indexOf(kSoftwarePrefix, 0, Qt::CaseInsensitive);
    if (prefixAt < 0) {
        return std::nullopt;
    }
    const QString subKey = softwareKey.mid(prefixAt + kSoftwarePrefix.size());
    QStringList parts = subKey.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    // A key must not reach outside the configuration folder.
    parts.removeIf([](const QString& part) { return part == "." || part == ".."; });
    if (parts.isEmpty()) {
        return std::nullopt;
    }
    const QString configHome = QDir::isAbsolutePath(xdgConfigHome)
                                   ? xdgConfigHome
                                   : QDir(homeDir).filePath(QStringLiteral(".config"));
    return QDir::cleanPath(configHome + QLatin1Char('/') + parts.join(QLatin1Char('/')) +
                           QStringLiteral(".conf"));
}

// The index and description of a "cameraN=DESCRIPTION" line; empty for any other line.
static std::optional<std::pair<int, QString>> cameraLine(const QString& rawLine) {
    const QString line = rawLine.trimmed();  // also drops the '\r' of CRLF files
    if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) {
        return std::nullopt;
    }
    const qsizetype equals = line.indexOf(QLatin1Char('='));
    if (equals < 0) {
        return std::nullopt;
    }
    const QString key = line.left(equals).trimmed();
    const QString description = line.mid(equals + 1).trimmed();
    if (!key.startsWith(kCameraKeyPrefix) || description.isEmpty()) {
        return std::nullopt;
    }
    const QString number = key.mid(kCameraKeyPrefix.size());
    const bool allDigits =
        !number.isEmpty() &&
        std::all_of(number.begin(), number.end(), [](QChar c) { return c >= '0' && c <= '9'; });
    bool ok = false;
    const int index = number.toInt(&ok);
    if (!allDigits || !ok) {
        return std::nullopt;
    }
    return std::pair{index, description};
}

std::map<int, QString> parseCameraLines(const QString& text) {
    std::map<int, QString> cameras;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        if (const auto camera = cameraLine(line)) {
            cameras[camera->first] = camera->second;
        }
    }
    return cameras;
}

QString withCameraLines(const QString& text, const std::map<int, QString>& descriptions) {
    const auto lineFor = [](int index, const QString& description) {
        return QStringLiteral("camera%1=%2").arg(index).arg(description);
    };
    QStringList lines = text.split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty()) {
        lines.removeLast();  // the final newline, put back below
    }
    std::map<int, bool> written;
    QStringList result;
    for (const QString& line : lines) {
        const auto camera = cameraLine(line);
        const auto replacement = camera ? descriptions.find(camera->first) : descriptions.end();
        if (!camera || replacement == descriptions.end()) {
            result << line;
            continue;
        }
        // The first line of an index is replaced where it stands; a later one would win over it.
        if (!written[camera->first]) {
            written[camera->first] = true;
            result << lineFor(camera->first, replacement->second) +
                          (line.endsWith(QLatin1Char('\r')) ? QStringLiteral("\r") : QString());
        }
    }
    for (const auto& [index, description] : descriptions) {
        if (!written[index]) {
            result << lineFor(index, description);
        }
    }
    return result.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QString cameraDescription(const QString& device, const CameraMode& mode,
                          const QString& extraControls) {
    const auto quoted = [](const QString& value) {
        return value.contains(QLatin1Char(' ')) ? QStringLiteral("\"%1\"").arg(value) : value;
    };
    QString description = QStringLiteral("v4l2src device=") + quoted(device);
    if (!extraControls.isEmpty()) {
        description += QStringLiteral(" extra-controls=\"%1\"").arg(extraControls);
    }
    const bool jpeg = mode.format == QLatin1String("MJPG");
    const QString size = QStringLiteral("width=%1,height=%2,framerate=%3/%4")
                             .arg(mode.width)
                             .arg(mode.height)
                             .arg(mode.fpsNumerator)
                             .arg(mode.fpsDenominator);
    if (jpeg) {
        return description + QStringLiteral(" ! image/jpeg,") + size + QStringLiteral(" ! jpegdec");
    }
    return description + QStringLiteral(" ! video/x-raw,format=%1,").arg(mode.format) + size;
}

std::optional<CameraMode> defaultMode(const std::vector<CameraMode>& modes) {
    const auto fastEnough = [](const CameraMode& mode) {
        return mode.fpsDenominator > 0 && mode.fpsNumerator >= 15 * mode.fpsDenominator;
    };
    const auto larger = [](const CameraMode& a, const CameraMode& b) {
        return qint64(a.width) * a.height < qint64(b.width) * b.height;
    };
    // Full size at a usable rate is MJPEG on most cameras; then any fast mode; then anything.
    for (const auto& accept : std::array<std::function<bool(const CameraMode&)>, 3>{
             [&](const CameraMode& m) {
                 return m.format == QLatin1String("MJPG") && fastEnough(m);
             },
             fastEnough, [](const CameraMode&) { return true; }}) {
        std::optional<CameraMode> best;
        for (const CameraMode& mode : modes) {
            if (accept(mode) && (!best || larger(*best, mode))) {
                best = mode;
            }
        }
        if (best) {
            return best;
        }
    }
    return std::nullopt;
}

static const QRegularExpression& v4l2DevicePattern() {
    static const QRegularExpression pattern(QStringLiteral(
        R"re((?:^|[\s!])v4l2src\s[^!]*?\bdevice\s*=\s*(?:"([^"]*)"|'([^']*)'|([^\s!]+)))re"));
    return pattern;
}

std::optional<QString> v4l2DevicePath(const QString& description) {
    const QRegularExpressionMatch match = v4l2DevicePattern().match(description);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    for (int group = 1; group <= 3; ++group) {
        if (match.capturedLength(group) > 0) {
            return match.captured(group);
        }
    }
    return std::nullopt;
}

QString withDevicePath(const QString& description, const QString& path) {
    const QRegularExpressionMatch match = v4l2DevicePattern().match(description);
    for (int group = 1; group <= 3; ++group) {
        if (match.capturedLength(group) > 0) {
            QString replaced = description;
            return replaced.replace(match.capturedStart(group), match.capturedLength(group), path);
        }
    }
    return description;
}

std::optional<QString> deviceIdentity(const QString& vendorId, const QString& productId,
                                      const QString& serial, const QString& busPath) {
    if (!serial.isEmpty()) {
        return kSerialPrefix + QStringLiteral("%1:%2:%3").arg(vendorId, productId, serial);
    }
    // Two identical cameras without serial numbers are told apart only by their port.
    if (!busPath.isEmpty()) {
        return QStringLiteral("port:%1").arg(busPath);
    }
    return std::nullopt;
}

bool sameDevice(const DeviceId& known, const DeviceId& appeared) {
    if (known.identity && appeared.identity) {
        if (*known.identity == *appeared.identity) {
            return true;
        }
        // Serial numbers tell cameras apart for certain; a port only until it is replugged
        // elsewhere, when a by-id link still finds it.
        if (known.identity->startsWith(kSerialPrefix) &&
            appeared.identity->startsWith(kSerialPrefix)) {
            return false;
        }
    }
    if (!known.path || !appeared.path) {
        return false;
    }
    if (*known.path == *appeared.path) {
        return true;
    }
    const QString resolved = QFileInfo(*known.path).canonicalFilePath();
    return !resolved.isEmpty() && resolved == QFileInfo(*appeared.path).canonicalFilePath();
}

std::vector<std::size_t> deviceOrder(const std::vector<DeviceListing>& devices) {
    std::vector<std::size_t> order(devices.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&devices](std::size_t left, std::size_t right) {
        const DeviceListing& a = devices[left];
        const DeviceListing& b = devices[right];
        if (a.path.isEmpty() != b.path.isEmpty()) {
            return b.path.isEmpty();
        }
        if (a.path != b.path) {
            return naturalLess(a.path, b.path);
        }
        return naturalLess(a.displayName, b.displayName);
    });
    return order;
}

}  // namespace camera::cameraconfig
