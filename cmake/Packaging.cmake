# What `cmake --install` and `cpack -G DEB` put in place. Included after
# every folder has declared its targets, so the relay's program is installed
# only where this tree builds it.

set(morvane_installed_programs)
if(TARGET morvane-host)
  # The host's own folder installs it with its menu entry and icon.
  list(APPEND morvane_installed_programs morvane-host)
endif()
if(TARGET morvane-relay)
  # Installed where it was built: `cmake --install` after building the host
  # alone installs the host alone, with no unit for a missing program.
  install(TARGETS morvane-relay RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} OPTIONAL)
  list(APPEND morvane_installed_programs morvane-relay)
  # lib/systemd/system under the prefix: /usr/local/lib/systemd/system is
  # searched by systemd as well as the package's /usr/lib/systemd/system.
  set(morvane_relay_systemd ${CMAKE_SOURCE_DIR}/src/relay_service/systemd)
  configure_file(${morvane_relay_systemd}/morvane-relay.service.in ${CMAKE_BINARY_DIR}/systemd/morvane-relay.service
                 @ONLY)
  install(CODE "
    if(EXISTS \"$<TARGET_FILE:morvane-relay>\")
      file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\" TYPE FILE
           FILES \"${CMAKE_BINARY_DIR}/systemd/morvane-relay.service\")
      file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/sysusers.d\" TYPE FILE RENAME morvane-relay.conf
           FILES \"${morvane_relay_systemd}/morvane-relay.sysusers\")
    endif()")
  configure_file(${morvane_relay_systemd}/postinst.in ${CMAKE_BINARY_DIR}/systemd/postinst @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                 WORLD_EXECUTE)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/systemd/postinst)
endif()

# A Release install is for running, not debugging: its programs are
# stripped, as `cmake --install --strip` would do (the host's program to
# about half its size). Other build types keep their symbols.
foreach(program IN LISTS morvane_installed_programs)
  install(CODE "
    set(file \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\")
    if(\"$<CONFIG>\" MATCHES \"^(Release|MinSizeRel)$\" AND EXISTS \"\${file}\")
      message(STATUS \"Stripping: \${file}\")
      execute_process(COMMAND \"${CMAKE_STRIP}\" \"\${file}\" RESULT_VARIABLE result)
      if(NOT result EQUAL 0)
        message(FATAL_ERROR \"Could not strip \${file}\")
      endif()
    endif()")
endforeach()

# `cpack -G DEB` in a build folder: morvane_<version>_<arch>.deb with the
# same prefix as `cmake --install` (configure with -DCMAKE_INSTALL_PREFIX=/usr
# for a package), its library dependencies found by dpkg-shlibdeps.
# It packages what was built (build the programs first) instead of building
# the whole tree, tests and benchmarks included, on its way.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_PACKAGE_NAME morvane)
set(CPACK_PACKAGE_VENDOR "Morvane")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Reach and control this computer from your own devices")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Morvane developers")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Programs the host starts rather than links: opening the page and files.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "xdg-utils")
include(CPack)

# The package of the sanitizer tree would be the same package, built slower.
if(MORVANE_TESTS AND NOT MORVANE_FUZZ AND NOT MORVANE_SANITIZE)
  add_test(NAME deb_package COMMAND ${CMAKE_SOURCE_DIR}/tests/packaging/deb_package_test.sh ${CMAKE_BINARY_DIR}
                                    ${CMAKE_COMMAND} "${morvane_installed_programs}")
  set_tests_properties(deb_package PROPERTIES TIMEOUT 300)
endif()
