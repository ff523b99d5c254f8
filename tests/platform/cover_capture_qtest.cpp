// The whole hiding path on one X server, as the host runs it: the driver
// covers the screen with the Qt window, the X11 screen source leaves the
// window out, so the screen shows the cover while the pictures still show
// the desktop behind it; Escape held 3 seconds on a keyboard of the machine
// ends the hiding, the same key injected by the host does not.
#include <QApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "../capture/source_inbox.h"
#include "../capture/x11_test_client.h"
#include "app/main_queue_qt.h"
#include "capture/jpeg_codec.h"
#include "core/loop_executor.h"
#include "platform/linux/capture_x11_source.h"
#include "platform/linux/cover_window_qt.h"
#include "platform/linux/display_effects_x11.h"

// Last: the X headers' None and Status macros clash with names above.
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include "../support/other_keyboard.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

template <class P>
bool pumpUntil(P done, int millis) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < millis) QApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

bool near(std::uint32_t a, std::uint32_t b, int tolerance) {
    for (int shift : {16, 8, 0}) {
        const int d = static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF);
        if (std::abs(d) > tolerance) return false;
    }
    return true;
}

// What the screen itself shows at a point, as 0xRRGGBB; nothing when the
// display or its picture cannot be had.
std::optional<std::uint32_t> onScreen(int x, int y) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return std::nullopt;
    XImage* image = XGetImage(d, DefaultRootWindow(d), x, y, 1, 1, AllPlanes, ZPixmap);
    std::optional<std::uint32_t> pixel;
    if (image) {
        pixel = static_cast<std::uint32_t>(XGetPixel(image, 0, 0)) & 0xFFFFFF;
        XDestroyImage(image);
    }
    XCloseDisplay(d);
    return pixel;
}

TEST(CoverOverCapture, PicturesShowTheDesktopBehindTheCoverUntilEscapeIsHeldAtTheMachine) {
    testing::PaintClient paint;
    paint.paint(0);
    const int width = paint.width(), height = paint.height();
    QtMainQueue queue;
    auto source = makeX11ScreenSource(std::make_shared<LoopExecutor>("control"), std::make_shared<LoopExecutor>("encode"));
    source->setMainQueue(&queue);
    testing::SourceInbox inbox;
    source->start(inbox.handle);
    auto pictures = [&inbox] {
        std::lock_guard lock(inbox.m);
        return inbox.pictures.size();
    };
    ASSERT_TRUE(pumpUntil([&] { return pictures() > 0; }, 15'000));

    const fs::path folder = fs::temp_directory_path() / ("morvane-cover-" + std::to_string(::getpid()));
    std::vector<std::string> lines, events;
    auto fx = makeX11DisplayEffects(
        folder / "display-change.json", [&lines](const std::string& line) { lines.push_back(line); }, queue,
        makeQtCoverMaker());
    ASSERT_TRUE(fx);
    connectCover(fx, *source);
    fx->setOnEvent([&events](const DisplayEffectsEvent& e) {
        events.push_back(std::holds_alternative<fx_event::EscapeHeld>(e) ? "escape-held" : "other");
    });
    const auto display = source->displayListing().current;
    ASSERT_TRUE(display);

    ASSERT_EQ(fx->armEscape(1), EscapeArm::armed);
    std::optional<bool> hidden;
    fx->cover(*display, "This computer is in use remotely.", 1, [&hidden](bool ok) { hidden = ok; });
    ASSERT_TRUE(pumpUntil([&] { return hidden.has_value(); }, 6000));
    ASSERT_TRUE(*hidden) << (lines.empty() ? "" : lines.back());

    // The screen shows the cover; a fresh picture shows the bars behind it.
    const int row = height / 5;
    // The cover paints itself a moment after it is shown.
    const auto black = [&](bool wanted) {
        const auto pixel = onScreen(width / 16, row);
        return pixel && near(*pixel, 0x000000, 8) == wanted;
    };
    EXPECT_TRUE(pumpUntil([&] { return black(true); }, 5000));
    const auto before = pictures();
    paint.paint(1);
    source->requestFrame();
    ASSERT_TRUE(pumpUntil([&] { return pictures() > before; }, 10'000));
    Bytes jpeg;
    {
        std::lock_guard lock(inbox.m);
        jpeg = inbox.pictures.back().data;
    }
    const auto picture = decodeJPEG(jpeg);
    ASSERT_TRUE(picture);
    for (int bar = 0; bar < 8; ++bar) {
        const int x = (2 * bar + 1) * width / 16;
        const auto* p = &picture->pixels[(static_cast<std::size_t>(row * picture->height / height) * picture->width +
                                          x * picture->width / width) * 4];
        const std::uint32_t got = std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
        const auto want = testing::PaintClient::barColour(x, width);
        EXPECT_TRUE(near(got, want, 48)) << "bar " << bar << std::hex << " want " << want << " got " << got;
    }

    // Escape held by the host's own injection counts for nothing; held on
    // a keyboard of the machine, it shows the screen again.
    testing::OtherKeyboard keyboard;
    keyboard.injected(XK_Escape, true);
    pumpUntil([] { return false; }, 3500);
    keyboard.injected(XK_Escape, false);
    EXPECT_TRUE(events.empty());
    keyboard.key(XK_Escape, true);
    // Held three seconds by the machine's clock; heard late on a busy one.
    EXPECT_TRUE(pumpUntil([&] { return !events.empty(); }, 15'000));
    keyboard.key(XK_Escape, false);
    EXPECT_EQ(events, std::vector<std::string>{"escape-held"});

    // The cover goes, and the desktop behind it is drawn again, when the
    // loops of this test and of the X server get round to it.
    fx->restoreAll(2);
    EXPECT_TRUE(pumpUntil([&] { return black(false); }, 5000));
    source->stop();
    fs::remove_all(folder);
}

}  // namespace
}  // namespace morvane
