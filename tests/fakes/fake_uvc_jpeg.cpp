// The pictures a fake camera sends: its colour on the left half, a bar moving across the right
// half. Encoded (TurboJPEG) or packed (YUYV) once per colour and mode, then only copied.
#include "fake_uvc_state.h"

#include <turbojpeg.h>

#include <algorithm>
#include <map>
#include <tuple>

namespace fakeuvc {

namespace {

constexpr int kPhases = 8;

std::vector<unsigned char> rgbPicture(const Rgb& colour, std::uint32_t width, std::uint32_t height,
                                      int phase) {
    std::vector<unsigned char> rgb(std::size_t{width} * height * 3);
    const std::uint32_t half = width / 2;
    const std::uint32_t barWidth = std::max<std::uint32_t>(8, width / 32);
    const std::uint32_t barStart =
        half + (half - barWidth) * static_cast<std::uint32_t>(phase) / (kPhases - 1);
    for (std::uint32_t y = 0; y < height; ++y) {
        unsigned char* row = rgb.data() + std::size_t{y} * width * 3;
        for (std::uint32_t x = 0; x < width; ++x) {
            unsigned char* pixel = row + std::size_t{x} * 3;
            if (x < half) {
                pixel[0] = static_cast<unsigned char>(colour.r);
                pixel[1] = static_cast<unsigned char>(colour.g);
                pixel[2] = static_cast<unsigned char>(colour.b);
            } else if (x >= barStart && x < barStart + barWidth) {
                pixel[0] = pixel[1] = pixel[2] = 240;
            } else {
                // A gentle gradient, so the right half is not one flat block for the encoder.
                const auto grey = static_cast<unsigned char>(40 + (y * 80 / height) + (x % 16));
                pixel[0] = pixel[1] = pixel[2] = grey;
            }
        }
    }
    return rgb;
}

std::vector<unsigned char> encodeJpeg(const std::vector<unsigned char>& rgb, std::uint32_t width,
                                      std::uint32_t height) {
    tjhandle handle = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    std::vector<unsigned char> out;
    // 4:2:2 as UVC cameras send it.
    if (tjCompress2(handle, rgb.data(), static_cast<int>(width), 0, static_cast<int>(height),
                    TJPF_RGB, &jpeg, &size, TJSAMP_422, 85, TJFLAG_FASTDCT) == 0) {
        out.assign(jpeg, jpeg + size);
    }
    tjFree(jpeg);
    tjDestroy(handle);
    return out;
}

unsigned char clampByte(int value) {
    return static_cast<unsigned char>(std::clamp(value, 0, 255));
}

std::vector<unsigned char> packYuyv(const std::vector<unsigned char>& rgb, std::uint32_t width,
                                    std::uint32_t height) {
    std::vector<unsigned char> out(std::size_t{width} * height * 2);
    const std::size_t pixels = std::size_t{width} * height;
    for (std::size_t i = 0; i + 1 < pixels; i += 2) {
        const unsigned char* a = &rgb[i * 3];
        const unsigned char* b = &rgb[(i + 1) * 3];
        // BT.601, limited range.
        const auto luma = [](const unsigned char* p) {
            return clampByte(((66 * p[0] + 129 * p[1] + 25 * p[2] + 128) >> 8) + 16);
        };
        const int r = (a[0] + b[0]) / 2;
        const int g = (a[1] + b[1]) / 2;
        const int bl = (a[2] + b[2]) / 2;
        out[i * 2] = luma(a);
        out[i * 2 + 1] = clampByte(((-38 * r - 74 * g + 112 * bl + 128) >> 8) + 128);
        out[i * 2 + 2] = luma(b);
        out[i * 2 + 3] = clampByte(((112 * r - 94 * g - 18 * bl + 128) >> 8) + 128);
    }
    return out;
}

}  // namespace

const Frames& preparedFrames(int colour, const Mode& mode) {
    // Called with the state's mutex held; entries are never removed, so references stay valid.
    static auto& cache = *new std::map<std::tuple<int, int, std::uint32_t, std::uint32_t>, Frames>;
    Frames& frames = cache[{colour, static_cast<int>(mode.format), mode.width, mode.height}];
    if (frames.phases.empty()) {
        for (int phase = 0; phase < kPhases; ++phase) {
            const auto rgb = rgbPicture(kPalette[colour], mode.width, mode.height, phase);
            frames.phases.push_back(mode.format == Format::Mjpeg
                                        ? encodeJpeg(rgb, mode.width, mode.height)
                                        : packYuyv(rgb, mode.width, mode.height));
        }
    }
    return frames;
}

}  // namespace fakeuvc
