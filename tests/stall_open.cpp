// Preloaded into a test to make one folder behave like a stalled network share: every open below
// it waits before it goes ahead. Off until the test calls stall_open_below().
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

mode_t modeOf(int flags, va_list arguments) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
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

__attribute__((visibility("default"))) int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    stallIfBelow(path);
    static const auto real = next<int (*)(const char*, int, ...)>("open");
    return real(path, flags, mode);
}

__attribute__((visibility("default"))) int open64(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    stallIfBelow(path);
    static const auto real = next<int (*)(const char*, int, ...)>("open64");
    return real(path, flags, mode);
}

__attribute__((visibility("default"))) int openat(int folder, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    stallIfBelow(path);
    static const auto real = next<int (*)(int, const char*, int, ...)>("openat");
    return real(folder, path, flags, mode);
}

__attribute__((visibility("default"))) int openat64(int folder, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    stallIfBelow(path);
    static const auto real = next<int (*)(int, const char*, int, ...)>("openat64");
    return real(folder, path, flags, mode);
}

}  // extern "C"
