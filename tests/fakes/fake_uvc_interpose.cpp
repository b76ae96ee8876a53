// The C library calls through which a program meets a device node: open, stat, access, ioctl,
// mmap, read, dup, close, poll. Calls on anything that is not a fake node go straight through.
#include "fake_uvc_state.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace fakeuvc {

namespace {

using OpenFn = int (*)(const char*, int, ...);
using OpenAtFn = int (*)(int, const char*, int, ...);
using CloseFn = int (*)(int);
using ReadFn = ssize_t (*)(int, void*, size_t);
using IoctlFn = int (*)(int, unsigned long, ...);
using MmapFn = void* (*)(void*, size_t, int, int, int, off_t);
using StatxFn = int (*)(int, const char*, int, unsigned, struct statx*);
using AccessFn = int (*)(const char*, int);
using DupFn = int (*)(int);
using Dup3Fn = int (*)(int, int, int);
using PollFn = int (*)(pollfd*, nfds_t, int);
using PpollFn = int (*)(pollfd*, nfds_t, const timespec*, const sigset_t*);

int fail(int error) {
    errno = error;
    return -1;
}

void fakeStat(const Device& device, struct stat* out) {
    std::memset(out, 0, sizeof *out);
    out->st_mode = S_IFCHR | 0660;
    out->st_rdev = makedev(81, static_cast<unsigned>(device.minor));
    out->st_dev = makedev(0, 5);
    out->st_ino = 1000 + static_cast<ino_t>(device.minor);
    out->st_nlink = 1;
    out->st_gid = getgid();
    out->st_uid = getuid();
    out->st_blksize = 4096;
}

constexpr int kNotOurs = -2;

// 0: stat filled in; -1 (ENOENT) for a node whose camera is unplugged; or kNotOurs.
int statPath(const char* path, struct stat* out) {
    if (path == nullptr || std::strncmp(path, "/dev/", 5) != 0) {
        return kNotOurs;
    }
    State& s = state();
    const std::lock_guard lock(s.mutex);
    configure(s);
    if (const auto device = pluggedAt(s, path)) {
        fakeStat(*device, out);
        return 0;
    }
    return s.knownNodes.count(std::string_view(path)) != 0 ? fail(ENOENT) : kNotOurs;
}

// As statPath, and -1 (EACCES) for reading or writing a node the user may not open.
int accessPath(const char* path, int mode) {
    struct stat plain {};
    const int faked = statPath(path, &plain);
    if (faked != 0 || mode == F_OK) {
        return faked;
    }
    State& s = state();
    const std::lock_guard lock(s.mutex);
    const auto device = pluggedAt(s, path);
    return device && device->denied ? fail(EACCES) : 0;
}

std::shared_ptr<OpenFile> fileOf(State& s, int fd) {
    return isOurs(fd) ? s.files[static_cast<std::size_t>(fd)] : nullptr;
}

int openNode(const char* path, int flags) {
    State& s = state();
    const std::lock_guard lock(s.mutex);
    configure(s);
    const auto device = pluggedAt(s, path);
    if (!device) {
        return s.knownNodes.count(std::string_view(path)) != 0 ? fail(ENOENT) : kNotOurs;
    }
    if (device->denied) {
        return fail(EACCES);
    }
    const int fd = eventfd(0, ((flags & O_CLOEXEC) != 0 ? EFD_CLOEXEC : 0) |
                                  ((flags & O_NONBLOCK) != 0 ? EFD_NONBLOCK : 0));
    if (fd < 0 || fd >= kMaxFds) {
        return fd < 0 ? -1 : (realFunction<CloseFn>("close")(fd), fail(EMFILE));
    }
    auto file = std::make_shared<OpenFile>();
    file->device = device;
    file->signalFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    ++device->priorities[file->priority];
    s.files[static_cast<std::size_t>(fd)] = std::move(file);
    s.ours[static_cast<std::size_t>(fd)].store(true);
    startTicker(s);
    return fd;
}

// What tools read from sysfs to tell a video node from other devices: its uevent.
int openSysfsFile(const char* path) {
    unsigned minor = 0;
    char rest[16] = {};
    if (std::sscanf(path, "/sys/dev/char/81:%u/%15s", &minor, rest) != 2 ||
        std::strcmp(rest, "uevent") != 0) {
        return kNotOurs;
    }
    std::string text;
    {
        State& s = state();
        const std::lock_guard lock(s.mutex);
        configure(s);
        for (const auto& device : s.devices) {
            if (device->plugged && device->minor == static_cast<int>(minor)) {
                text = "MAJOR=81\nMINOR=" + std::to_string(minor) +
                       "\nDEVNAME=" + device->node.substr(5) + "\n";
            }
        }
    }
    if (text.empty()) {
        return fail(ENOENT);
    }
    const int fd = memfd_create("fake-uvc-uevent", MFD_CLOEXEC);
    if (fd >= 0) {
        const bool written =
            ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        lseek(fd, 0, SEEK_SET);
        if (!written) {
            realFunction<CloseFn>("close")(fd);
            return fail(EIO);
        }
    }
    return fd;
}

template <typename Real, typename... Folder>
int openOr(Real real, const char* path, int flags, mode_t mode, Folder... folder) {
    if (path != nullptr && std::strncmp(path, "/sys/dev/char/81:", 17) == 0) {
        const int fd = openSysfsFile(path);
        if (fd != kNotOurs) {
            return fd;
        }
    }
    if (path != nullptr && std::strncmp(path, "/dev/", 5) == 0) {
        const int fd = openNode(path, flags);
        if (fd != kNotOurs) {
            return fd;
        }
    }
    return real(folder..., path, flags, mode);
}

mode_t modeOf(int flags, va_list arguments) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

int ioctlOn(int fd, unsigned long request, void* argument) {
    if (argument == nullptr && knownRequest(request)) {
        return fail(EFAULT);
    }
    State& s = state();
    for (;;) {
        std::unique_lock lock(s.mutex);
        const std::shared_ptr<OpenFile> file = fileOf(s, fd);
        if (!file) {
            return fail(EBADF);
        }
        const int result = deviceIoctl(s, *file, request, argument);
        lock.unlock();
        if (result == -EAGAIN && request == VIDIOC_DQBUF &&
            (fcntl(fd, F_GETFL) & O_NONBLOCK) == 0) {
            pollfd wait{fd, POLLIN, 0};
            realFunction<PollFn>("poll")(&wait, 1, 100);  // woken by a frame or an unplug
            continue;
        }
        return result < 0 ? fail(-result) : result;
    }
}

void markUnplugged(pollfd* fds, nfds_t count, int* ready) {
    if (!state().anyUnplugged.load() || *ready < 0) {
        return;
    }
    State& s = state();
    const std::lock_guard lock(s.mutex);
    for (nfds_t i = 0; i < count; ++i) {
        const auto file = fileOf(s, fds[i].fd);
        if (file && !file->device->plugged) {
            *ready += fds[i].revents == 0 ? 1 : 0;
            fds[i].revents |= POLLERR;
        }
    }
}

}  // namespace

bool isOurs(int fd) {
    return fd >= 0 && fd < kMaxFds && state().ours[static_cast<std::size_t>(fd)].load();
}

State& state() {
    static State& s = *new State;
    return s;
}

int nodeNumber(std::string_view node) {
    const auto digits = node.find_last_not_of("0123456789");
    return digits + 1 < node.size() ? std::atoi(std::string(node.substr(digits + 1)).c_str()) : 0;
}

std::shared_ptr<Device> pluggedAt(State& s, std::string_view node) {
    for (const auto& device : s.devices) {
        if (device->plugged && device->node == node) {
            return device;
        }
    }
    return nullptr;
}

void configure(State& s) {
    if (s.configured) {
        return;
    }
    s.configured = true;
    const char* list = std::getenv("FAKE_UVC_DEVICES");
    const char* commands = std::getenv("FAKE_UVC_CONTROL");
    s.commandFile = commands != nullptr ? commands : "";
    std::string_view rest = list != nullptr ? list : "";
    while (!rest.empty()) {
        const std::string_view entry = rest.substr(0, rest.find(','));
        rest.remove_prefix(std::min(rest.size(), entry.size() + 1));
        const auto equals = entry.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        auto device = std::make_shared<Device>();
        device->camera = std::make_shared<Camera>();
        device->node = std::string(entry.substr(0, equals));
        device->minor = nodeNumber(device->node);
        device->camera->colour = device->minor % static_cast<int>(std::size(kPalette));
        const std::string_view formats = entry.substr(equals + 1);
        for (std::size_t at = 0; at < formats.size();) {
            const std::string_view name = formats.substr(at, formats.find('+', at) - at);
            if (name == "mjpeg") {
                device->camera->formats.push_back(Format::Mjpeg);
            } else if (name == "yuyv") {
                device->camera->formats.push_back(Format::Yuyv);
            }
            at += name.size() + 1;
        }
        if (device->camera->formats.empty()) {
            continue;
        }
        device->mode = {device->camera->formats.front(), 640, 480};
        s.knownNodes.insert(device->node);
        s.devices.push_back(std::move(device));
    }
    if (!s.commandFile.empty()) {
        startTicker(s);
    }
}

OpenFile::~OpenFile() {
    Device& node = *device;
    if (node.owner == this) {
        node.streaming = false;
        node.freeBuffers();
        node.owner = nullptr;
    }
    --node.priorities[priority];
    realFunction<CloseFn>("close")(signalFd);
}

void OpenFile::signal() {
    if (!signalled) {
        const std::uint64_t one = 1;
        signalled = ::write(signalFd, &one, sizeof one) == sizeof one;
    }
}

void OpenFile::clearSignal() {
    if (signalled && device->plugged) {
        std::uint64_t count = 0;
        signalled = realFunction<ReadFn>("read")(signalFd, &count, sizeof count) != sizeof count;
    }
}

// One thread makes the frames of every streaming node at its own rate and picks up commands.
void startTicker(State& s) {
    if (s.tickerRunning) {
        return;
    }
    s.tickerRunning = true;
    std::thread([&s] {
        std::unique_lock lock(s.mutex);
        Clock::time_point nextCommands = Clock::now();
        for (;;) {
            Clock::time_point now = Clock::now();
            if (now >= nextCommands) {
                readCommandFile(s);
                nextCommands = now + std::chrono::milliseconds(50);
            }
            Clock::time_point wakeAt = nextCommands;
            for (const auto& device : s.devices) {
                if (!device->plugged || !device->streaming) {
                    continue;
                }
                const auto interval = std::chrono::microseconds(1'000'000 / device->fps);
                if (device->nextFrame <= now) {
                    produceFrame(*device);
                    device->nextFrame += interval;
                    if (device->nextFrame <= now) {
                        device->nextFrame = now + interval;  // fell behind: do not catch up
                    }
                }
                wakeAt = std::min(wakeAt, device->nextFrame);
            }
            s.wake.wait_until(lock, wakeAt);
        }
    }).detach();
}

}  // namespace fakeuvc

using namespace fakeuvc;

extern "C" {

int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    static const auto real = realFunction<OpenFn>("open");
    return openOr(real, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    static const auto real = realFunction<OpenFn>("open64");
    return openOr(real, path, flags, mode);
}

int __open_2(const char* path, int flags) {
    static const auto real = realFunction<OpenFn>("open");
    return openOr(real, path, flags, 0);
}

int __open64_2(const char* path, int flags) {
    static const auto real = realFunction<OpenFn>("open64");
    return openOr(real, path, flags, 0);
}

int openat(int folder, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    static const auto real = realFunction<OpenAtFn>("openat");
    return openOr(real, path, flags, mode, folder);
}

int openat64(int folder, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    static const auto real = realFunction<OpenAtFn>("openat64");
    return openOr(real, path, flags, mode, folder);
}

#define FAKE_UVC_FOPEN(NAME)                                                               \
    FILE* NAME(const char* path, const char* mode) {                                       \
        if (path != nullptr && std::strncmp(path, "/sys/dev/char/81:", 17) == 0) {         \
            const int fd = openSysfsFile(path);                                            \
            if (fd != kNotOurs) {                                                          \
                return fd < 0 ? nullptr : fdopen(fd, mode);                                \
            }                                                                              \
        }                                                                                  \
        static const auto real = realFunction<FILE* (*)(const char*, const char*)>(#NAME); \
        return real(path, mode);                                                           \
    }
FAKE_UVC_FOPEN(fopen)
FAKE_UVC_FOPEN(fopen64)

// The 64-bit structures are the plain ones on 64-bit Linux.
static_assert(sizeof(struct stat) == sizeof(struct stat64));

#define FAKE_UVC_STAT(NAME, STRUCT)                                                         \
    int NAME(const char* path, struct STRUCT* out) {                                        \
        const int faked = statPath(path, reinterpret_cast<struct stat*>(out));              \
        static const auto real = realFunction<int (*)(const char*, struct STRUCT*)>(#NAME); \
        return faked != kNotOurs ? faked : real(path, out);                                 \
    }
FAKE_UVC_STAT(stat, stat)
FAKE_UVC_STAT(stat64, stat64)
FAKE_UVC_STAT(lstat, stat)
FAKE_UVC_STAT(lstat64, stat64)

#define FAKE_UVC_FSTAT(NAME, STRUCT)                                                \
    int NAME(int fd, struct STRUCT* out) {                                          \
        if (isOurs(fd)) {                                                           \
            State& s = state();                                                     \
            const std::lock_guard lock(s.mutex);                                    \
            if (const auto file = fileOf(s, fd)) {                                  \
                fakeStat(*file->device, reinterpret_cast<struct stat*>(out));       \
                return 0;                                                           \
            }                                                                       \
        }                                                                           \
        static const auto real = realFunction<int (*)(int, struct STRUCT*)>(#NAME); \
        return real(fd, out);                                                       \
    }
FAKE_UVC_FSTAT(fstat, stat)
FAKE_UVC_FSTAT(fstat64, stat64)

#define FAKE_UVC_FSTATAT(NAME, STRUCT)                                                            \
    int NAME(int folder, const char* path, struct STRUCT* out, int flags) {                       \
        auto* plain = reinterpret_cast<struct stat*>(out);                                        \
        if ((flags & AT_EMPTY_PATH) != 0 && path != nullptr && *path == '\0' && isOurs(folder)) { \
            return fstat(folder, plain);                                                          \
        }                                                                                         \
        const int faked = statPath(path, plain);                                                  \
        static const auto real =                                                                  \
            realFunction<int (*)(int, const char*, struct STRUCT*, int)>(#NAME);                  \
        return faked != kNotOurs ? faked : real(folder, path, out, flags);                        \
    }
FAKE_UVC_FSTATAT(fstatat, stat)
FAKE_UVC_FSTATAT(fstatat64, stat64)

int statx(int folder, const char* path, int flags, unsigned mask, struct statx* out) {
    struct stat plain {};
    int faked = kNotOurs;
    if ((flags & AT_EMPTY_PATH) != 0 && path != nullptr && *path == '\0' && isOurs(folder)) {
        faked = fstat(folder, &plain);
    } else {
        faked = statPath(path, &plain);
    }
    if (faked == kNotOurs) {
        static const auto real = realFunction<StatxFn>("statx");
        return real(folder, path, flags, mask, out);
    }
    if (faked == 0) {
        std::memset(out, 0, sizeof *out);
        out->stx_mask = STATX_BASIC_STATS;
        out->stx_mode = static_cast<std::uint16_t>(plain.st_mode);
        out->stx_nlink = 1;
        out->stx_uid = plain.st_uid;
        out->stx_gid = plain.st_gid;
        out->stx_ino = plain.st_ino;
        out->stx_blksize = 4096;
        out->stx_rdev_major = major(plain.st_rdev);
        out->stx_rdev_minor = minor(plain.st_rdev);
        out->stx_dev_minor = 5;
    }
    return faked;
}

int access(const char* path, int mode) {
    const int faked = accessPath(path, mode);
    static const auto real = realFunction<AccessFn>("access");
    return faked != kNotOurs ? faked : real(path, mode);
}

int faccessat(int folder, const char* path, int mode, int flags) {
    const int faked = accessPath(path, mode);
    using Fn = int (*)(int, const char*, int, int);
    static const auto real = realFunction<Fn>("faccessat");
    return faked != kNotOurs ? faked : real(folder, path, mode, flags);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (isOurs(fd)) {
        return ioctlOn(fd, request, argument);
    }
    static const auto real = realFunction<IoctlFn>("ioctl");
    return real(fd, request, argument);
}

#define FAKE_UVC_MMAP(NAME)                                                                        \
    void* NAME(void* address, size_t length, int protection, int flags, int fd, off_t offset) {    \
        static const auto real = realFunction<MmapFn>(#NAME);                                      \
        if (!isOurs(fd)) {                                                                         \
            return real(address, length, protection, flags, fd, offset);                           \
        }                                                                                          \
        State& s = state();                                                                        \
        const std::lock_guard lock(s.mutex);                                                       \
        const auto file = fileOf(s, fd);                                                           \
        Device& device = *file->device;                                                            \
        const std::size_t index =                                                                  \
            device.bufferStride == 0 ? 0 : static_cast<std::size_t>(offset) / device.bufferStride; \
        if (!device.plugged) {                                                                     \
            errno = ENODEV;                                                                        \
            return MAP_FAILED;                                                                     \
        }                                                                                          \
        if ((flags & MAP_SHARED) == 0 || index >= device.buffers.size() ||                         \
            static_cast<std::size_t>(offset) % device.bufferStride != 0 ||                         \
            length > device.bufferStride) {                                                        \
            errno = EINVAL;                                                                        \
            return MAP_FAILED;                                                                     \
        }                                                                                          \
        void* mapped = real(address, length, protection, flags, device.memoryFd, offset);          \
        device.buffers[index].mapped = mapped != MAP_FAILED;                                       \
        return mapped;                                                                             \
    }
FAKE_UVC_MMAP(mmap)
FAKE_UVC_MMAP(mmap64)

ssize_t read(int fd, void* buffer, size_t size) {
    if (isOurs(fd)) {
        return fail(EINVAL);  // no read() I/O: streaming only, as uvcvideo
    }
    static const auto real = realFunction<ReadFn>("read");
    return real(fd, buffer, size);
}

int close(int fd) {
    static const auto real = realFunction<CloseFn>("close");
    if (isOurs(fd)) {
        State& s = state();
        const std::lock_guard lock(s.mutex);
        s.ours[static_cast<std::size_t>(fd)].store(false);
        s.files[static_cast<std::size_t>(fd)].reset();
    }
    return real(fd);
}

int dup(int fd) {
    static const auto real = realFunction<DupFn>("dup");
    const int copy = real(fd);
    if (copy >= 0 && isOurs(fd)) {
        State& s = state();
        const std::lock_guard lock(s.mutex);
        if (copy < kMaxFds) {
            s.files[static_cast<std::size_t>(copy)] = s.files[static_cast<std::size_t>(fd)];
            s.ours[static_cast<std::size_t>(copy)].store(true);
        }
    }
    return copy;
}

int dup3(int fd, int target, int flags) {
    static const auto real = realFunction<Dup3Fn>("dup3");
    if (isOurs(target)) {
        State& s = state();
        const std::lock_guard lock(s.mutex);
        s.ours[static_cast<std::size_t>(target)].store(false);
        s.files[static_cast<std::size_t>(target)].reset();
    }
    const int copy = real(fd, target, flags);
    if (copy >= 0 && copy < kMaxFds && isOurs(fd)) {
        State& s = state();
        const std::lock_guard lock(s.mutex);
        s.files[static_cast<std::size_t>(copy)] = s.files[static_cast<std::size_t>(fd)];
        s.ours[static_cast<std::size_t>(copy)].store(true);
    }
    return copy;
}

int dup2(int fd, int target) {
    return fd == target ? (fcntl(fd, F_GETFD) < 0 ? -1 : fd) : dup3(fd, target, 0);
}

int poll(pollfd* fds, nfds_t count, int timeout) {
    static const auto real = realFunction<PollFn>("poll");
    int ready = real(fds, count, timeout);
    markUnplugged(fds, count, &ready);
    return ready;
}

int ppoll(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask) {
    static const auto real = realFunction<PpollFn>("ppoll");
    int ready = real(fds, count, timeout, mask);
    markUnplugged(fds, count, &ready);
    return ready;
}

}  // extern "C"
