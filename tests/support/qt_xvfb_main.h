// The main of a Qt test program: its tests run with a QApplication on a
// private Xvfb of the given screen size. Listing the tests starts neither,
// so CTest can discover them without a display.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "xvfb.h"

namespace morvane::testing {

// `screens`: one size per X screen, the first being the primary one.
inline int runQtTestsUnderXvfb(int argc, char** argv, const std::vector<std::string>& screens) {
    bool listing = false;
    for (int i = 1; i < argc; ++i) listing |= std::strncmp(argv[i], "--gtest_list_tests", 18) == 0;
    ::testing::InitGoogleTest(&argc, argv);
    if (listing) return RUN_ALL_TESTS();
    Xvfb xvfb(screens);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}

inline int runQtTestsUnderXvfb(int argc, char** argv, const std::string& screen) {
    return runQtTestsUnderXvfb(argc, argv, std::vector<std::string>{screen});
}

}  // namespace morvane::testing
