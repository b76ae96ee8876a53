#pragma once

// The userspace UVC camera preloaded into tests (libfake_uvc.so). What tests may rely on: every
// frame of a camera first seen at /dev/videoN has its left half in colourOfNode(N), and the
// fake's commands (see fake_uvc_faults.cpp) are reached through fake_uvc_command().
namespace fakeuvc {

struct Rgb {
    int r;
    int g;
    int b;
};

inline constexpr Rgb kPalette[] = {{200, 40, 40},  {40, 170, 60},  {40, 70, 200},
                                   {210, 190, 40}, {180, 50, 170}, {40, 180, 190}};

constexpr Rgb colourOfNode(int number) {
    return kPalette[(number < 0 ? 0 : number) % 6];
}

// Applies one command line ("unplug /dev/video0"); 0 or a negative errno. Looked up with dlsym
// so that a test runs without the preload too.
using CommandFunction = int (*)(const char*);
inline constexpr const char* kCommandSymbol = "fake_uvc_command";

}  // namespace fakeuvc
