// The tray icon in each state: always the same small monitor, so the owner
// finds it where it was; the state shows as a badge in one corner.
#include <gtest/gtest.h>

#include <QImage>
#include <set>

#include "app/tray_qt.h"

namespace morvane {
namespace {

QImage drawn(const IconState& icon) {
    return TrayUi::drawIcon(icon).pixmap(64, 64).toImage().convertToFormat(QImage::Format_ARGB32);
}

// The pixels of the image inside `area`, as one row after another.
std::vector<QRgb> pixels(const QImage& image, const QRect& area) {
    std::vector<QRgb> out;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) out.push_back(image.pixel(x, y));
    return out;
}

TEST(TrayIcon, EveryStateIsTheSameMonitorWithItsOwnBadge) {
    struct Case {
        const char* what;
        IconState icon;
    };
    const Case cases[] = {
        {"ready", iconState(false, false, std::nullopt, false)},
        {"a lock that failed", iconState(false, false, std::nullopt, false, true)},
        {"not running", iconState(true, false, std::nullopt, false)},
        {"paused", iconState(false, true, std::nullopt, false)},
        {"controlled", iconState(false, false, std::string("Pat's phone"), false)},
        {"just paired", iconState(false, false, std::nullopt, true)},
    };
    const QImage plain = drawn(cases[0].icon);
    // The monitor's left part and its top edge lie away from the badge.
    const QRect monitorLeft(0, 0, 30, 64);
    const QRect monitorTop(0, 0, 64, 26);
    const QRect badge(34, 32, 28, 28);
    std::set<std::vector<QRgb>> badges;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const QImage image = drawn(c.icon);
        ASSERT_EQ(image.size(), QSize(64, 64));
        EXPECT_EQ(pixels(image, monitorLeft), pixels(plain, monitorLeft)) << "the monitor is not the same";
        EXPECT_EQ(pixels(image, monitorTop), pixels(plain, monitorTop)) << "the monitor is not the same";
        badges.insert(pixels(image, badge));
    }
    EXPECT_EQ(badges.size(), std::size(cases) - 1) << "a state shares its badge with another (only two warnings may)";
    // The monitor's frame is drawn where the icon says it is.
    const QRectF frame = TrayUi::monitorFrame();
    EXPECT_GT(qAlpha(plain.pixel(static_cast<int>(frame.left()), static_cast<int>(frame.center().y()))), 200);
}

}  // namespace
}  // namespace morvane
