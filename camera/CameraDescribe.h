#pragma once

#include "CameraDescription.h"

#include <QString>

#include <glib-object.h>

#include <optional>

// Reads a camera's identity and its controls back for the records.
namespace camera {

// A V4L2 node: its capabilities (card, bus, driver), the stable by-id link that leads to it, the
// serial in its identity, and the values of the controls its line's extra-controls set. A few
// ioctls on the node.
CameraDescription describeV4l2(const QString& node, const std::optional<QString>& identity,
                               const QString& description);

// The ArvCamera of a streaming aravissrc with its `identity`: its features read back, a register
// read or two each.
CameraDescription describeGenicam(GObject* camera, CameraDescription::Values identity);

}  // namespace camera
