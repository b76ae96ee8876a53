// Preloaded into a station to crash it at one chosen step of its file work: the Nth rename, link,
// unlink or sync below CRASH_AT_FOLDER (CRASH_AT_CALL=N) kills the process before the call is
// made, as a crash or a power cut would. CRASH_AT_LOG names a file that gets one line per step.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Settings {
    std::string folder;  // no final '/'
    long crashAt = 0;
    int log = -1;
};

// Read on first use: a constructor function may run before this library's own static objects.
const Settings& settings() {
    static const Settings read = [] {
        Settings result;
        const char* const below = std::getenv("CRASH_AT_FOLDER");
        const char* const call = std::getenv("CRASH_AT_CALL");
        const char* const log = std::getenv("CRASH_AT_LOG");
        result.folder = below != nullptr ? below : "";
        while (result.folder.size() > 1 && result.folder.back() == '/') {
            result.folder.pop_back();
        }
        result.crashAt = call != nullptr ? std::atol(call) : 0;
        if (log != nullptr) {
            result.log = ::open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        }
        return result;
    }();
    return read;
}

std::atomic<long> steps{0};

__attribute__((constructor)) void configure() {
    settings();
    // The compressors the station starts are not part of the count.
    ::unsetenv("LD_PRELOAD");
}

bool below(const char* path) {
    const std::string& folder = settings().folder;
    return !folder.empty() && path != nullptr &&
           std::strncmp(path, folder.c_str(), folder.size()) == 0 &&
           (path[folder.size()] == '\0' || path[folder.size()] == '/');
}

std::string pathOf(int descriptor) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", descriptor);
    char target[4096];
    const ssize_t length = ::readlink(link, target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

// Counts one step on PATH; the chosen one never happens.
void step(const char* name, const char* path) {
    if (!below(path)) {
        return;
    }
    const long number = ++steps;
    if (settings().log >= 0) {
        char line[4200];
        const int length = std::snprintf(line, sizeof line, "%ld %s %s\n", number, name, path);
        if (length > 0) {
            [[maybe_unused]] const ssize_t written =
                ::write(settings().log, line, static_cast<std::size_t>(length));
        }
    }
    if (number == settings().crashAt) {
        ::kill(::getpid(), SIGKILL);
    }
}

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

#define STEP_ON_PATH(name, path, type, ...)    \
    static const auto real = next<type>(name); \
    step(name, path);                          \
    return real(__VA_ARGS__)

__attribute__((visibility("default"))) int rename(const char* from, const char* to) {
    STEP_ON_PATH("rename", to, int (*)(const char*, const char*), from, to);
}
__attribute__((visibility("default"))) int renameat(int fromFolder, const char* from, int toFolder,
                                                    const char* to) {
    STEP_ON_PATH("renameat", to, int (*)(int, const char*, int, const char*), fromFolder, from,
                 toFolder, to);
}
__attribute__((visibility("default"))) int renameat2(int fromFolder, const char* from, int toFolder,
                                                     const char* to, unsigned flags) {
    STEP_ON_PATH("renameat2", to, int (*)(int, const char*, int, const char*, unsigned), fromFolder,
                 from, toFolder, to, flags);
}
__attribute__((visibility("default"))) int link(const char* from, const char* to) {
    STEP_ON_PATH("link", to, int (*)(const char*, const char*), from, to);
}
__attribute__((visibility("default"))) int linkat(int fromFolder, const char* from, int toFolder,
                                                  const char* to, int flags) {
    STEP_ON_PATH("linkat", to, int (*)(int, const char*, int, const char*, int), fromFolder, from,
                 toFolder, to, flags);
}
__attribute__((visibility("default"))) int unlink(const char* path) {
    STEP_ON_PATH("unlink", path, int (*)(const char*), path);
}
__attribute__((visibility("default"))) int unlinkat(int folder, const char* path, int flags) {
    STEP_ON_PATH("unlinkat", path, int (*)(int, const char*, int), folder, path, flags);
}
__attribute__((visibility("default"))) int fsync(int descriptor) {
    STEP_ON_PATH("fsync", pathOf(descriptor).c_str(), int (*)(int), descriptor);
}
__attribute__((visibility("default"))) int fdatasync(int descriptor) {
    STEP_ON_PATH("fdatasync", pathOf(descriptor).c_str(), int (*)(int), descriptor);
}

}  // extern "C"
