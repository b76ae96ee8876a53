#pragma once

#include <QRect>

namespace platform {

// Layouts are designed in twips; at 96 dpi 15 twips make one pixel.
constexpr int kTwipsPerPixel = 15;

constexpr int twipsToPixels(int twips) {
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}

constexpr QRect twipsRect(int left, int top, int width, int height) {
    return {twipsToPixels(left), twipsToPixels(top), twipsToPixels(width), twipsToPixels(height)};
}

}  // namespace platform
