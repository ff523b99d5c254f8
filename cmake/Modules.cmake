# morvane_module(NAME [LIBS ...]): a static library morvane_NAME from the
# .cpp files of the calling folder (Qt files, *_qt.cpp, are left to the
# folder's own targets).
function(morvane_module name)
  cmake_parse_arguments(M "" "" "LIBS;EXCLUDE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "_qt\\.cpp$")
  if(NOT sources)
    return()
  endif()
  foreach(ex IN LISTS M_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "${ex}")
  endforeach()
  add_library(morvane_${name} STATIC ${sources})
  target_link_libraries(morvane_${name} PUBLIC ${M_LIBS})
endfunction()

# morvane_tests(NAME [LIBS ...]): one test program morvane_NAME_tests from
# every *_test.cpp in the calling folder, each case registered with CTest.
function(morvane_tests name)
  cmake_parse_arguments(T "" "" "LIBS;PROPERTIES" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  if(NOT sources)
    # A folder whose first test is still being written must not stop the
    # rest of the tree from configuring.
    return()
  endif()
  add_executable(morvane_${name}_tests ${sources})
  # The tests' own code at -O0 in every tree: the product code they call
  # keeps the tree's optimisation in its libraries (the benchmarks measure
  # that), ASan and UBSan check the tests' code as well unoptimised, and
  # optimising GoogleTest's and the fixtures' expansions took a third to a
  # half of each test file's compile time.
  # (glibc's fortified calls need optimisation, and the tests ship nowhere.)
  target_compile_options(morvane_${name}_tests PRIVATE -O0 -U_FORTIFY_SOURCE)
  # GoogleTest's and GoogleMock's headers parsed once for the program rather
  # than once for each of its files (about 3 s of CPU a file).
  target_precompile_headers(morvane_${name}_tests PRIVATE <gtest/gtest.h> <gmock/gmock.h>)
  target_link_libraries(morvane_${name}_tests PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  gtest_discover_tests(morvane_${name}_tests DISCOVERY_TIMEOUT 60 PROPERTIES ${T_PROPERTIES})
endfunction()

# In a unity build (-DCMAKE_UNITY_BUILD=ON, as scripts/test builds) a target's
# files are compiled a batch at a time, so the headers they share are parsed
# once a batch rather than once a file. A file-scope `using namespace` of one
# of our namespaces would carry into the files after it in its batch and could
# change which function their calls find, so such files are compiled alone, as
# are those that include Xlib, whose macros (None, Status, Bool…) would rename
# what the next files' headers declare (directly or through the tests' X helpers),
# and those that include the relay's unmasking: its definitions, which the
# relay's test program replaces with counting ones, stay an object of their own.
# (std's literals are left to batch: they add no names a call could pick; a
# directive indented inside a function ends with it.)
function(morvane_unity_guard)
  if(NOT CMAKE_UNITY_BUILD)
    return()
  endif()
  set(folders ${CMAKE_SOURCE_DIR})
  while(folders)
    list(POP_FRONT folders folder)
    get_property(subfolders DIRECTORY ${folder} PROPERTY SUBDIRECTORIES)
    list(APPEND folders ${subfolders})
    get_property(targets DIRECTORY ${folder} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
      get_target_property(sources ${target} SOURCES)
      if(NOT sources)
        continue()
      endif()
      get_target_property(target_folder ${target} SOURCE_DIR)
      foreach(source IN LISTS sources)
        if(NOT source MATCHES "\\.cpp$")
          continue()
        endif()
        cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${target_folder} OUTPUT_VARIABLE path)
        if(NOT EXISTS ${path})
          continue()
        endif()
        file(STRINGS ${path} directives REGEX "^using namespace |^#include [<\"](X11/|.*other_keyboard\\.h|.*x_recorder\\.h|.*x_selection_owner\\.h|relay_service/detail/unmask\\.h)")
        list(FILTER directives EXCLUDE REGEX "using namespace std::([a-z_]+_)?literals")
        if(directives)
          set_source_files_properties(${path} TARGET_DIRECTORY ${target} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
        endif()
      endforeach()
    endforeach()
  endwhile()
endfunction()
