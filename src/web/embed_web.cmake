# cmake -DWEB_DIR=<folder> -DWEB_FILES=<names> [-DBUILT_DIR=<folder> -DBUILT_FILES=<names>]
#       [-DPACKED_DIR=<folder>] [-DNAMESPACE=<namespace> -DHEADER=<include>] -DOUTPUT=<file.cpp>
#       -P embed_web.cmake
#
# Writes the EmbeddedWeb table: for each named file, in the order given, its
# bytes as they are (a string literal of hex escapes, so they sit in the
# program's read-only data and are served from there without a decoded copy)
# and the lower-case SHA-256 hex of those bytes. Files named in BUILT_FILES
# are taken from BUILT_DIR (they are made by the build), names ending in
# ".gz" from PACKED_DIR when it is given (gzipped by the build), the others
# from WEB_DIR.
cmake_minimum_required(VERSION 3.25)

function(literal_of_file path out_var)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  # Appending to one long string copies it each time, so the literal is
  # built line by line: 2048 bytes (4096 hex digits) a line. The lines are
  # pieces of one literal the compiler joins; every byte is an escape of
  # exactly two digits, so no escape runs into the next byte.
  set(lines "")
  set(offset 0)
  while(offset LESS hex_length)
    string(SUBSTRING "${hex}" ${offset} 4096 chunk)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" line "${chunk}")
    list(APPEND lines "${line}")
    math(EXPR offset "${offset} + 4096")
  endwhile()
  list(JOIN lines "\"\n    \"" text)
  set(${out_var} "\"${text}\"" PARENT_SCOPE)
endfunction()

set(arrays "")
set(rows "")
set(index 0)
foreach(name IN LISTS WEB_FILES)
  if(PACKED_DIR AND name MATCHES "\\.gz$")
    set(path "${PACKED_DIR}/${name}")
  elseif(name IN_LIST BUILT_FILES)
    set(path "${BUILT_DIR}/${name}")
  else()
    set(path "${WEB_DIR}/${name}")
  endif()
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "web file missing: ${path}")
  endif()
  literal_of_file("${path}" text)
  file(SHA256 "${path}" digest)
  string(APPEND arrays "// ${name}\nconst char file${index}[] =\n    ${text};\n")
  string(APPEND rows "    {\"${name}\", {file${index}, sizeof file${index} - 1}, \"${digest}\"},\n")
  math(EXPR index "${index} + 1")
endforeach()

# The relay service embeds its page with the same script under its own
# namespace and header.
if(NOT NAMESPACE)
  set(NAMESPACE morvane::EmbeddedWeb)
endif()
if(NOT HEADER)
  set(HEADER web/embedded_web.h)
endif()

set(content "// Generated from the web folder at build time; do not edit.
#include \"${HEADER}\"

namespace ${NAMESPACE} {

namespace {
${arrays}
// Not constexpr: measuring the longest files at compile time passes the
// constant-evaluation step limits of some compilers.
const EmbeddedFile rows[] = {
${rows}};
}  // namespace

std::span<const EmbeddedFile> files() { return rows; }

}  // namespace ${NAMESPACE}
")

# Leave an unchanged file alone so nothing downstream rebuilds.
file(WRITE "${OUTPUT}.tmp" "${content}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
