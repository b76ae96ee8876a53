// Preloaded into a test to make one folder behave like a stalled network share: every open below
// it, and every folder made below it, waits before it goes ahead. Off until the test calls
// stall_open_below().
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::mutex stallMutex;
std::string stalledFolder;  // guarded by stallMutex; no final '/'
int stallSeconds = 0;       // guarded by stallMutex

void stallIfBelow(const char* path) {
    if (path == nullptr) {
        return;
    }
    int seconds = 0;
    {
        const std::lock_guard lock(stallMutex);
        const std::size_t length = stalledFolder.size();
        // The folder itself counts too: a file may be created by opening its folder (O_TMPFILE).
        const bool below = length > 0 && std::strncmp(path, stalledFolder.c_str(), length) == 0 &&
                           (path[length] == '\0' || path[length] == '/');
        if (!below) {
            return;
        }
        seconds = stallSeconds;
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
}

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using OpenFunction = int (*)(const char*, int, ...);
using OpenAtFunction = int (*)(int, const char*, int, ...);

mode_t modeOf(int flags, va_list arguments) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

// What every wrapper does once it has read its mode: waits while PATH lies below the stalled
// folder, then makes the call it stands in for (FOLDER is the descriptor of the *at calls).
template <typename Function, typename... Folder>
int stallThenOpen(Function real, const char* path, int flags, mode_t mode, Folder... folder) {
    stallIfBelow(path);
    return real(folder..., path, flags, mode);
}

}  // namespace

extern "C" {

// An empty folder ends the stall for opens that begin afterwards.
__attribute__((visibility("default"))) void stall_open_below(const char* folder, int seconds) {
    const std::lock_guard lock(stallMutex);
    stalledFolder = folder;
    while (stalledFolder.size() > 1 && stalledFolder.back() == '/') {
        stalledFolder.pop_back();
    }
    stallSeconds = seconds;
}

// The mode argument is read only where the flags say it was passed, as open(2) does.
__attribute__((visibility("default"))) int open(const char* path, int flags, ...) {
    static const auto real = next<OpenFunction>("open");
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    return stallThenOpen(real, path, flags, mode);
}

__attribute__((visibility("default"))) int open64(const char* path, int flags, ...) {
    static const auto real = next<OpenFunction>("open64");
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    return stallThenOpen(real, path, flags, mode);
}

__attribute__((visibility("default"))) int openat(int folder, const char* path, int flags, ...) {
    static const auto real = next<OpenAtFunction>("openat");
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    return stallThenOpen(real, path, flags, mode, folder);
}

__attribute__((visibility("default"))) int openat64(int folder, const char* path, int flags, ...) {
    static const auto real = next<OpenAtFunction>("openat64");
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    return stallThenOpen(real, path, flags, mode, folder);
}

// New folders are made without an open: the share stalls those the same way.
__attribute__((visibility("default"))) int mkdir(const char* path, mode_t mode) {
    static const auto real = next<int (*)(const char*, mode_t)>("mkdir");
    stallIfBelow(path);
    return real(path, mode);
}

__attribute__((visibility("default"))) int mkdirat(int folder, const char* path, mode_t mode) {
    static const auto real = next<int (*)(int, const char*, mode_t)>("mkdirat");
    stallIfBelow(path);
    return real(folder, path, mode);
}

}  // extern "C"
