// Drawing the pointer and shaping grabbed pixels into stream pictures, on
// pixels made by hand.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "capture/jpeg_codec.h"
#include "capture/screen_picture.h"

namespace morvane {
namespace {

// A screen of one grey, with a stride wider than its rows as X images have.
struct Screen {
    int width, height, stride;
    Bytes pixels;
    Screen(int w, int h, std::uint8_t grey) : width(w), height(h), stride(w * 4 + 16), pixels(stride * h, grey) {}
    ScreenPixels view(int originX = 0, int originY = 0) const {
        return {pixels.data(), stride, width, height, originX, originY};
    }
};

CursorImage square(int side, std::uint32_t argb, int x, int y, int hot = 0) {
    CursorImage c;
    c.x = x;
    c.y = y;
    c.xhot = hot;
    c.yhot = hot;
    c.width = side;
    c.height = side;
    c.argb.assign(static_cast<std::size_t>(side) * side, argb);
    return c;
}

PicturePtr fresh(Picture::Format format, int width, int height) {
    return std::make_shared<Picture>(format == Picture::Format::bgra ? Picture::makeBGRA(width, height)
                                                                     : Picture::makeI420(width, height));
}

const std::uint8_t* at(const Picture& p, int x, int y) {
    return p.pixels.data() + static_cast<std::size_t>(y) * p.stride() + static_cast<std::size_t>(x) * 4;
}

TEST(ScreenPicture, ThePointerBlendsByItsAlphaAtItsHotSpotAndIsClippedAtEveryEdge) {
    struct Case {
        const char* name;
        CursorImage cursor;
        int originX, originY;
        int probeX, probeY;  // a frame pixel under the pointer, or -1
        std::uint8_t blue, green, red;
    };
    // Premultiplied: opaque red, half-transparent white, fully transparent.
    const Case cases[] = {
        {"opaque", square(4, 0xFFFF0000, 10, 10), 0, 0, 11, 11, 0, 0, 255},
        {"half", square(4, 0x80808080, 10, 10), 0, 0, 11, 11, 0x80 + 100 * 127 / 255, 0x80 + 100 * 127 / 255,
         0x80 + 100 * 127 / 255},
        {"transparent", square(4, 0x00000000, 10, 10), 0, 0, 11, 11, 100, 100, 100},
        {"hot spot", square(4, 0xFFFF0000, 12, 12, 2), 0, 0, 10, 10, 0, 0, 255},
        {"origin", square(4, 0xFFFF0000, 110, 210), 100, 200, 10, 10, 0, 0, 255},
        {"off the left and top", square(8, 0xFFFF0000, -4, -4), 0, 0, 0, 0, 0, 0, 255},
        {"off the right and bottom", square(8, 0xFF00FF00, 30, 20), 0, 0, 31, 23, 0, 255, 0},
        {"wholly outside", square(8, 0xFFFF0000, 500, 500), 0, 0, -1, -1, 0, 0, 0},
    };
    for (const auto& c : cases) {
        Picture frame = Picture::makeBGRA(32, 24);
        std::fill(frame.pixels.begin(), frame.pixels.end(), 100);
        // A guard after the frame catches writes past its end.
        frame.pixels.resize(frame.pixels.size() + 64, 0xEE);
        compositeCursor(c.cursor, c.originX, c.originY, 1.0, 1.0, frame.pixels.data(), frame.stride(), 32, 24);
        for (std::size_t i = frame.pixels.size() - 64; i < frame.pixels.size(); ++i)
            ASSERT_EQ(frame.pixels[i], 0xEE) << c.name;
        if (c.probeX < 0) {
            for (std::size_t i = 0; i < frame.pixels.size() - 64; ++i) ASSERT_EQ(frame.pixels[i], 100) << c.name;
            continue;
        }
        const auto* px = at(frame, c.probeX, c.probeY);
        EXPECT_EQ(px[0], c.blue) << c.name;
        EXPECT_EQ(px[1], c.green) << c.name;
        EXPECT_EQ(px[2], c.red) << c.name;
    }
}

TEST(ScreenPicture, APointerWhosePixelsDoNotFillItsSizeIsNotDrawn) {
    std::vector<CursorImage> broken(3, square(4, 0xFFFF0000, 2, 2));
    broken[0].argb.pop_back();
    broken[1].width = 0;
    broken[2].height = 100000;
    for (const auto& cursor : broken) {
        Picture frame = Picture::makeBGRA(16, 16);
        compositeCursor(cursor, 0, 0, 1.0, 1.0, frame.pixels.data(), frame.stride(), 16, 16);
        Picture planar = Picture::makeI420(16, 16);
        Screen screen(16, 16, 0);
        compositeCursorI420(cursor, screen.view(), planar);
        for (auto b : frame.pixels) ASSERT_EQ(b, 0);
        for (auto b : planar.pixels) ASSERT_EQ(b, 0);
    }
}

TEST(ScreenPicture, ThePointerLandsWhereTheScaledScreenShowsIt) {
    Screen screen(200, 100, 40);
    const auto cursor = square(2, 0xFFFF0000, 150, 60);  // screen coordinates
    auto picture = shapePicture(screen.view(), &cursor, 100, 50, false, fresh);
    ASSERT_EQ(picture->format, Picture::Format::bgra);
    EXPECT_EQ(at(*picture, 75, 30)[2], 255);
    EXPECT_EQ(at(*picture, 74, 29)[2], 40);
    EXPECT_EQ(at(*picture, 10, 10)[0], 40) << "scaling keeps a flat screen flat";
}

// Video pictures drawn straight from the screen with the pointer patched in
// must match the long way round: draw in BGRA, then convert the whole.
TEST(ScreenPicture, VideoAtFullSizeMatchesDrawingThenConverting) {
    struct Case {
        const char* name;
        int x, y;
    };
    const Case cases[] = {{"inside, odd position", 33, 17}, {"over the left edge", -3, 20}, {"bottom right", 60, 44}};
    for (const auto& c : cases) {
        Screen screen(64, 48, 0);
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 64; ++x) {
                auto* px = screen.pixels.data() + y * screen.stride + x * 4;
                px[0] = static_cast<std::uint8_t>(x * 4);
                px[1] = static_cast<std::uint8_t>(y * 5);
                px[2] = static_cast<std::uint8_t>(200 - x);
            }
        auto cursor = square(7, 0xFF20C040, c.x + 100, c.y + 50);
        const auto direct = shapePicture(screen.view(100, 50), &cursor, 64, 48, true, fresh);
        const auto shown = shapePicture(screen.view(100, 50), &cursor, 64, 48, false, fresh);
        const Picture longWay = toI420(*shown);
        ASSERT_EQ(direct->format, Picture::Format::i420) << c.name;
        ASSERT_EQ(direct->pixels.size(), longWay.pixels.size()) << c.name;
        int worst = 0;
        for (std::size_t i = 0; i < longWay.pixels.size(); ++i)
            worst = std::max(worst, std::abs(int(direct->pixels[i]) - int(longWay.pixels[i])));
        EXPECT_LE(worst, 1) << c.name;
    }
}

// JPEG pictures at full size show the grabbed pixels themselves, with the
// pointer drawn into them and put back afterwards: what they show, encode and
// convert to must be what a copy would, and the screen must come back whole.
TEST(ScreenPicture, APointerDrawnOverTheGrabbedPixelsShowsAsACopyWouldAndIsPutBack) {
    struct Case {
        const char* name;
        int x, y;  // the pointer on the whole screen; the grab starts at 100, 50
        bool covers;
    };
    const Case cases[] = {{"inside", 120, 70, true},
                          {"over the top left corner", 97, 48, true},
                          {"over the bottom right corner", 160, 95, true},
                          {"beside the grab", 90, 70, false}};
    for (const auto& c : cases) {
        Screen screen(64, 48, 0);
        for (std::size_t i = 0; i < screen.pixels.size(); ++i) screen.pixels[i] = static_cast<std::uint8_t>(i * 7);
        const Bytes original = screen.pixels;
        const auto cursor = square(9, 0xC0803010, c.x, c.y, 2);
        const auto copied = shapePicture(screen.view(100, 50), &cursor, 64, 48, false, fresh);

        const UnderPointer under = drawPointerOver(cursor, screen.view(100, 50), screen.pixels.data());
        EXPECT_EQ(under.empty(), !c.covers) << c.name;
        Picture shown;
        shown.width = 64;
        shown.height = 48;
        shown.borrowed = std::shared_ptr<const std::uint8_t>(screen.pixels.data(), [](const std::uint8_t*) {});
        shown.borrowedStride = screen.stride;
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 64; ++x)
                ASSERT_EQ(std::memcmp(shown.bgra() + y * shown.stride() + x * 4, at(*copied, x, y), 3), 0)
                    << c.name << " at " << x << "," << y;
        EXPECT_EQ(encodeJPEG(shown, 0.75)->jpeg, encodeJPEG(*copied, 0.75)->jpeg) << c.name;
        EXPECT_EQ(toI420(shown).pixels, toI420(*copied).pixels) << c.name;

        putBack(under, screen.pixels.data(), screen.stride);
        EXPECT_EQ(screen.pixels, original) << c.name;
    }
}

// Full-size video grabbed a band of rows at a time must be the picture made
// from the whole screen at once, byte for byte: bands that end on odd sizes,
// a last short band, a pointer over band edges and off the screen's sides.
TEST(ScreenPicture, VideoFromBandsIsThePictureFromTheWholeScreen) {
    struct Case {
        const char* name;
        int width, height, band;
        int x, y;  // the pointer, on the whole screen; the monitor starts at 100, 50
    };
    const Case cases[] = {{"height no multiple of the band", 64, 50, 16, 130, 70},
                          {"odd width and height", 63, 47, 16, 120, 60},
                          {"a band taller than the screen", 30, 21, 64, 110, 60},
                          {"pointer across a band edge, odd rows", 64, 48, 8, 120, 50 + 8 - 3},
                          {"pointer across the last, short band", 64, 45, 16, 140, 50 + 44},
                          {"pointer half off the top left", 64, 48, 16, 97, 47},
                          {"an odd band is taken even", 40, 31, 7, 115, 55}};
    for (const auto& c : cases) {
        Screen screen(c.width, c.height, 0);
        for (std::size_t i = 0; i < screen.pixels.size(); ++i)
            screen.pixels[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);  // busy, every pixel its own
        const auto cursor = square(9, 0xC0803010, c.x, c.y, 2);
        const auto whole = shapePicture(screen.view(100, 50), &cursor, c.width, c.height, true, fresh);
        std::vector<std::pair<int, int>> asked;
        Picture banded;
        ASSERT_TRUE(shapeBandedI420(c.width, c.height, 100, 50, c.band, &cursor,
                                    [&](int first, int rows) {
                                        asked.emplace_back(first, rows);
                                        return ScreenPixels{screen.pixels.data() +
                                                                static_cast<std::size_t>(first) * screen.stride,
                                                            screen.stride, c.width, rows, 100, 50 + first};
                                    },
                                    banded))
            << c.name;
        EXPECT_EQ(banded.format, Picture::Format::i420) << c.name;
        EXPECT_EQ(banded.pixels, whole->pixels) << c.name;
        int next = 0;
        for (auto [first, rows] : asked) {
            EXPECT_EQ(first, next) << c.name;
            EXPECT_EQ(first % 2, 0) << c.name;
            EXPECT_LE(rows, std::max(2, c.band & ~1)) << c.name;
            next = first + rows;
        }
        EXPECT_EQ(next, c.height) << c.name << ": every row once";
        const auto without = shapePicture(screen.view(100, 50), nullptr, c.width, c.height, true, fresh);
        EXPECT_NE(without->pixels, whole->pixels) << c.name << ": the pointer shows";
    }
}

TEST(ScreenPicture, AFailedBandFailsThePicture) {
    Screen screen(32, 40, 9);
    int grabs = 0;
    Picture out;
    EXPECT_FALSE(shapeBandedI420(32, 40, 0, 0, 8, nullptr,
                                 [&](int first, int rows) {
                                     if (++grabs == 3) return ScreenPixels{};
                                     return ScreenPixels{screen.pixels.data(), screen.stride, 32, rows, 0, first};
                                 },
                                 out));
    EXPECT_EQ(grabs, 3) << "no band is asked for after a failure";
}

// A picture after the last grabs only the bands with changed rows, where the
// pointer was and where it is now; the rest comes from the last picture. It
// must be the picture of the whole new screen all the same.
TEST(ScreenPicture, VideoFromTheChangedBandsIsThePictureFromTheWholeScreen) {
    struct Case {
        const char* name;
        RowSpan changed;  // rows of the monitor drawn over
        int before, after;  // the pointer's row on the whole screen, in the last picture and now
        int afterX;
        int grabs;
    };
    // 100 rows in bands of 16 (the last one 4), the monitor at 100, 50; the
    // pointer's image is 9 rows from 2 above its row.
    const Case cases[] = {
        {"a change in one band, the pointer still", {70, 6}, 70, 70, 120, 2},
        {"the pointer alone, moving across a band edge", {0, 0}, 70, 50 + 46, 120, 3},
        {"the pointer leaving the monitor", {0, 0}, 70, 10, 10, 1},
        {"a change in the last, short band", {97, 3}, 70, 70, 120, 2},
        {"most of the monitor changed: every band", {0, 90}, 70, 70, 120, 7},
    };
    for (const auto& c : cases) {
        Screen screen(64, 100, 0);
        for (std::size_t i = 0; i < screen.pixels.size(); ++i)
            screen.pixels[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
        const auto was = square(9, 0xC0803010, 120, c.before, 2);
        const auto last = shapePicture(screen.view(100, 50), &was, 64, 100, true, fresh);
        for (int row = c.changed.first; row < c.changed.first + c.changed.count; ++row)
            for (int x = 0; x < 64 * 4; ++x) screen.pixels[static_cast<std::size_t>(row) * screen.stride + x] += 37;
        const auto now = square(9, 0xC0803010, c.afterX, c.after, 2);
        const auto whole = shapePicture(screen.view(100, 50), &now, 64, 100, true, fresh);

        Picture stale = Picture::makeI420(64, 100);  // a pool's older picture
        std::fill(stale.pixels.begin(), stale.pixels.end(), 0x55);
        int grabs = 0;
        ASSERT_TRUE(updateBandedI420(*last, {c.changed, pointerRows(was, 50)}, 100, 50, 16, &now,
                                     [&](int first, int rows) {
                                         ++grabs;
                                         return ScreenPixels{screen.pixels.data() +
                                                                 static_cast<std::size_t>(first) * screen.stride,
                                                             screen.stride, 64, rows, 100, 50 + first};
                                     },
                                     stale))
            << c.name;
        EXPECT_EQ(stale.pixels, whole->pixels) << c.name;
        EXPECT_EQ(grabs, c.grabs) << c.name;
    }
}

TEST(ScreenPicture, EachStreamShapeGetsItsFormatAndSize) {
    struct Case {
        int width, height;
        bool video;
        Picture::Format format;
    };
    const Case cases[] = {{64, 48, false, Picture::Format::bgra},
                          {64, 48, true, Picture::Format::i420},
                          {32, 24, false, Picture::Format::bgra},
                          {32, 24, true, Picture::Format::i420}};
    Screen screen(64, 48, 77);
    for (const auto& c : cases) {
        auto picture = shapePicture(screen.view(), nullptr, c.width, c.height, c.video, fresh);
        EXPECT_EQ(picture->format, c.format);
        EXPECT_EQ(picture->width, c.width);
        EXPECT_EQ(picture->height, c.height);
        if (c.format == Picture::Format::bgra) {
            for (int y = 0; y < c.height; ++y)
                ASSERT_EQ(at(*picture, c.width - 1, y)[1], 77) << "rows are copied whole, not by the stride";
        }
    }
}

}  // namespace
}  // namespace morvane
