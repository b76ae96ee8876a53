#pragma once

#include <QString>

#include <utility>
#include <vector>

namespace camera {

// Which camera a picture came from and how it was set, for the records.
struct CameraDescription {
    enum class Kind { V4l2, Genicam, Other };
    using Values = std::vector<std::pair<QString, QString>>;  // name -> value, in a fixed order

    Kind kind = Kind::Other;
    // V4L2: card, bus, driver, by-id link, serial where there is one. GenICam: vendor, model,
    // serial, firmware, interface, address. Others: the configured description.
    Values identity;
    // The controls (features) as read back now; one the camera lacks is left out, never 0.
    Values controls;
    // Why something could not be read; empty when all was read.
    QString reason;
};

}  // namespace camera
