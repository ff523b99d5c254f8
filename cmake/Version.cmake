# The version the programs say and their packages carry, known when the tree
# is configured. A package whose version stays the same is not installed
# over the one in place (apt answers "already the newest version" and the
# old program keeps running), so it grows with every commit: the project's
# version, "+", the number of commits and "g" before the commit's short
# hash, as 0.1+642.g1a2b3c4, which dpkg sorts after 0.1 and after the
# version of every earlier commit. The tree configures again whenever HEAD
# moves, so a build never packages an older commit's number.
#
# Outside a git checkout (a source tarball) the cache value
# MORVANE_BUILD_NUMBER gives the count (0.1+642); without it the count is 0
# and the time of the newest source file follows it (0.1+0.d20261208140312,
# in UTC): a later tarball still sorts higher, and a tarball never sorts
# above a counted build.
#
# Sets MORVANE_BUILD_COUNT (the count, or empty when unknown) and
# MORVANE_PACKAGE_VERSION.
set(MORVANE_BUILD_NUMBER "" CACHE STRING "Number of commits, for trees outside git (empty: counted by git)")
if(NOT MORVANE_BUILD_NUMBER MATCHES "^[0-9]*$")
  message(FATAL_ERROR "MORVANE_BUILD_NUMBER must be a whole number (the commit count): ${MORVANE_BUILD_NUMBER}")
endif()

set(MORVANE_BUILD_COUNT "${MORVANE_BUILD_NUMBER}")
# git is taken from PATH rather than found and kept in the cache: a tree
# builds without it (a relay server needs no more than scripts/setup
# --relay installs), and each call gives nothing outside a checkout.
function(morvane_git out)
  execute_process(COMMAND git ${ARGN} WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                  OUTPUT_VARIABLE text OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE result ERROR_QUIET)
  if(NOT result EQUAL 0)
    set(text "")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
# A tarball unpacked inside another checkout is not that checkout's commit.
morvane_git(top rev-parse --show-toplevel)
file(REAL_PATH "${CMAKE_SOURCE_DIR}" source_dir)
set(morvane_commit "")
if(top AND "${top}" PATH_EQUAL "${source_dir}")
  morvane_git(morvane_commit rev-parse --short=7 HEAD)
endif()
if(morvane_commit)
  if(MORVANE_BUILD_COUNT STREQUAL "")
    morvane_git(MORVANE_BUILD_COUNT rev-list --count HEAD)
  endif()
  # HEAD names the branch, whose file moves with each commit; a branch
  # kept in packed-refs moves there. Only files that exist are watched.
  morvane_git(branch symbolic-ref -q HEAD)
  set(watched HEAD packed-refs)
  if(branch)
    list(APPEND watched ${branch})
  endif()
  foreach(name IN LISTS watched)
    morvane_git(path rev-parse --path-format=absolute --git-path ${name})
    if(path AND EXISTS "${path}")
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${path}")
    endif()
  endforeach()
endif()

if(morvane_commit AND MORVANE_BUILD_COUNT MATCHES "^[0-9]+$")
  set(MORVANE_PACKAGE_VERSION "${PROJECT_VERSION}+${MORVANE_BUILD_COUNT}.g${morvane_commit}")
elseif(MORVANE_BUILD_COUNT MATCHES "^[0-9]+$")
  set(MORVANE_PACKAGE_VERSION "${PROJECT_VERSION}+${MORVANE_BUILD_COUNT}")
else()
  set(MORVANE_BUILD_COUNT "")
  set(newest 0)
  file(GLOB_RECURSE sources ${CMAKE_SOURCE_DIR}/src/* ${CMAKE_SOURCE_DIR}/cmake/* ${CMAKE_SOURCE_DIR}/CMakeLists.txt)
  foreach(source IN LISTS sources)
    file(TIMESTAMP "${source}" stamp "%Y%m%d%H%M%S" UTC)
    if(stamp STRGREATER newest)
      set(newest ${stamp})
    endif()
  endforeach()
  set(MORVANE_PACKAGE_VERSION "${PROJECT_VERSION}+0.d${newest}")
  message(STATUS "Not a git checkout: version ${MORVANE_PACKAGE_VERSION} (give -DMORVANE_BUILD_NUMBER=<commits> to count)")
endif()
