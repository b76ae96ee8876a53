#pragma once

// Shared state of the userspace UVC camera: cameras, the nodes they sit on, open descriptors.
// One mutex guards all of it; the descriptor table has a lock-free "is it ours" flag so that the
// calls of the rest of the process pass through untouched.
#include "fake_uvc.h"

#include <dlfcn.h>
#include <linux/videodev2.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace fakeuvc {

using Clock = std::chrono::steady_clock;

template <typename Function>
Function realFunction(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

enum class Format { Mjpeg, Yuyv };

struct Mode {
    Format format;
    std::uint32_t width;
    std::uint32_t height;
};

std::uint32_t fourccOf(Format format);
std::uint32_t sizeImage(const Mode& mode);
// Frames a second the camera offers for MODE, fastest first.
std::vector<std::uint32_t> ratesOf(const Mode& mode);

// The UVC control set of one plugged-in camera; reset to defaults by an unplug.
class Controls {
public:
    Controls();
    // 0, a negative errno, or kNotControl for a request that is not about controls.
    int ioctl(unsigned long request, void* argument, bool mayWrite);
    int setByName(std::string_view name, std::int64_t value);
    static constexpr int kNotControl = 1;

    struct Control {
        std::uint32_t id;
        const char* name;
        std::uint32_t type;
        std::int64_t minimum;
        std::int64_t maximum;
        std::int64_t step;
        std::int64_t defaultValue;
        std::int64_t value;
        std::uint32_t autoMode;      // id of the control whose automatic mode drives this one
        std::int64_t drift;          // how far an automatic mode moves the value
        std::uint64_t menuSkipMask;  // menu indexes the camera does not offer
    };

private:
    Control* find(std::uint32_t id);
    const Control* next(std::uint32_t id) const;
    bool inactive(const Control& control) const;
    std::int64_t current(const Control& control) const;
    int validate(const Control& control, std::int64_t* value) const;
    void store(Control& control, std::int64_t value);
    int queryExt(v4l2_query_ext_ctrl* query);
    int extControls(unsigned long request, v4l2_ext_controls* controls, bool mayWrite);

    std::vector<Control> controls_;
    Clock::time_point since_ = Clock::now();
};

struct Frames {
    std::vector<std::vector<unsigned char>> phases;  // one period of the moving pattern
};
// Prepared once per camera colour and mode, so that streaming costs a copy per frame.
const Frames& preparedFrames(int colour, const Mode& mode);

struct Camera {
    int colour = 0;  // index into kPalette
    std::vector<Format> formats;
};

struct OpenFile;

struct Buffer {
    enum class Where { Dequeued, Queued, Done } where = Where::Dequeued;
    std::uint32_t bytesUsed = 0;
    std::uint32_t sequence = 0;
    timeval timestamp{};
    bool mapped = false;
    const std::vector<unsigned char>* holds = nullptr;  // the prepared frame it contains
};

struct Device {
    std::shared_ptr<Camera> camera;
    std::string node;
    int minor = 0;
    bool plugged = true;
    bool heldElsewhere = false;  // another process streams from it
    bool cutFrames = false;      // frames end before their end-of-image marker
    bool denied = false;         // the user may not open it (not in the video group)
    Mode mode{};
    std::uint32_t fps = 30;
    Controls controls;
    std::array<int, 4> priorities{};  // open files at each priority
    OpenFile* owner = nullptr;        // the file that owns the buffers
    int memoryFd = -1;
    unsigned char* memory = nullptr;
    std::size_t bufferStride = 0;
    std::uint32_t bufferLength = 0;
    std::vector<Buffer> buffers;
    std::deque<std::uint32_t> queued;
    std::deque<std::uint32_t> done;
    bool streaming = false;
    std::uint32_t sequence = 0;
    Clock::time_point nextFrame;
    std::uint64_t frameCount = 0;

    void freeBuffers();
    std::uint64_t bandwidth() const;  // bytes a second the USB link reserves while it streams
};

struct OpenFile {
    std::shared_ptr<Device> device;
    int signalFd = -1;  // our own duplicate of the eventfd the caller holds
    std::uint32_t priority = V4L2_PRIORITY_DEFAULT;
    bool signalled = false;  // the eventfd is readable
    ~OpenFile();
    void signal();
    void clearSignal();
};

inline constexpr int kMaxFds = 65536;

struct State {
    std::mutex mutex;
    std::condition_variable wake;
    std::vector<std::shared_ptr<Device>> devices;
    std::array<std::shared_ptr<OpenFile>, kMaxFds> files;
    std::array<std::atomic<bool>, kMaxFds> ours{};
    std::atomic<bool> anyUnplugged{false};
    std::set<std::string, std::less<>> knownNodes;  // paths that are, or were, a fake node
    bool configured = false;
    bool tickerRunning = false;
    std::string commandFile;
    std::size_t commandOffset = 0;
};

// Never destroyed: the frame thread may still run while the process exits.
State& state();
// Reads FAKE_UVC_DEVICES once; the caller holds the mutex.
void configure(State& s);
std::shared_ptr<Device> pluggedAt(State& s, std::string_view node);
int nodeNumber(std::string_view node);
bool isOurs(int fd);
void startTicker(State& s);
// The caller holds the mutex.
int applyCommand(State& s, std::string_view line);
void readCommandFile(State& s);
void produceFrame(Device& device);
void unplug(State& s, Device& device);
// 0 or a negative errno; the caller holds the mutex.
int deviceIoctl(State& s, OpenFile& file, unsigned long request, void* argument);
bool knownRequest(unsigned long request);

}  // namespace fakeuvc
