// A small X client for tests and the benchmark: a window over the whole
// screen with eight colour bars and a square that moves when asked.
#pragma once

#include <cstdint>
#include <string>

#include "capture/picture.h"

typedef struct _XDisplay Display;

namespace morvane::testing {

class PaintClient {
public:
    // display: an X display name; empty means $DISPLAY. Throws when it
    // cannot connect.
    explicit PaintClient(const std::string& display = {});
    ~PaintClient();
    PaintClient(const PaintClient&) = delete;
    PaintClient& operator=(const PaintClient&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }
    // Paints the bars, and the square at its position for this step.
    void paint(int step);
    // Makes a window of one colour (0xRRGGBB), not yet shown, and returns
    // its number; it goes with the client.
    unsigned long addPanel(int x, int y, int width, int height, std::uint32_t colour);
    // Maps a window above everything.
    void show(unsigned long window);
    // Moves the pointer to a point of the screen.
    void movePointer(int x, int y);
    // Fills a rectangle of the client's window with one colour (0xRRGGBB).
    void fill(int x, int y, int width, int height, std::uint32_t colour);
    // Draws a BGRA picture into the client's window at x, y.
    void put(const Picture& bgra, int x, int y);
    // The bar colour (0xRRGGBB) at a point of the screen, square left out.
    static std::uint32_t barColour(int x, int width);
    // Where the square is for a step (top left corner) and its side.
    void squareAt(int step, int* x, int* y) const { squareAt(step, width_, height_, x, y); }
    static void squareAt(int step, int width, int height, int* x, int* y);
    static constexpr int squareSide = 120;
    // What the client paints for a step on a screen of this size, as BGRA.
    static Picture painted(int width, int height, int step);

private:
    Display* d_ = nullptr;
    unsigned long window_ = 0;
    void* gc_ = nullptr;
    int width_ = 0;
    int height_ = 0;
};

// CPU time used by this process so far, user and system, in seconds.
double processCpuSeconds();

}  // namespace morvane::testing
