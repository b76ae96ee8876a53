#pragma once

#include <QString>

#include <cstdint>

// A GStreamer device provider for tests, registered in the test process: its "Video/Source"
// devices make live solid-colour videotestsrc elements, and devices can be plugged in and out
// while a device monitor watches.
namespace testcamera {

struct Device {
    QString name;
    QString node;    // reported as the device's path, e.g. "/dev/video91"
    QString serial;  // with the vendor and product ids, what survives a replug
    std::uint32_t argb = 0xff00ff00;
};

// Registers the provider once per process (initialising GStreamer first).
void registerProvider();

// Plugs a device in; a running device monitor is told at once.
void plugIn(const Device& device);

// Unplugs the device with this serial number: the elements it made report that the device has
// gone, the way a camera's source does when its cable is pulled.
void unplug(const QString& serial);

// How many of the sources made for this serial number are not stopped (their device is open).
int runningSources(const QString& serial);

// Unplugs every device, so that each test starts with none.
void unplugAll();

}  // namespace testcamera
