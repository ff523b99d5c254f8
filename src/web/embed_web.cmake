# cmake -DWEB_DIR=<folder> -DWEB_FILES=<names> [-DBUILT_DIR=<folder> -DBUILT_FILES=<names>]
#       [-DNAMESPACE=<namespace> -DHEADER=<include>] -DOUTPUT=<file.cpp> -P embed_web.cmake
#
# Writes the EmbeddedWeb table: for each named file, in the order given, its
# standard base64 text (one line, "=" padded) and the lower-case SHA-256 hex
# of its bytes. Files named in BUILT_FILES are taken from BUILT_DIR (they are
# made by the build), the others from WEB_DIR.
cmake_minimum_required(VERSION 3.25)

# Base64 is done twelve bits at a time: every three hex digits of the file
# become two characters of the alphabet, looked up in a table of 4096
# entries built here once.
set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
set(hexdigits 0 1 2 3 4 5 6 7 8 9 a b c d e f)
set(value 0)
foreach(a IN LISTS hexdigits)
  foreach(b IN LISTS hexdigits)
    foreach(c IN LISTS hexdigits)
      math(EXPR high "${value} >> 6")
      math(EXPR low "${value} & 63")
      string(SUBSTRING "${alphabet}" ${high} 1 ch)
      string(SUBSTRING "${alphabet}" ${low} 1 cl)
      set(pair_${a}${b}${c} "${ch}${cl}")
      math(EXPR value "${value} + 1")
    endforeach()
  endforeach()
endforeach()

function(base64_of_file path out_var)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR byte_count "${hex_length} / 2")
  math(EXPR rest "${byte_count} % 3")
  math(EXPR whole_length "${hex_length} - ${rest} * 2")
  string(SUBSTRING "${hex}" 0 ${whole_length} whole)
  string(SUBSTRING "${hex}" ${whole_length} -1 tail)

  # Appending to one long string copies it each time, so the text is built
  # line by line: 3072 bytes (6144 hex digits) give a line of 4096
  # characters. The lines become pieces of one literal the compiler joins.
  set(lines "")
  set(offset 0)
  while(offset LESS whole_length)
    string(SUBSTRING "${whole}" ${offset} 6144 chunk)
    string(REGEX REPLACE "([0-9a-f][0-9a-f][0-9a-f])" "\\1;" groups "${chunk}")
    set(line "")
    foreach(group IN LISTS groups)
      string(APPEND line "${pair_${group}}")
    endforeach()
    list(APPEND lines "${line}")
    math(EXPR offset "${offset} + 6144")
  endwhile()
  set(tail_text "")
  if(rest EQUAL 1)
    # One byte: eight bits padded to twelve give two characters.
    set(tail_text "${pair_${tail}0}==")
  elseif(rest EQUAL 2)
    # Two bytes: sixteen bits padded to eighteen give three characters.
    string(SUBSTRING "${tail}" 0 3 first)
    string(SUBSTRING "${tail}" 3 1 last)
    string(SUBSTRING "${pair_${last}00}" 0 1 last_char)
    set(tail_text "${pair_${first}}${last_char}=")
  endif()
  if(NOT tail_text STREQUAL "")
    list(APPEND lines "${tail_text}")
  endif()
  list(JOIN lines "\"\n     \"" text)
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

set(rows "")
foreach(name IN LISTS WEB_FILES)
  if(name IN_LIST BUILT_FILES)
    set(path "${BUILT_DIR}/${name}")
  else()
    set(path "${WEB_DIR}/${name}")
  endif()
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "web file missing: ${path}")
  endif()
  base64_of_file("${path}" text)
  file(SHA256 "${path}" digest)
  string(APPEND rows "    {\"${name}\",\n     \"${text}\",\n     \"${digest}\"},\n")
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
