// Faults on demand: commands read from the file FAKE_UVC_CONTROL names (appended lines, picked
// up within 50 ms) or given in the process through fake_uvc_command().
//   unplug NODE          the camera goes: DQBUF and poll report it, the node disappears
//   replug NODE [AT]     the camera unplugged from NODE comes back, at AT if given
//   busy NODE | release NODE     another program holds (or lets go of) the stream
//   cut NODE | whole NODE        frames end early, without their end-of-image marker
//   deny NODE | allow NODE       opening the node fails with EACCES (or works again)
//   set NODE NAME=VALUE  another program changes a control
#include "fake_uvc_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

namespace fakeuvc {

void unplug(State& s, Device& device) {
    device.plugged = false;
    device.streaming = false;
    for (std::size_t fd = 0; fd < s.files.size(); ++fd) {
        if (s.files[fd] && s.files[fd]->device.get() == &device) {
            s.files[fd]->signal();  // a waiting reader wakes up to find the device gone
        }
    }
    s.anyUnplugged.store(true);
}

int applyCommand(State& s, std::string_view line) {
    std::istringstream words{std::string(line)};
    std::string verb;
    std::string node;
    std::string argument;
    words >> verb >> node >> argument;
    if (verb.empty()) {
        return 0;
    }
    if (verb == "replug") {
        const std::string at = argument.empty() ? node : argument;
        if (pluggedAt(s, at)) {
            return -EEXIST;
        }
        for (auto it = s.devices.rbegin(); it != s.devices.rend(); ++it) {
            if ((*it)->node == node && !(*it)->plugged) {
                auto device = std::make_shared<Device>();
                device->camera = (*it)->camera;
                device->node = at;
                device->minor = nodeNumber(at);
                device->mode = {device->camera->formats.front(), 640, 480};
                s.devices.push_back(std::move(device));
                s.knownNodes.insert(at);
                return 0;
            }
        }
        return -ENODEV;
    }
    const std::shared_ptr<Device> device = pluggedAt(s, node);
    if (!device) {
        return -ENODEV;
    }
    if (verb == "unplug") {
        unplug(s, *device);
    } else if (verb == "busy" || verb == "release") {
        device->heldElsewhere = verb == "busy";
    } else if (verb == "cut" || verb == "whole") {
        device->cutFrames = verb == "cut";
    } else if (verb == "deny" || verb == "allow") {
        device->denied = verb == "deny";
    } else if (verb == "set") {
        const auto equals = argument.find('=');
        if (equals == std::string::npos) {
            return -EINVAL;
        }
        return device->controls.setByName(argument.substr(0, equals),
                                          std::stoll(argument.substr(equals + 1)));
    } else {
        return -EINVAL;
    }
    return 0;
}

void readCommandFile(State& s) {
    if (s.commandFile.empty()) {
        return;
    }
    static const auto realOpen = realFunction<int (*)(const char*, int, ...)>("open");
    static const auto realClose = realFunction<int (*)(int)>("close");
    static const auto realRead = realFunction<ssize_t (*)(int, void*, size_t)>("read");
    const int fd = realOpen(s.commandFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    std::string text;
    if (lseek(fd, static_cast<off_t>(s.commandOffset), SEEK_SET) >= 0) {
        char chunk[4096];
        ssize_t got = 0;
        while ((got = realRead(fd, chunk, sizeof chunk)) > 0) {
            text.append(chunk, static_cast<std::size_t>(got));
        }
    }
    realClose(fd);
    // Only whole lines: a writer may be halfway through one.
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos;
         end = text.find('\n', start)) {
        applyCommand(s, std::string_view(text).substr(start, end - start));
        start = end + 1;
    }
    s.commandOffset += start;
}

}  // namespace fakeuvc

extern "C" __attribute__((visibility("default"))) int fake_uvc_command(const char* line) {
    fakeuvc::State& s = fakeuvc::state();
    const std::lock_guard lock(s.mutex);
    fakeuvc::configure(s);
    const int result = fakeuvc::applyCommand(s, line == nullptr ? "" : line);
    s.wake.notify_all();
    return result;
}
