# What `cmake --install` and `cpack -G DEB` put in place. Each program is an
# install component that cpack makes into a Debian package of its own:
# `host` is the package morvane (the host, its menu entry and icon) and
# `relay` the package morvane-relay (the relay, its systemd unit, its system
# user and the scripts that make and stop them, and docs/relay.md), so a desktop gets no relay's
# user and a server no desktop library. Included after every folder has
# declared its targets: a program's files are installed only where this tree
# builds it, and only once it was built (`cmake --install` after building one
# program installs that one alone, with no menu entry or unit for the other).

set(morvane_installed_programs)
set(morvane_components)
set(morvane_packaging ${CMAKE_BINARY_DIR}/packaging)
set(morvane_relay_systemd ${CMAKE_SOURCE_DIR}/src/relay_service/systemd)

# morvane_install_with(PROGRAM COMPONENT DESTINATION FILE [RENAME NAME]): a
# file that belongs with a program, installed where that program was built.
function(morvane_install_with program component destination file)
  cmake_parse_arguments(W "" "RENAME" "" ${ARGN})
  set(rename "")
  if(W_RENAME)
    set(rename "RENAME \"${W_RENAME}\"")
  endif()
  install(CODE "
    if(EXISTS \"$<TARGET_FILE:${program}>\")
      file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${destination}\" TYPE FILE ${rename} FILES \"${file}\")
    endif()" COMPONENT ${component})
endfunction()

# morvane_install_program(PROGRAM COMPONENT PACKAGE): the program, stripped in
# a Release install as `cmake --install --strip` would do (the host's to
# about half its size; other build types keep their symbols), and its
# package's copyright file.
function(morvane_install_program program component package)
  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} OPTIONAL COMPONENT ${component})
  install(CODE "
    set(file \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\")
    if(\"$<CONFIG>\" MATCHES \"^(Release|MinSizeRel)$\" AND EXISTS \"\${file}\")
      message(STATUS \"Stripping: \${file}\")
      execute_process(COMMAND \"${CMAKE_STRIP}\" \"\${file}\" RESULT_VARIABLE result)
      if(NOT result EQUAL 0)
        message(FATAL_ERROR \"Could not strip \${file}\")
      endif()
    endif()" COMPONENT ${component})
  morvane_install_with(${program} ${component} ${CMAKE_INSTALL_DATADIR}/doc/${package}
                       ${CMAKE_SOURCE_DIR}/packaging/copyright)
  set(morvane_installed_programs ${morvane_installed_programs} ${program} PARENT_SCOPE)
  set(morvane_components ${morvane_components} ${component} PARENT_SCOPE)
endfunction()

if(TARGET morvane-host)
  morvane_install_program(morvane-host host morvane)
  configure_file(${CMAKE_SOURCE_DIR}/src/app/morvane.desktop.in ${morvane_packaging}/morvane.desktop @ONLY)
  morvane_install_with(morvane-host host ${CMAKE_INSTALL_DATADIR}/applications ${morvane_packaging}/morvane.desktop)
  morvane_install_with(morvane-host host ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
                       ${CMAKE_SOURCE_DIR}/src/app/morvane.svg RENAME morvane.svg)
endif()

if(TARGET morvane-relay)
  morvane_install_program(morvane-relay relay morvane-relay)
  # lib/systemd/system under the prefix: /usr/local/lib/systemd/system is
  # searched by systemd as well as the package's /usr/lib/systemd/system.
  configure_file(${morvane_relay_systemd}/morvane-relay.service.in ${morvane_packaging}/morvane-relay.service @ONLY)
  morvane_install_with(morvane-relay relay lib/systemd/system ${morvane_packaging}/morvane-relay.service)
  morvane_install_with(morvane-relay relay lib/sysusers.d ${morvane_relay_systemd}/morvane-relay.sysusers
                       RENAME morvane-relay.conf)
  # Setting it up, every key of its config, updating and removing it: the
  # page its --help names, beside the copyright.
  morvane_install_with(morvane-relay relay ${CMAKE_INSTALL_DATADIR}/doc/morvane-relay
                       ${CMAKE_SOURCE_DIR}/docs/relay.md)
  configure_file(${morvane_relay_systemd}/postinst.in ${morvane_packaging}/relay/postinst @ONLY)
  set(CPACK_DEBIAN_RELAY_PACKAGE_CONTROL_EXTRA ${morvane_packaging}/relay/postinst ${morvane_relay_systemd}/prerm
                                               ${morvane_relay_systemd}/postrm)
endif()

# `cpack -G DEB` in a build folder: morvane_<version>_<arch>.deb and
# morvane-relay_<version>_<arch>.deb (as morvane-relay_0.1+642.g1a2b3c4_amd64.deb) (a relay-only tree: the second alone),
# with the same prefix as `cmake --install` (configure with
# -DCMAKE_INSTALL_PREFIX=/usr for packages), each depending on the packages
# of the libraries its own programs load, as dpkg-shlibdeps finds them. It
# packages what was built (build the programs first) instead of building the
# whole tree, tests and benchmarks included, on its way, and makes no
# package for a program that was not built.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_PACKAGE_NAME morvane)
set(CPACK_PACKAGE_VENDOR "Morvane")
# Grows with every commit (cmake/Version.cmake), so a new package is
# installed over the last one.
set(CPACK_PACKAGE_VERSION ${MORVANE_PACKAGE_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${morvane_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Morvane developers")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_HOST_PACKAGE_NAME morvane)
set(CPACK_DEBIAN_HOST_DESCRIPTION "Reach and control this computer from your own devices
Morvane lets your own devices see and control this computer (a Linux
desktop with X11): its screen, keyboard, pointer, clipboard, sound and
files, from a browser on this computer, over your tailnet, or through a
relay you run. It runs in your desktop session, as you, from its tray icon.")
# Programs the host starts rather than links: opening the page and files.
set(CPACK_DEBIAN_HOST_PACKAGE_DEPENDS "xdg-utils")

set(CPACK_DEBIAN_RELAY_PACKAGE_NAME morvane-relay)
set(CPACK_DEBIAN_RELAY_DESCRIPTION "Relay server through which owners' devices reach their Morvane computers
morvane-relay is the server a Morvane computer and its owner's devices
meet at when they share no network: it signs owners in with codes sent
by e-mail and forwards records sealed end to end, which it cannot read.
It runs as a systemd service under its own system user, on a server that
needs no desktop.")

# cpack reads this first: a component whose program is not built is left
# out, so no package stands for a program it does not hold.
set(morvane_built "")
foreach(program IN LISTS morvane_installed_programs)
  list(FIND morvane_installed_programs ${program} index)
  list(GET morvane_components ${index} component)
  string(APPEND morvane_built "
if(NOT EXISTS \"$<TARGET_FILE:${program}>\")
  message(STATUS \"${program} is not built: no package for it\")
  list(REMOVE_ITEM CPACK_COMPONENTS_ALL ${component})
endif()")
endforeach()
file(GENERATE OUTPUT ${morvane_packaging}/built.cmake CONTENT "${morvane_built}
if(NOT CPACK_COMPONENTS_ALL)
  message(FATAL_ERROR \"Nothing to package: build the programs first\")
endif()
")
set(CPACK_PROJECT_CONFIG_FILE ${morvane_packaging}/built.cmake)
include(CPack)

# The packages of the sanitizer tree would be the same packages, built slower.
if(MORVANE_TESTS AND NOT MORVANE_FUZZ AND NOT MORVANE_SANITIZE)
  add_test(NAME deb_package COMMAND ${CMAKE_SOURCE_DIR}/tests/packaging/deb_package_test.sh ${CMAKE_BINARY_DIR}
                                    ${CMAKE_COMMAND} "${morvane_installed_programs}")
  set_tests_properties(deb_package PROPERTIES TIMEOUT 300)
  # Configures a relay-only tree beside this one (a second or so) and
  # installs and packages this tree's relay from it: not a second build.
  if(TARGET morvane-relay)
    add_test(NAME relay_only_tree COMMAND ${CMAKE_SOURCE_DIR}/tests/packaging/relay_only_tree_test.sh
                                          ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR} ${CMAKE_COMMAND})
    set_tests_properties(relay_only_tree PROPERTIES TIMEOUT 300)
  endif()
endif()
