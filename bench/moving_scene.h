// What the capture and memory benchmarks show on the screen: content that
// moves the way a real desktop does, so the encoders work as hard as they do
// for a user. A detailed picture pans across the whole screen (a video, a
// dragged map) and a panel of text scrolls over it (a page being read).
// Bars and a small square are nearly free to encode and flatter any encoder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/picture.h"

namespace morvane::bench {

class MovingScene {
public:
    MovingScene(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }
    // Draws the scene as it is at this step into BGRX rows.
    void render(int step, std::uint8_t* out, int stride) const;
    Picture picture(int step) const;

    // How far the picture pans and the text scrolls each step, in pixels.
    static constexpr int panX = 6;
    static constexpr int panY = 2;
    static constexpr int scrollY = 3;

private:
    int width_, height_;
    int textureWidth_, textureHeight_;
    std::vector<std::uint32_t> texture_;  // tiles seamlessly in both directions
    int panelX_, panelY_, panelWidth_, panelHeight_;
    int pageHeight_;
    std::vector<std::uint32_t> page_;  // the text, one page that repeats
};

// Paints the scene on an X display at a steady rate, for ever: over the
// whole screen, or over a band of it from x on, width pixels wide.
[[noreturn]] void paintScene(const std::string& display, int framesPerSecond, int x = 0, int width = 0);

// Paints the scene on an X display from a child process at a steady rate
// until it is destroyed. Start it before any thread exists (it forks).
class ScenePainter {
public:
    ScenePainter(const std::string& display, int framesPerSecond, int x = 0, int width = 0);
    ~ScenePainter();
    ScenePainter(const ScenePainter&) = delete;
    ScenePainter& operator=(const ScenePainter&) = delete;

    // Holds the screen still, and lets it move again.
    void pause();
    void resume();

private:
    int pid_ = -1;
};

}  // namespace morvane::bench
