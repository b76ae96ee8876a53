#include "CameraDescribe.h"

#include "Genicam.h"
#include "V4l2Controls.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace camera {

namespace {

QString fixed(const __u8* text, std::size_t size) {
    return QString::fromUtf8(reinterpret_cast<const char*>(text),
                             qsizetype(strnlen(reinterpret_cast<const char*>(text), size)));
}

// The controls named in the line's extra-controls ("c,auto_exposure=1,...").
QStringList lockedControlNames(const QString& description) {
    static const QRegularExpression pattern(
        QStringLiteral(R"re(extra-controls\s*=\s*"([^"]*)")re"));
    QStringList names;
    const QString controls = pattern.match(description).captured(1);
    for (const QString& field : controls.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const qsizetype equals = field.indexOf(QLatin1Char('='));
        if (equals > 0) {
            names << field.left(equals).trimmed();
        }
    }
    return names;
}

std::optional<QString> byIdLink(const QString& node) {
    const QString target = QFileInfo(node).canonicalFilePath();
    const QDir folder(QStringLiteral("/dev/v4l/by-id"));
    for (const QFileInfo& link : folder.entryInfoList(QDir::System | QDir::Files, QDir::Name)) {
        if (!target.isEmpty() && link.canonicalFilePath() == target &&
            link.fileName().endsWith(QLatin1String("index0"))) {
            return link.absoluteFilePath();
        }
    }
    return std::nullopt;
}

void readCapabilities(const QString& node, CameraDescription& description) {
    const int fd = ::open(node.toLocal8Bit().constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    v4l2_capability caps{};
    const bool read = fd >= 0 && ::ioctl(fd, VIDIOC_QUERYCAP, &caps) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    if (!read) {
        description.reason = QStringLiteral("%1 answers no capability query").arg(node);
        return;
    }
    description.identity.emplace_back(QStringLiteral("card"), fixed(caps.card, sizeof caps.card));
    description.identity.emplace_back(QStringLiteral("bus"),
                                      fixed(caps.bus_info, sizeof caps.bus_info));
    description.identity.emplace_back(QStringLiteral("driver"),
                                      fixed(caps.driver, sizeof caps.driver));
}

}  // namespace

CameraDescription describeV4l2(const QString& node, const std::optional<QString>& identity,
                               const QString& description) {
    CameraDescription result;
    result.kind = CameraDescription::Kind::V4l2;
    result.identity.emplace_back(QStringLiteral("node"), node);
    readCapabilities(node, result);
    if (const std::optional<QString> link = byIdLink(node)) {
        result.identity.emplace_back(QStringLiteral("by-id"), *link);
    }
    // "usb:VENDOR:PRODUCT:SERIAL" for a camera that has a serial number.
    if (identity && identity->startsWith(QLatin1String("usb:"))) {
        result.identity.emplace_back(QStringLiteral("serial"),
                                     identity->section(QLatin1Char(':'), 3));
    }
    const QStringList locked = lockedControlNames(description);
    if (locked.isEmpty()) {
        return result;
    }
    QString error;
    const auto controls = openV4l2Controls(node, &error);
    if (!controls) {
        result.reason = error;
        return result;
    }
    const auto listed = controls->list();
    for (const QString& name : locked) {
        for (const auto& control : listed) {
            if (control.name == name) {
                result.controls.emplace_back(name, QString::number(control.value));
            }
        }
    }
    return result;
}

CameraDescription describeGenicam(GObject* camera, CameraDescription::Values identity) {
    CameraDescription result;
    result.kind = CameraDescription::Kind::Genicam;
    result.identity = std::move(identity);
    // Automatic modes first, as they were locked; then the values.
    for (const char* name : {"ExposureAuto", "GainAuto", "BalanceWhiteAuto"}) {
        if (std::optional<QString> value = genicam::featureValue(camera, name)) {
            result.controls.emplace_back(QString::fromLatin1(name), std::move(*value));
        }
    }
    const genicam::Features values = genicam::readFeatures(camera, nullptr);
    result.controls.insert(result.controls.end(), values.begin(), values.end());
    if (result.identity.empty()) {
        result.reason = QStringLiteral("the camera's identity cannot be read");
    }
    return result;
}

}  // namespace camera
