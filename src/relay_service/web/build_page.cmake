# cmake -DHOST_PAGE=<index.html> -DSCREENS=<screens.html> -DOUTPUT=<file> -P build_page.cmake
#
# The relay's index.html is the host's page with the relay's screens put in
# before the session screen and the relay's style sheet after the host's.
# Both marks must be found: a changed host page fails the build here rather
# than serving a page without its screens.
cmake_minimum_required(VERSION 3.25)
file(READ "${HOST_PAGE}" page)
file(READ "${SCREENS}" screens)
set(style_mark "<link rel=\"stylesheet\" href=\"/style.css\">\n")
set(session_mark "<section id=\"session-screen\"")
foreach(mark IN ITEMS "${style_mark}" "${session_mark}")
  string(FIND "${page}" "${mark}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the host's page lacks the mark ${mark}")
  endif()
endforeach()
string(REPLACE "${style_mark}" "${style_mark}<link rel=\"stylesheet\" href=\"/relay.css\">\n" page "${page}")
string(REPLACE "${session_mark}" "${screens}\n${session_mark}" page "${page}")
file(WRITE "${OUTPUT}.tmp" "${page}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
