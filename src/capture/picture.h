// One captured picture in memory: 32-bit BGRA (blue first, the fourth byte
// unused) for JPEG, or planar 4:2:0 in BT.709 video range for the encoder.
#pragma once

#include <cstdint>
#include <memory>

#include "core/types.h"

namespace morvane {

struct Picture {
    enum class Format { bgra, i420 };
    Format format = Format::bgra;
    int width = 0;
    int height = 0;
    Bytes pixels;
    // A BGRA picture made without a copy shows pixels kept elsewhere (the
    // grabbed screen), which stay unchanged while it holds them; its own
    // pixels are then empty.
    std::shared_ptr<const std::uint8_t> borrowed;
    int borrowedStride = 0;

    static Picture makeBGRA(int width, int height);
    static Picture makeI420(int width, int height);

    int stride() const { return borrowed ? borrowedStride : width * 4; }  // BGRA rows
    const std::uint8_t* bgra() const { return borrowed ? borrowed.get() : pixels.data(); }
    int chromaWidth() const { return (width + 1) / 2; }
    int chromaHeight() const { return (height + 1) / 2; }
    std::uint8_t* y() { return pixels.data(); }
    std::uint8_t* u() { return pixels.data() + static_cast<std::size_t>(width) * height; }
    std::uint8_t* v() { return u() + static_cast<std::size_t>(chromaWidth()) * chromaHeight(); }
    const std::uint8_t* y() const { return pixels.data(); }
    const std::uint8_t* u() const { return pixels.data() + static_cast<std::size_t>(width) * height; }
    const std::uint8_t* v() const { return u() + static_cast<std::size_t>(chromaWidth()) * chromaHeight(); }
};

using PicturePtr = std::shared_ptr<const Picture>;

// Scales a BGRA image to the given size (box filtering when shrinking).
Picture scaleBGRA(const std::uint8_t* src, int srcStride, int srcWidth, int srcHeight, int width, int height);
// Colour conversion with the BT.709 matrix in video range, which is what the
// stream's colour description tells the decoder.
Picture toI420(const Picture& bgra);
void bgraToI420(const std::uint8_t* src, int srcStride, int width, int height, Picture& out);
// Converts rows first to first + rows - 1 of a planar picture from the BGRA
// pixels of just those rows, as bgraToI420 does them for the whole picture:
// first is even, so the rows pair up for the colour.
void bgraRowsToI420(const std::uint8_t* src, int srcStride, int first, int rows, Picture& out);
Picture toBGRA(const Picture& i420);

}  // namespace morvane
