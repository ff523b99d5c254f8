# The text files of a built-in page also travel gzipped, each served in
# place of its plain form to browsers that accept gzip (the host's page and
# the relay's: protocol/page_cache.h). Compressed once, when the page is
# built, rather than for every visit.
find_program(MORVANE_GZIP gzip REQUIRED)

# morvane_gzip_web(OUT_VAR FOLDER FILE...): build steps that write each FILE
# gzipped to FOLDER/<its name>.gz; OUT_VAR is set to their paths. -n leaves
# out the name and time, so the same page gives the same bytes; the result
# is renamed into place, so a failed step leaves no file that looks made.
function(morvane_gzip_web out folder)
  set(made "")
  foreach(path IN LISTS ARGN)
    get_filename_component(name ${path} NAME)
    add_custom_command(
      OUTPUT ${folder}/${name}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
      COMMAND sh -c "\"$0\" -9 -n -c \"$1\" >\"$2.part\" && mv \"$2.part\" \"$2\"" ${MORVANE_GZIP} ${path}
              ${folder}/${name}.gz
      DEPENDS ${path}
      VERBATIM)
    list(APPEND made ${folder}/${name}.gz)
  endforeach()
  set(${out} ${made} PARENT_SCOPE)
endfunction()
