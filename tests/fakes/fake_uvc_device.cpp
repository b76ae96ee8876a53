// A fake camera node: capabilities, formats and modes, frame rates, priorities and mmap
// streaming with the videobuf2 rules (one file owns the buffers; the others get EBUSY).
#include "fake_uvc_state.h"

#include <sys/mman.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace fakeuvc {

namespace {

constexpr std::uint32_t kSizes[][2] = {{640, 480}, {1280, 720}, {1920, 1080}};
// What one USB 2.0 controller can reserve for isochronous video (3 × 1024 bytes a microframe).
constexpr std::uint64_t kUsbBudget = 24'576'000;
constexpr std::uint32_t kMaxBuffers = 32;

std::uint32_t kernelVersion() {
    utsname name{};
    unsigned major = 0;
    unsigned minor = 0;
    unsigned patch = 0;
    if (uname(&name) == 0) {
        std::sscanf(name.release, "%u.%u.%u", &major, &minor, &patch);
    }
    return (major << 16) | (minor << 8) | std::min(patch, 255U);
}

void fillPix(const Mode& mode, v4l2_pix_format* pix) {
    std::memset(pix, 0, sizeof *pix);
    pix->width = mode.width;
    pix->height = mode.height;
    pix->pixelformat = fourccOf(mode.format);
    pix->field = V4L2_FIELD_NONE;
    pix->bytesperline = mode.format == Format::Yuyv ? mode.width * 2 : 0;
    pix->sizeimage = sizeImage(mode);
    pix->colorspace = V4L2_COLORSPACE_SRGB;
    pix->priv = V4L2_PIX_FMT_PRIV_MAGIC;
}

// The camera's own mode nearest to what was asked, as uvcvideo picks it.
Mode nearest(const Device& device, const v4l2_pix_format& asked) {
    Format format = device.camera->formats.front();
    for (const Format offered : device.camera->formats) {
        if (fourccOf(offered) == asked.pixelformat) {
            format = offered;
        }
    }
    Mode best{format, kSizes[0][0], kSizes[0][1]};
    std::uint64_t bestDistance = UINT64_MAX;
    for (const auto& size : kSizes) {
        const std::uint64_t overlap =
            std::uint64_t{std::min(size[0], asked.width)} * std::min(size[1], asked.height);
        const std::uint64_t distance = std::uint64_t{size[0]} * size[1] +
                                       std::uint64_t{asked.width} * asked.height - 2 * overlap;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = {format, size[0], size[1]};
        }
    }
    return best;
}

std::uint32_t nearestRate(const Mode& mode, std::uint32_t wanted) {
    const std::vector<std::uint32_t> rates = ratesOf(mode);
    std::uint32_t best = rates.front();
    for (const std::uint32_t rate : rates) {
        if (std::max(rate, wanted) - std::min(rate, wanted) <
            std::max(best, wanted) - std::min(best, wanted)) {
            best = rate;
        }
    }
    return best;
}

void fillBuffer(const Device& device, std::uint32_t index, v4l2_buffer* out) {
    const Buffer& buffer = device.buffers[index];
    std::memset(out, 0, sizeof *out);
    out->index = index;
    out->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    out->memory = V4L2_MEMORY_MMAP;
    out->m.offset = static_cast<std::uint32_t>(index * device.bufferStride);
    out->length = device.bufferLength;
    out->bytesused = buffer.bytesUsed;
    out->field = V4L2_FIELD_NONE;
    out->sequence = buffer.sequence;
    out->timestamp = buffer.timestamp;
    out->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE;
    out->flags |= buffer.mapped ? V4L2_BUF_FLAG_MAPPED : 0;
    out->flags |= buffer.where == Buffer::Where::Queued ? V4L2_BUF_FLAG_QUEUED : 0;
    out->flags |= buffer.where == Buffer::Where::Done ? V4L2_BUF_FLAG_DONE : 0;
}

int stopStreaming(Device& device) {
    device.streaming = false;
    for (Buffer& buffer : device.buffers) {
        buffer.where = Buffer::Where::Dequeued;
    }
    device.queued.clear();
    device.done.clear();
    if (device.owner != nullptr) {
        device.owner->clearSignal();
    }
    return 0;
}

int requestBuffers(State& s, Device& device, OpenFile& file, v4l2_requestbuffers* request) {
    request->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS;
    request->flags = 0;  // no cache hints: buffers stay coherent
    std::memset(request->reserved, 0, sizeof request->reserved);
    if (request->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || request->memory != V4L2_MEMORY_MMAP) {
        return -EINVAL;
    }
    if (device.owner != nullptr && device.owner != &file) {
        return -EBUSY;
    }
    if (request->count == 0) {
        stopStreaming(device);
        device.freeBuffers();
        device.owner = nullptr;
        return 0;
    }
    if (device.streaming || device.heldElsewhere) {
        return -EBUSY;
    }
    device.freeBuffers();
    request->count = std::min(request->count, kMaxBuffers);
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    device.bufferLength = sizeImage(device.mode);
    device.bufferStride = (device.bufferLength + page - 1) / page * page;
    const std::size_t total = device.bufferStride * request->count;
    device.memoryFd = memfd_create("fake-uvc-buffers", MFD_CLOEXEC);
    if (device.memoryFd < 0 || ftruncate(device.memoryFd, static_cast<off_t>(total)) != 0) {
        device.freeBuffers();
        return -ENOMEM;
    }
    static const auto realMmap =
        realFunction<void* (*)(void*, size_t, int, int, int, off_t)>("mmap");
    void* memory = realMmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, device.memoryFd, 0);
    if (memory == MAP_FAILED) {
        device.freeBuffers();
        return -ENOMEM;
    }
    device.memory = static_cast<unsigned char*>(memory);
    device.buffers.assign(request->count, Buffer{});
    device.owner = &file;
    // A raw buffer keeps one position of the pattern (see produceFrame). Written here, it costs
    // the reader's start-up, not its first second of streaming, as a camera's DMA costs nothing.
    if (device.mode.format == Format::Yuyv) {
        const Frames& frames = preparedFrames(device.camera->colour, device.mode);
        for (std::size_t index = 0; index < device.buffers.size(); ++index) {
            const std::vector<unsigned char>& frame = frames.phases[index % frames.phases.size()];
            std::memcpy(device.memory + index * device.bufferStride, frame.data(),
                        std::min<std::size_t>(frame.size(), device.bufferLength));
            device.buffers[index].holds = &frame;
        }
    }
    (void)s;
    return 0;
}

int streamOn(State& s, Device& device) {
    if (device.buffers.empty()) {
        return -EINVAL;
    }
    if (device.heldElsewhere) {
        return -EBUSY;
    }
    if (device.streaming) {
        return 0;
    }
    std::uint64_t reserved = device.bandwidth();
    for (const auto& other : s.devices) {
        if (other->plugged && other->streaming) {
            reserved += other->bandwidth();
        }
    }
    if (reserved > kUsbBudget) {
        return -ENOSPC;
    }
    preparedFrames(device.camera->colour, device.mode);
    device.streaming = true;
    device.sequence = 0;
    device.nextFrame = Clock::now() + std::chrono::microseconds(1'000'000 / device.fps);
    s.wake.notify_all();
    return 0;
}

int streaming(State& s, Device& device, OpenFile& file, unsigned long request, void* argument) {
    const bool owned = device.owner == &file;
    if (request == VIDIOC_QUERYBUF) {
        auto* buffer = static_cast<v4l2_buffer*>(argument);
        if (buffer->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buffer->index >= device.buffers.size()) {
            return -EINVAL;
        }
        fillBuffer(device, buffer->index, buffer);
        return 0;
    }
    if (request == VIDIOC_STREAMON || request == VIDIOC_STREAMOFF) {
        if (*static_cast<int*>(argument) != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
            return -EINVAL;
        }
        if (device.owner != nullptr && !owned) {
            return -EBUSY;
        }
        return request == VIDIOC_STREAMON ? streamOn(s, device) : stopStreaming(device);
    }
    auto* buffer = static_cast<v4l2_buffer*>(argument);
    if (buffer->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buffer->memory != V4L2_MEMORY_MMAP) {
        return -EINVAL;
    }
    if (device.owner != nullptr && !owned) {
        return -EBUSY;
    }
    if (request == VIDIOC_QBUF) {
        if (buffer->index >= device.buffers.size() ||
            device.buffers[buffer->index].where != Buffer::Where::Dequeued) {
            return -EINVAL;
        }
        device.buffers[buffer->index].where = Buffer::Where::Queued;
        device.queued.push_back(buffer->index);
        fillBuffer(device, buffer->index, buffer);
        return 0;
    }
    // VIDIOC_DQBUF
    if (!device.streaming) {
        return -EINVAL;
    }
    if (device.done.empty()) {
        return -EAGAIN;
    }
    const std::uint32_t index = device.done.front();
    device.done.pop_front();
    device.buffers[index].where = Buffer::Where::Dequeued;
    if (device.done.empty()) {
        file.clearSignal();
    }
    fillBuffer(device, index, buffer);
    return 0;
}

int formats(Device& device, unsigned long request, void* argument, bool mayWrite) {
    auto* format = static_cast<v4l2_format*>(argument);
    if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
        return -EINVAL;
    }
    if (request == VIDIOC_G_FMT) {
        fillPix(device.mode, &format->fmt.pix);
        return 0;
    }
    const Mode mode = nearest(device, format->fmt.pix);
    fillPix(mode, &format->fmt.pix);
    if (request == VIDIOC_TRY_FMT) {
        return 0;
    }
    if (!mayWrite || !device.buffers.empty() || device.heldElsewhere) {
        return -EBUSY;
    }
    device.mode = mode;
    device.fps = nearestRate(mode, device.fps);
    return 0;
}

int parameters(Device& device, unsigned long request, v4l2_streamparm* parm, bool mayWrite) {
    if (parm->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
        return -EINVAL;
    }
    if (request == VIDIOC_S_PARM) {
        if (!mayWrite || device.streaming) {
            return -EBUSY;
        }
        const v4l2_fract& asked = parm->parm.capture.timeperframe;
        const std::uint32_t wanted = asked.numerator == 0 || asked.denominator == 0
                                         ? 30
                                         : asked.denominator / asked.numerator;
        device.fps = nearestRate(device.mode, wanted);
    }
    std::memset(&parm->parm, 0, sizeof parm->parm);
    parm->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
    parm->parm.capture.timeperframe = {1, device.fps};
    return 0;
}

int enumerate(const Device& device, unsigned long request, void* argument) {
    const std::vector<Format>& offered = device.camera->formats;
    const auto formatOf = [&](std::uint32_t fourcc) {
        return std::find_if(offered.begin(), offered.end(),
                            [&](Format f) { return fourccOf(f) == fourcc; });
    };
    if (request == VIDIOC_ENUM_FMT) {
        auto* item = static_cast<v4l2_fmtdesc*>(argument);
        if (item->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || item->index >= offered.size()) {
            return -EINVAL;
        }
        const Format format = offered[item->index];
        const std::uint32_t index = item->index;
        std::memset(item, 0, sizeof *item);
        item->index = index;
        item->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        item->flags = format == Format::Mjpeg ? V4L2_FMT_FLAG_COMPRESSED : 0;
        std::strcpy(reinterpret_cast<char*>(item->description),
                    format == Format::Mjpeg ? "Motion-JPEG" : "YUYV 4:2:2");
        item->pixelformat = fourccOf(format);
        return 0;
    }
    if (request == VIDIOC_ENUM_FRAMESIZES) {
        auto* item = static_cast<v4l2_frmsizeenum*>(argument);
        if (formatOf(item->pixel_format) == offered.end() || item->index >= std::size(kSizes)) {
            return -EINVAL;
        }
        item->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        item->discrete = {kSizes[item->index][0], kSizes[item->index][1]};
        std::memset(item->reserved, 0, sizeof item->reserved);
        return 0;
    }
    auto* item = static_cast<v4l2_frmivalenum*>(argument);
    const auto format = formatOf(item->pixel_format);
    const bool known = std::any_of(std::begin(kSizes), std::end(kSizes), [&](const auto& size) {
        return size[0] == item->width && size[1] == item->height;
    });
    if (format == offered.end() || !known) {
        return -EINVAL;
    }
    const std::vector<std::uint32_t> rates = ratesOf({*format, item->width, item->height});
    if (item->index >= rates.size()) {
        return -EINVAL;
    }
    item->type = V4L2_FRMIVAL_TYPE_DISCRETE;
    item->discrete = {1, rates[item->index]};
    std::memset(item->reserved, 0, sizeof item->reserved);
    return 0;
}

}  // namespace

std::uint32_t fourccOf(Format format) {
    return format == Format::Mjpeg ? V4L2_PIX_FMT_MJPEG : V4L2_PIX_FMT_YUYV;
}

std::uint32_t sizeImage(const Mode& mode) {
    // A compressed frame gets one byte a pixel, far more than a JPEG of it needs.
    return mode.width * mode.height * (mode.format == Format::Yuyv ? 2 : 1);
}

std::vector<std::uint32_t> ratesOf(const Mode& mode) {
    // Uncompressed video above VGA does not fit USB 2.0 at more than 5 frames a second.
    if (mode.format == Format::Yuyv && mode.width * mode.height > 640 * 480) {
        return {5};
    }
    return {30, 15, 5};
}

std::uint64_t Device::bandwidth() const {
    const std::uint64_t pixels = std::uint64_t{mode.width} * mode.height * fps;
    return mode.format == Format::Yuyv ? pixels * 2 : pixels / 8;
}

void Device::freeBuffers() {
    if (memory != nullptr) {
        munmap(memory, bufferStride * buffers.size());
        memory = nullptr;
    }
    if (memoryFd >= 0) {
        static const auto realClose = realFunction<int (*)(int)>("close");
        realClose(memoryFd);
        memoryFd = -1;
    }
    buffers.clear();
    queued.clear();
    done.clear();
}

void produceFrame(Device& device) {
    const std::uint32_t sequence = device.sequence++;
    if (device.queued.empty() || device.owner == nullptr) {
        return;  // no buffer to fill: the frame is dropped, as the driver does
    }
    const std::uint32_t index = device.queued.front();
    device.queued.pop_front();
    const Frames& frames = preparedFrames(device.camera->colour, device.mode);
    // A raw buffer keeps one position of the pattern, written when the buffers were requested,
    // which then moves as the buffers take turns: nothing is copied, as a camera's DMA costs the
    // CPU nothing. A buffer that held a cut frame is written whole again.
    const std::size_t phase =
        device.mode.format == Format::Yuyv ? index : static_cast<std::size_t>(device.frameCount++);
    const std::vector<unsigned char>& frame = frames.phases[phase % frames.phases.size()];
    std::size_t length = std::min<std::size_t>(frame.size(), device.bufferLength);
    if (device.cutFrames) {
        length /= 2;
    }
    Buffer& buffer = device.buffers[index];
    if (buffer.holds != &frame || device.cutFrames) {
        std::memcpy(device.memory + index * device.bufferStride, frame.data(), length);
        buffer.holds = device.cutFrames ? nullptr : &frame;
    }
    buffer.bytesUsed = static_cast<std::uint32_t>(length);
    buffer.sequence = sequence;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    buffer.timestamp = {now.tv_sec, now.tv_nsec / 1000};
    buffer.where = Buffer::Where::Done;
    device.done.push_back(index);
    device.owner->signal();
}

bool knownRequest(unsigned long request) {
    static constexpr unsigned long kKnown[] = {VIDIOC_QUERYCAP,
                                               VIDIOC_ENUM_FMT,
                                               VIDIOC_ENUM_FRAMESIZES,
                                               VIDIOC_ENUM_FRAMEINTERVALS,
                                               VIDIOC_G_FMT,
                                               VIDIOC_S_FMT,
                                               VIDIOC_TRY_FMT,
                                               VIDIOC_G_PARM,
                                               VIDIOC_S_PARM,
                                               VIDIOC_ENUMINPUT,
                                               VIDIOC_G_INPUT,
                                               VIDIOC_S_INPUT,
                                               VIDIOC_G_PRIORITY,
                                               VIDIOC_S_PRIORITY,
                                               VIDIOC_REQBUFS,
                                               VIDIOC_QUERYBUF,
                                               VIDIOC_QBUF,
                                               VIDIOC_DQBUF,
                                               VIDIOC_STREAMON,
                                               VIDIOC_STREAMOFF,
                                               VIDIOC_QUERYCTRL,
                                               VIDIOC_QUERY_EXT_CTRL,
                                               VIDIOC_QUERYMENU,
                                               VIDIOC_G_CTRL,
                                               VIDIOC_S_CTRL,
                                               VIDIOC_G_EXT_CTRLS,
                                               VIDIOC_S_EXT_CTRLS,
                                               VIDIOC_TRY_EXT_CTRLS};
    return std::find(std::begin(kKnown), std::end(kKnown), request) != std::end(kKnown);
}

int deviceIoctl(State& s, OpenFile& file, unsigned long request, void* argument) {
    Device& device = *file.device;
    if (!device.plugged) {
        return -ENODEV;
    }
    std::uint32_t highest = V4L2_PRIORITY_BACKGROUND;
    for (std::uint32_t p = 0; p < device.priorities.size(); ++p) {
        highest = device.priorities[p] > 0 ? p : highest;
    }
    // A file below the highest priority held on the node may look but not change anything.
    const bool mayWrite = file.priority >= highest;
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* caps = static_cast<v4l2_capability*>(argument);
            std::memset(caps, 0, sizeof *caps);
            std::strcpy(reinterpret_cast<char*>(caps->driver), "fake-uvc");
            std::snprintf(reinterpret_cast<char*>(caps->card), sizeof caps->card,
                          "Fake USB Camera %d", device.camera->colour);
            std::snprintf(reinterpret_cast<char*>(caps->bus_info), sizeof caps->bus_info,
                          "usb-0000:00:14.0-%d", device.minor + 1);
            caps->version = kernelVersion();
            caps->device_caps =
                V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
            caps->capabilities = caps->device_caps | V4L2_CAP_DEVICE_CAPS;
            return 0;
        }
        case VIDIOC_ENUM_FMT:
        case VIDIOC_ENUM_FRAMESIZES:
        case VIDIOC_ENUM_FRAMEINTERVALS:
            return enumerate(device, request, argument);
        case VIDIOC_G_FMT:
        case VIDIOC_S_FMT:
        case VIDIOC_TRY_FMT:
            return formats(device, request, argument, mayWrite);
        case VIDIOC_G_PARM:
        case VIDIOC_S_PARM:
            return parameters(device, request, static_cast<v4l2_streamparm*>(argument), mayWrite);
        case VIDIOC_ENUMINPUT: {
            auto* input = static_cast<v4l2_input*>(argument);
            if (input->index != 0) {
                return -EINVAL;
            }
            std::memset(input, 0, sizeof *input);
            std::strcpy(reinterpret_cast<char*>(input->name), "Camera 1");
            input->type = V4L2_INPUT_TYPE_CAMERA;
            return 0;
        }
        case VIDIOC_G_INPUT:
            *static_cast<int*>(argument) = 0;
            return 0;
        case VIDIOC_S_INPUT:
            return *static_cast<int*>(argument) != 0 ? -EINVAL : mayWrite ? 0 : -EBUSY;
        case VIDIOC_G_PRIORITY: {
            *static_cast<std::uint32_t*>(argument) = highest;
            return 0;
        }
        case VIDIOC_S_PRIORITY: {
            const std::uint32_t wanted = *static_cast<std::uint32_t*>(argument);
            if (wanted < V4L2_PRIORITY_BACKGROUND || wanted > V4L2_PRIORITY_RECORD) {
                return -EINVAL;
            }
            if (!mayWrite) {
                return -EBUSY;
            }
            --device.priorities[file.priority];
            ++device.priorities[wanted];
            file.priority = wanted;
            return 0;
        }
        case VIDIOC_REQBUFS:
            return mayWrite ? requestBuffers(s, device, file,
                                             static_cast<v4l2_requestbuffers*>(argument))
                            : -EBUSY;
        case VIDIOC_QUERYBUF:
        case VIDIOC_QBUF:
        case VIDIOC_DQBUF:
            return streaming(s, device, file, request, argument);
        case VIDIOC_STREAMON:
        case VIDIOC_STREAMOFF:
            return mayWrite ? streaming(s, device, file, request, argument) : -EBUSY;
        default: {
            const int result = device.controls.ioctl(request, argument, mayWrite);
            return result == Controls::kNotControl ? -ENOTTY : result;
        }
    }
}

}  // namespace fakeuvc
