# Every outside library is found here, once, as an imported target, so a
# module only names what it links.

# What morvane-relay and the libraries it shares with the host need: all a
# relay-only tree (MORVANE_HOST=OFF) looks for, and what `scripts/setup
# --relay` installs. ICU is the core's (its session log classes characters).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(Boost 1.74 REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
find_package(ICU REQUIRED COMPONENTS uc i18n)
find_package(CURL 7.85 REQUIRED)
pkg_check_modules(SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)  # the relay service's stores
pkg_check_modules(LIBPQ REQUIRED IMPORTED_TARGET libpq)
# The relay's own link check (cmake/RelayAlone.cmake) allows it these and
# no library found below.
get_property(MORVANE_RELAY_IMPORTS DIRECTORY PROPERTY IMPORTED_TARGETS)

# The desktop's libraries, for the host alone. Qt 6 is found by the folders
# of its *_qt.cpp files, which only a host tree adds.
if(MORVANE_HOST)
  pkg_check_modules(TURBOJPEG REQUIRED IMPORTED_TARGET libturbojpeg)
  pkg_check_modules(X264 REQUIRED IMPORTED_TARGET x264)
  pkg_check_modules(X11LIBS REQUIRED IMPORTED_TARGET x11 xext xrandr xfixes xdamage xtst xscrnsaver xcomposite xrender)
  pkg_check_modules(XI REQUIRED IMPORTED_TARGET xi)
  pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
  pkg_check_modules(QRENCODE REQUIRED IMPORTED_TARGET libqrencode)
  pkg_check_modules(PAM REQUIRED IMPORTED_TARGET pam)

  find_library(YUV_LIBRARY yuv REQUIRED)
  find_path(YUV_INCLUDE_DIR libyuv.h REQUIRED)
  add_library(morvane::yuv UNKNOWN IMPORTED)
  set_target_properties(morvane::yuv PROPERTIES IMPORTED_LOCATION ${YUV_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${YUV_INCLUDE_DIR})
endif()

if(MORVANE_TESTS)
  find_package(GTest REQUIRED)
endif()
if(MORVANE_BENCH)
  find_package(benchmark REQUIRED)
endif()
