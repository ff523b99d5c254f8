// The main of a Qt test program: its tests run with a QApplication on a
// private Xvfb of the given screen size. Listing the tests starts neither,
// so CTest can discover them without a display.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <cstring>
#include <string>

#include "xvfb.h"

namespace morvane::testing {

inline int runQtTestsUnderXvfb(int argc, char** argv, const std::string& screen) {
    bool listing = false;
    for (int i = 1; i < argc; ++i) listing |= std::strncmp(argv[i], "--gtest_list_tests", 18) == 0;
    ::testing::InitGoogleTest(&argc, argv);
    if (listing) return RUN_ALL_TESTS();
    Xvfb xvfb(screen);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}

}  // namespace morvane::testing
