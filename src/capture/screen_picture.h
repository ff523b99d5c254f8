// From grabbed screen pixels to the picture a stream delivers: the pointer
// drawn in, scaled to the stream's size and, for video, converted to planar
// 4:2:0. Plain functions, so the platform layer only grabs and the drawing is
// tested without a display server.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "capture/picture.h"

namespace morvane {

// The pointer as the display server shows it: premultiplied ARGB, one 32-bit
// value a pixel, row by row.
struct CursorImage {
    int x = 0;  // pointer position on the whole screen
    int y = 0;
    int xhot = 0;
    int yhot = 0;
    int width = 0;
    int height = 0;
    std::uint64_t serial = 0;  // changes when the image does
    std::vector<std::uint32_t> argb;

    // False when the pixels do not fill the stated size.
    bool valid() const;
};

// One grabbed rectangle of the screen, BGRA with the fourth byte unused.
struct ScreenPixels {
    const std::uint8_t* data = nullptr;
    int stride = 0;
    int width = 0;
    int height = 0;
    int originX = 0;  // where the rectangle lies on the whole screen
    int originY = 0;
};

// Draws the pointer into a BGRA frame that shows the screen from the origin
// on, scaled by the given factors. Whatever falls outside the frame is left
// out.
void compositeCursor(const CursorImage& cursor, int originX, int originY, double scaleX, double scaleY,
                     std::uint8_t* frame, int stride, int width, int height);

// Draws the pointer into a planar picture converted from the screen at full
// size: only the patch under the pointer (on the chroma grid) is drawn in
// BGRA and converted again.
void compositeCursorI420(const CursorImage& cursor, const ScreenPixels& screen, Picture& picture);

// What a pointer drawn into grabbed pixels themselves covered, so it can be
// put back before those pixels are used again.
struct UnderPointer {
    int x = 0;  // in the grabbed rectangle
    int y = 0;
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> bgra;
    bool empty() const { return width <= 0 || height <= 0; }
};

// Draws the pointer at full size into the grabbed pixels, for a picture that
// shows them without a copy, and returns what it covered.
UnderPointer drawPointerOver(const CursorImage& cursor, const ScreenPixels& screen, std::uint8_t* pixels);
void putBack(const UnderPointer& under, std::uint8_t* pixels, int stride);

// Gives a picture to fill; a pool may hand back one it made before.
using PictureMaker = std::function<PicturePtr(Picture::Format format, int width, int height)>;

// The picture a stream of this size delivers for the grabbed pixels.
PicturePtr shapePicture(const ScreenPixels& screen, const CursorImage* cursor, int width, int height, bool video,
                        const PictureMaker& make);

// Rows a banded grab takes at a time: even, so that the rows of the colour
// pair up within a band. Fewer cost more round trips than the cache saves,
// more save nothing (capture benchmark at 1080p, see bench/README.md).
constexpr int screenBandRows = 64;

// Grabs the given rows of the monitor (its top row is 0); data is null when
// the grab failed.
using BandGrab = std::function<ScreenPixels(int first, int rows)>;

// Video at full size from the screen grabbed a band of rows at a time, each
// converted while it is still in the cache and the pixels under the pointer
// kept as they pass, so the whole screen is never held: the same picture as
// shapePicture makes from the whole screen at once. origin is where the
// monitor lies on the whole screen. False when a grab failed.
bool shapeBandedI420(int width, int height, int originX, int originY, int bandRows, const CursorImage* cursor,
                     const BandGrab& grab, Picture& out);

// Rows of the monitor, from first on.
struct RowSpan {
    int first = 0;
    int count = 0;
};

// The rows a pointer drawn into a full-size picture touches, with the row
// the colour's 2x2 grid may add on either side.
RowSpan pointerRows(const CursorImage& cursor, int originY);

// The same picture as shapeBandedI420, made from the last one: only the
// bands holding a changed row (the rows the pointer was drawn on in the last
// picture among them) or the pointer now are grabbed and converted, the
// others copied. With most of the bands changed, all are grabbed.
bool updateBandedI420(const Picture& last, const std::vector<RowSpan>& changed, int originX, int originY,
                      int bandRows, const CursorImage* cursor, const BandGrab& grab, Picture& out);

}  // namespace morvane
