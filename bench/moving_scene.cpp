#include "moving_scene.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

namespace morvane::bench {

namespace {

// Smooth noise that repeats every `period` pixels: random values on a grid of
// `cell` pixels, blended between corners.
std::vector<float> tiledNoise(int width, int height, int cell, std::uint32_t seed) {
    const int gw = width / cell, gh = height / cell;
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(0.0f, 1.0f);
    std::vector<float> grid(static_cast<std::size_t>(gw) * gh);
    for (auto& g : grid) g = value(random);
    std::vector<float> out(static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        const int gy = y / cell;
        float fy = static_cast<float>(y % cell) / cell;
        fy = fy * fy * (3 - 2 * fy);
        for (int x = 0; x < width; ++x) {
            const int gx = x / cell;
            float fx = static_cast<float>(x % cell) / cell;
            fx = fx * fx * (3 - 2 * fx);
            auto at = [&](int i, int j) { return grid[static_cast<std::size_t>(j % gh) * gw + (i % gw)]; };
            const float top = at(gx, gy) * (1 - fx) + at(gx + 1, gy) * fx;
            const float bottom = at(gx, gy + 1) * (1 - fx) + at(gx + 1, gy + 1) * fx;
            out[static_cast<std::size_t>(y) * width + x] = top * (1 - fy) + bottom * fy;
        }
    }
    return out;
}

}  // namespace

MovingScene::MovingScene(int width, int height) : width_(width), height_(height) {
    // Larger than the screen in both directions, and a multiple of every
    // noise cell so that it tiles.
    textureWidth_ = (width + 255) / 256 * 256 + 256;
    textureHeight_ = (height + 255) / 256 * 256 + 256;
    texture_.resize(static_cast<std::size_t>(textureWidth_) * textureHeight_);
    // Broad shapes, middle detail and fine grain per channel, as in a photograph.
    std::vector<float> channels[3];
    for (int c = 0; c < 3; ++c) {
        channels[c].assign(texture_.size(), 0.0f);
        const std::pair<int, float> octaves[] = {{256, 0.55f}, {64, 0.25f}, {16, 0.12f}, {4, 0.08f}};
        for (const auto& [cell, weight] : octaves) {
            const auto noise = tiledNoise(textureWidth_, textureHeight_, cell, 17u * (c + 1) + cell);
            for (std::size_t i = 0; i < noise.size(); ++i) channels[c][i] += weight * noise[i];
        }
    }
    for (std::size_t i = 0; i < texture_.size(); ++i) {
        auto byte = [&](int c) {
            return static_cast<std::uint32_t>(std::clamp(channels[c][i] * 300.0f - 25.0f, 0.0f, 255.0f));
        };
        texture_[i] = byte(0) << 16 | byte(1) << 8 | byte(2);
    }

    // A column of text on white, about a third of the screen wide.
    panelX_ = width * 60 / 100;
    panelY_ = height * 8 / 100;
    panelWidth_ = width * 36 / 100;
    panelHeight_ = height * 84 / 100;
    constexpr int lineHeight = 18, glyphWidth = 8, glyphHeight = 11;
    pageHeight_ = lineHeight * 120;
    page_.assign(static_cast<std::size_t>(panelWidth_) * pageHeight_, 0xFFFFFF);
    std::mt19937 random(7);
    // Sixty-four made-up letters, each a fixed pattern of dots in its cell.
    std::vector<std::uint64_t> letters(64);
    for (auto& l : letters) l = (static_cast<std::uint64_t>(random()) << 32 | random()) & 0x7E7E7E7E7E7E7E7EULL;
    for (int line = 0; line < pageHeight_ / lineHeight; ++line) {
        const int chars = (panelWidth_ - 16) / glyphWidth;
        const int used = line % 7 == 6 ? 0 : chars * (55 + static_cast<int>(random() % 45)) / 100;
        for (int c = 0; c < used; ++c) {
            if (random() % 6 == 0) continue;  // a space between words
            const std::uint64_t bits = letters[random() % letters.size()];
            for (int gy = 0; gy < glyphHeight; ++gy)
                for (int gx = 0; gx < glyphWidth - 1; ++gx) {
                    if (!(bits >> ((gy * 7 + gx) % 64) & 1)) continue;
                    const int x = 8 + c * glyphWidth + gx, y = line * lineHeight + 4 + gy;
                    page_[static_cast<std::size_t>(y) * panelWidth_ + x] = 0x202020;
                }
        }
    }
}

void MovingScene::render(int step, std::uint8_t* out, int stride) const {
    const int ox = (step * panX) % textureWidth_, oy = (step * panY) % textureHeight_;
    for (int y = 0; y < height_; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(out + static_cast<std::size_t>(y) * stride);
        const std::uint32_t* source = texture_.data() + static_cast<std::size_t>((y + oy) % textureHeight_) * textureWidth_;
        const int first = std::min(width_, textureWidth_ - ox);
        std::memcpy(row, source + ox, static_cast<std::size_t>(first) * 4);
        if (first < width_) std::memcpy(row + first, source, static_cast<std::size_t>(width_ - first) * 4);
    }
    const int scroll = (step * scrollY) % pageHeight_;
    for (int y = 0; y < panelHeight_; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(out + static_cast<std::size_t>(panelY_ + y) * stride) + panelX_;
        std::memcpy(row, page_.data() + static_cast<std::size_t>((y + scroll) % pageHeight_) * panelWidth_,
                    static_cast<std::size_t>(panelWidth_) * 4);
    }
}

Picture MovingScene::picture(int step) const {
    Picture p = Picture::makeBGRA(width_, height_);
    render(step, p.pixels.data(), p.stride());
    return p;
}

void paintScene(const std::string& display, int framesPerSecond, int left, int bandWidth) {
    Display* d = XOpenDisplay(display.c_str());
    if (!d) {
        std::fprintf(stderr, "painter: cannot open %s\n", display.c_str());
        _exit(1);
    }
    const int screen = DefaultScreen(d);
    const int width = bandWidth > 0 ? bandWidth : DisplayWidth(d, screen) - left, height = DisplayHeight(d, screen);
    const MovingScene scene(width, height);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = BlackPixel(d, screen);
    const Window window = XCreateWindow(d, RootWindow(d, screen), left, 0, static_cast<unsigned>(width),
                                        static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                                        CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(d, window);
    const GC gc = XCreateGC(d, window, 0, nullptr);
    XShmSegmentInfo shm{};
    XImage* image = XShmCreateImage(d, DefaultVisual(d, screen), static_cast<unsigned>(DefaultDepth(d, screen)),
                                    ZPixmap, nullptr, &shm, static_cast<unsigned>(width), static_cast<unsigned>(height));
    shm.shmid = shmget(IPC_PRIVATE, static_cast<std::size_t>(image->bytes_per_line) * height, IPC_CREAT | 0600);
    shm.shmaddr = image->data = static_cast<char*>(shmat(shm.shmid, nullptr, 0));
    shm.readOnly = False;
    XShmAttach(d, &shm);
    XSync(d, False);
    shmctl(shm.shmid, IPC_RMID, nullptr);
    auto next = std::chrono::steady_clock::now();
    for (int step = 0;; ++step) {
        scene.render(step, reinterpret_cast<std::uint8_t*>(image->data), image->bytes_per_line);
        XShmPutImage(d, window, gc, image, 0, 0, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height),
                     False);
        XSync(d, False);
        next += std::chrono::microseconds(1'000'000 / framesPerSecond);
        std::this_thread::sleep_until(next);
    }
}

ScenePainter::ScenePainter(const std::string& display, int framesPerSecond, int x, int width) {
    pid_ = fork();
    if (pid_ == 0) paintScene(display, framesPerSecond, x, width);
}

void ScenePainter::pause() {
    if (pid_ > 0) kill(pid_, SIGSTOP);
}

void ScenePainter::resume() {
    if (pid_ > 0) kill(pid_, SIGCONT);
}

ScenePainter::~ScenePainter() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    kill(pid_, SIGCONT);
    waitpid(pid_, nullptr, 0);
}

}  // namespace morvane::bench
